// Whose program is at the other end of a loopback connection, on Windows: the
// TCP table's owning process, its session and its token's user.
#include "print_service/http_api/peer_check_win.h"

#include "common/size_retry_win.h"
#include "common/unique_owner_win.h"
#include "common/windows_include.h"

#include <iphlpapi.h>

#include <cstddef>
#include <memory>
#include <vector>

namespace {

std::vector<TcpOwnerRow> TcpTable(TCP_TABLE_CLASS kind) {
  SizedBuffer buffer;
  const bool read = CallWithSizeRetry(
      [kind](BYTE* data, DWORD size, DWORD* needed) {
        DWORD length = size;
        const DWORD result = GetExtendedTcpTable(data, &length, FALSE, AF_INET, kind, 0);
        if (result == NO_ERROR) return true;
        *needed = length;
        SetLastError(result);
        return false;
      },
      buffer);
  std::vector<TcpOwnerRow> rows;
  if (!read || buffer.Size() < sizeof(DWORD)) return rows;
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.Data());
  const size_t fits = (buffer.Size() - offsetof(MIB_TCPTABLE_OWNER_PID, table)) / sizeof(MIB_TCPROW_OWNER_PID);
  const size_t count = table->dwNumEntries < fits ? table->dwNumEntries : fits;
  rows.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const MIB_TCPROW_OWNER_PID& row = table->table[i];
    rows.push_back(TcpOwnerRow{ntohl(row.dwLocalAddr), ntohs(static_cast<u_short>(row.dwLocalPort)),
                               ntohl(row.dwRemoteAddr), ntohs(static_cast<u_short>(row.dwRemotePort)),
                               row.dwOwningPid});
  }
  return rows;
}

// The user of a process's primary token, in a buffer of its own; empty when
// the process or its token cannot be opened.
std::vector<BYTE> TokenUserOf(HANDLE process) {
  UniqueHandle token;
  if (!OpenProcessToken(process, TOKEN_QUERY, token.Put())) return {};
  DWORD size = 0;
  (void)GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
  if (size < sizeof(TOKEN_USER)) return {};
  std::vector<BYTE> user(size);
  if (!GetTokenInformation(token.Get(), TokenUser, user.data(), size, &size)) return {};
  return user;
}

PSID SidOf(const std::vector<BYTE>& tokenUser) {
  return tokenUser.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(tokenUser.data())->User.Sid;
}

// This process's user and session never change: read once, not for every connection.
const std::vector<BYTE>& OwnTokenUser() {
  static const std::vector<BYTE> user = TokenUserOf(GetCurrentProcess());
  return user;
}

const std::optional<DWORD>& OwnSession() {
  static const std::optional<DWORD> session = [] {
    DWORD id = 0;
    return ProcessIdToSessionId(GetCurrentProcessId(), &id) ? std::optional<DWORD>(id) : std::nullopt;
  }();
  return session;
}

std::optional<PeerProcess> DescribeProcess(DWORD pid) {
  // 0 is the idle process, which owns no connection: Wine's answer for a
  // socket of a program outside it.
  if (pid == 0) return std::nullopt;
  PeerProcess peer;
  if (pid == GetCurrentProcessId()) {
    peer.isThisProcess = true;
    return peer;
  }
  DWORD session = 0;
  if (ProcessIdToSessionId(pid, &session)) peer.session = session;
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (process) {
    const std::vector<BYTE> theirs = TokenUserOf(process.Get());
    const PSID ours = SidOf(OwnTokenUser());
    if (SidOf(theirs) != nullptr && ours != nullptr) peer.sameUser = EqualSid(SidOf(theirs), ours) != FALSE;
  }
  return peer;
}

}  // namespace

PeerOwner JudgeWindowsProcess(const std::optional<uint32_t>& pid) {
  if (!pid) return PeerOwner::kUnknown;
  if (!OwnSession()) return PeerOwner::kUnknown;
  return JudgePeerProcess(DescribeProcess(*pid), *OwnSession());
}

std::optional<uint32_t> FindWindowsPeerProcess(const ConnectionEnds& ends) {
  return FindPeerSocketOwner(TcpTable(TCP_TABLE_OWNER_PID_CONNECTIONS), ends);
}

PeerOwner FindWindowsPeerOwner(const ConnectionEnds& ends) { return JudgeWindowsProcess(FindWindowsPeerProcess(ends)); }

PeerOwner FindWindowsPortHolder(uint16_t port) {
  return JudgeWindowsProcess(FindListenerOwner(TcpTable(TCP_TABLE_OWNER_PID_LISTENER), 0x7F000001u, port));
}

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
