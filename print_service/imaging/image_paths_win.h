// Where stored images live: the program's directory, else the temporary directory (Windows).
#pragma once

#include <optional>
#include <string>

// Each with its trailing backslash; nullopt when Windows cannot tell.
std::optional<std::wstring> ProgramDirectory();
std::optional<std::wstring> TempDirectory();

// directory + name, or nullopt when the path would not fit MAX_PATH.
std::optional<std::wstring> JoinImagePath(const std::wstring& directory, const std::wstring& name);

// The stored file's name as the file system sees it (names are ASCII by construction).
std::wstring WideImageName(const std::string& imageFileName);
