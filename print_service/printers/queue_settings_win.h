// A queue's default settings block (DEVMODEW) from its driver (Windows).
#pragma once

#include "common/windows_include.h"

#include <string>

// DocumentPropertiesW without a window or input: mode 0 gives the block's size,
// DM_OUT_BUFFER fills out. Wine's PostScript driver fails with a sharing
// violation while another thread reads the same queue's settings; that is
// retried a few times rather than failing the request.
LONG QueueSettings(HANDLE printer, std::wstring& name, DEVMODEW* out, DWORD mode);
