// Whose program is at the other end of a loopback connection, on Windows.
#pragma once

#include "print_service/http_api/peer_check.h"

// From the system's TCP table (the process that owns the peer's socket), then
// that process's session and its token's user, against this process's.
PeerOwner FindWindowsPeerOwner(const ConnectionEnds& ends);

// The two halves of FindWindowsPeerOwner: the process the TCP table names as
// the peer socket's owner (nullopt: no such row), and the judgement of a process.
std::optional<uint32_t> FindWindowsPeerProcess(const ConnectionEnds& ends);
PeerOwner JudgeWindowsProcess(const std::optional<uint32_t>& pid);

// Whose program listens on 127.0.0.1:port (or on every address at that port).
PeerOwner FindWindowsPortHolder(uint16_t port);

// Whether this process runs under Wine: Wine lists no owner for the programs
// outside it, so there an unknown owner is the normal case.
bool RunningUnderWine();
