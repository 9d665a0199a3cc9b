// Writes a posted image into the program directory, or the temporary directory.
#include "print_service/imaging/image_store_win.h"

#include "common/text_convert.h"
#include "print_service/imaging/housekeeping_win.h"
#include "print_service/imaging/image_paths_win.h"

#include <cerrno>
#include <cstdio>
#include <memory>

namespace {

struct FileCloser {
  void operator()(FILE* f) const { (void)std::fclose(f); }
};

// Opens path for writing; the errno value on failure.
int OpenForWrite(const std::wstring& path, std::unique_ptr<FILE, FileCloser>& file) {
  FILE* raw = nullptr;
  const errno_t error = _wfopen_s(&raw, path.c_str(), L"wb");
  file.reset(raw);
  return error != 0 ? error : (raw == nullptr ? EINVAL : 0);
}

// Writes and closes; true when every byte went out and the close succeeded.
bool WriteAll(std::unique_ptr<FILE, FileCloser> file, std::string_view bytes, size_t& written) {
  written = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), file.get());
  const bool closed = std::fclose(file.release()) == 0;
  return written == bytes.size() && closed;
}

}  // namespace

bool DiskImageStore::Save(const std::string& fileName, std::string_view bytes) {
  const std::wstring name = WideImageName(fileName);
  std::unique_ptr<FILE, FileCloser> file;
  int error = ENAMETOOLONG;
  if (std::optional<std::wstring> dir = ProgramDirectory()) {
    if (std::optional<std::wstring> path = JoinImagePath(*dir, name)) {
      log_.WideLine("尝试保存图片到: " + Utf8FromWide(*path));
      error = OpenForWrite(*path, file);
      if (error == 0) {
        size_t written = 0;
        const bool stored = WriteAll(std::move(file), bytes, written);
        log_.WideLine("图片文件已成功保存到: " + Utf8FromWide(*path) + ", 写入字节数: " + std::to_string(written));
        return stored;
      }
    }
  }
  log_.WideLine("无法在程序目录保存文件，错误代码: " + std::to_string(error) + "，尝试使用临时目录");

  error = ENAMETOOLONG;
  std::optional<std::wstring> dir = TempDirectory();
  std::optional<std::wstring> path = dir ? JoinImagePath(*dir, name) : std::nullopt;
  if (path) {
    log_.WideLine("尝试保存图片到临时目录: " + Utf8FromWide(*path));
    error = OpenForWrite(*path, file);
    if (error == 0) {
      size_t written = 0;
      const bool stored = WriteAll(std::move(file), bytes, written);
      log_.WideLine("图片文件已成功保存到临时目录: " + Utf8FromWide(*path) + ", 写入字节数: " +
                    std::to_string(written));
      return stored;
    }
  }
  log_.WideLine("保存图片文件失败，临时目录错误代码: " + std::to_string(error));
  return false;
}

void DiskImageStore::PruneOldImages() { PruneStoredImages(log_); }
