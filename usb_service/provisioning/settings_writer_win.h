// The service's writes into the settings store: the data directory and its
// registry value, a queue's configuration copy, its settings file with the users'
// access entry, and the sync log (Windows only). Queue names are ANSI strings in
// the system code page; every failure is silent and leaves at most the sync log
// as a trace.
#pragma once

#include "common/settings_store.h"
#include "common/windows_include.h"

#include <cstddef>
#include <string>
#include <vector>

void GetDefaultDataDirectory(wchar_t* buffer, size_t capacity);
// Creates every directory along the path; the last one with the store's owner
// and access list.
void CreateDirectoryChain(const wchar_t* path);
bool EnsureDataDirectory(char* buffer, size_t capacity);
// Returns the refusals met ("path: reason"), for the sync log that follows.
std::vector<std::string> SaveConfigBin(const char* queueName, const ConfigBlock& block);
// `earlierRefusals` (of the configuration copy) go into the sync log's record.
void SyncPrinterIni(const char* queueName, const ConfigBlock& block,
                    const std::vector<std::string>& earlierRefusals = {});
int ReadRotationPrinterData(const char* queueName, int fallback);
// Makes the configured data directory safe to write into (secured, or replaced
// when someone else made it; left alone when refused or missing), without writing
// any file. Returns where a replaced directory went, for the pass's first record.
std::vector<std::string> SecureConfiguredDataDirectory();
