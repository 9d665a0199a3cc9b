// Pruning of stored images: all but the ten newest of each directory go, after
// each stored image and every five minutes (Windows).
#pragma once

#include "common/diagnostic_log.h"

#include <string>

// One pass over a directory (with its trailing backslash). With report, the
// count line and one line per deleted file are written.
void RunCleanupPass(const std::wstring& directory, bool report, DiagnosticLog& log);

// One pass over the program directory (reported) and the temporary directory
// (silent); files a request still uses stay.
void PruneStoredImages(DiagnosticLog& log);

// Never returns: every five minutes after the previous pass, the program
// directory (reported) and the temporary directory (silent).
void CleanupTempImages();
