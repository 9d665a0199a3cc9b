// Directories of the stored images.
#include "print_service/imaging/image_paths_win.h"

#include "common/text_convert.h"
#include "common/windows_include.h"

std::optional<std::wstring> ProgramDirectory() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::nullopt;  // failed or cut short
  std::wstring directory(path, length);
  const size_t slash = directory.find_last_of(L'\\');
  if (slash != std::wstring::npos) directory.resize(slash + 1);
  return directory;
}

std::optional<std::wstring> TempDirectory() {
  wchar_t path[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, path);
  if (length == 0 || length > MAX_PATH) return std::nullopt;
  return std::wstring(path, length);
}

std::optional<std::wstring> JoinImagePath(const std::wstring& directory, const std::wstring& name) {
  if (directory.size() + name.size() >= MAX_PATH) return std::nullopt;
  return directory + name;
}

std::wstring WideImageName(const std::string& imageFileName) { return WideFromAnsi(imageFileName); }
