// Whose program is at the other end of a loopback connection, on Linux.
#pragma once

#include "print_service/http_api/peer_check.h"

#include <optional>

// The uid that owns the peer's socket: asked of the kernel's socket diagnostics
// for exactly that socket, else read from /proc/net/tcp; nullopt when neither
// knows it (the peer has gone).
std::optional<uint32_t> PeerSocketUid(const ConnectionEnds& ends);

// This process's user against the peer socket's owner.
PeerOwner FindPosixPeerOwner(const ConnectionEnds& ends);

// Whose program listens on 127.0.0.1:port (or on every address at that port),
// from /proc/net/tcp.
PeerOwner FindPosixPortHolder(uint16_t port);
