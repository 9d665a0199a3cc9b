// NtCreateFile looked up in ntdll at run time (no import library needed), its
// statuses mapped to what the settings store tells apart.
#include "common/relative_open_win.h"

#include <winternl.h>

#include <vector>

namespace {

// ntstatus.h clashes with windows.h; the few statuses the store tells apart.
constexpr NTSTATUS kOplockBreakInProgress = 0x00000108;
constexpr NTSTATUS kObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS kObjectPathNotFound = static_cast<NTSTATUS>(0xC000003A);
constexpr NTSTATUS kObjectNameCollision = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS kFileIsADirectory = static_cast<NTSTATUS>(0xC00000BA);
constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS kSharingViolation = static_cast<NTSTATUS>(0xC0000043);
constexpr ULONG_PTR kFileCreated = 2;  // IO_STATUS_BLOCK.Information after FILE_OPEN_IF created the file
constexpr DWORD kOplockBreakInProgressError = 742;  // ERROR_OPLOCK_BREAK_IN_PROGRESS

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using StatusToErrorFunction = ULONG(NTAPI*)(NTSTATUS);

struct Ntdll {
  NtCreateFileFunction createFile = nullptr;
  StatusToErrorFunction statusToError = nullptr;
};

const Ntdll& NtdllFunctions() {
  static const Ntdll functions = [] {
    Ntdll found;
    // ntdll is in every process and never unloaded: the module handle is not owned.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return found;
    // Through void*: FARPROC's own signature is none of theirs.
    found.createFile =
        reinterpret_cast<NtCreateFileFunction>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCreateFile")));
    found.statusToError = reinterpret_cast<StatusToErrorFunction>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    return found;
  }();
  return functions;
}

// A Win32 path in the NT namespace: "\??\C:\dir", "\??\UNC\server\share".
std::wstring NtPathOf(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\", 0) == 0) return L"\\??\\" + path.substr(4);
  std::vector<wchar_t> full(path.size() + MAX_PATH);
  DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length >= full.size()) {
    full.resize(length + 1);
    length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  }
  if (length == 0 || length >= full.size()) return std::wstring();
  const std::wstring absolute(full.data(), length);
  if (absolute.rfind(L"\\\\", 0) == 0) return L"\\??\\UNC\\" + absolute.substr(2);
  return L"\\??\\" + absolute;
}

OpenStatus StatusOf(NTSTATUS status) {
  switch (status) {
    case kObjectNameNotFound:
    case kObjectPathNotFound:
      return OpenStatus::kNotFound;
    case kObjectNameCollision:
      return OpenStatus::kExists;
    case kFileIsADirectory:
      return OpenStatus::kIsDirectory;
    case kAccessDenied:
      return OpenStatus::kAccessDenied;
    case kSharingViolation:
      return OpenStatus::kSharingViolation;
    default:
      return OpenStatus::kFailed;
  }
}

}  // namespace

OpenResult OpenRelative(const RelativeOpen& request) {
  OpenResult result;
  const Ntdll& ntdll = NtdllFunctions();
  if (ntdll.createFile == nullptr) {
    result.error = ERROR_PROC_NOT_FOUND;
    return result;
  }
  std::wstring name = request.root != nullptr ? request.name : NtPathOf(request.name);
  if (request.root == nullptr && name.empty()) {
    result.error = ERROR_INVALID_NAME;
    return result;
  }
  const size_t bytes = name.size() * sizeof(wchar_t);
  if (bytes > 0xFFFC) {
    result.error = ERROR_FILENAME_EXCED_RANGE;
    return result;
  }
  UNICODE_STRING text;
  text.Buffer = name.empty() ? nullptr : &name[0];
  text.Length = static_cast<USHORT>(bytes);
  text.MaximumLength = static_cast<USHORT>(bytes);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, request.root, request.security);
  IO_STATUS_BLOCK io = {};
  ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT | FILE_COMPLETE_IF_OPLOCKED;
  if (request.kind == OpenKind::kFile) options |= FILE_NON_DIRECTORY_FILE;
  if (request.kind == OpenKind::kDirectory) options |= FILE_DIRECTORY_FILE;
  if (request.backupIntent) options |= FILE_OPEN_FOR_BACKUP_INTENT;
  HANDLE handle = nullptr;
  const NTSTATUS status =
      ntdll.createFile(&handle, request.access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                       request.share, request.disposition, options, nullptr, 0);
  if (status < 0) {  // NT_SUCCESS fails: no handle
    result.status = StatusOf(status);
    result.error = ntdll.statusToError != nullptr ? ntdll.statusToError(status) : ERROR_GEN_FAILURE;
    if (result.error == 0) result.error = ERROR_GEN_FAILURE;  // a failure all the same
    return result;
  }
  result.handle.Reset(handle);
  if (status == kOplockBreakInProgress) {
    result.status = OpenStatus::kOplockBreakPending;
    result.error = kOplockBreakInProgressError;
  } else {
    result.status = io.Information == kFileCreated ? OpenStatus::kCreated : OpenStatus::kOpened;
  }
  return result;
}

std::wstring FinalPathOf(HANDLE handle) {
  std::vector<wchar_t> path(MAX_PATH);
  for (int attempt = 0; attempt < 3; ++attempt) {
    const DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return std::wstring();
    if (length < path.size()) return std::wstring(path.data(), length);
    path.resize(length + 1);  // the size asked for, terminator included; grew in between: again
  }
  return std::wstring();
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}
