// Which print queue a name received from a web page may open.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr char kDefaultQueueName[] = "KELO";

// The queue to open for a received name: "KELO" when the name is empty;
// otherwise the name itself, but only when one of the queues the spooler lists
// now (local queues and connections, UTF-8) bears exactly that name. utf8 is
// the received name as Windows reads it, nullopt when it could not be
// converted. A name with a NUL or a reserved device name never qualifies, nor
// does anything unlisted: a UNC name would otherwise make Windows connect to
// that host with the user's credentials.
std::optional<std::string> QueueToOpen(std::string_view received, const std::optional<std::string>& utf8,
                                       const std::vector<std::string>& listed);
