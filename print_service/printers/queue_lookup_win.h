// Finding the queue a received name may open among those the spooler lists (Windows).
#pragma once

#include "common/windows_include.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Names (UTF-8) of the local queues and printer connections, from the spooler's
// own list; nullopt when it cannot be asked.
std::optional<std::vector<std::string>> ListQueueNames();

// The wide name to open for a received name, or nullopt: see QueueToOpen. Only
// the spooler's list is read; nothing is opened.
std::optional<std::wstring> OpenableQueue(std::string_view received);
