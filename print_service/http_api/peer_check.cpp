// Whose program is at the other end of a loopback connection: the portable part.
#include "print_service/http_api/peer_check.h"

#include <cstdlib>

std::optional<uint32_t> ParseIpv4(std::string_view text) {
  uint32_t address = 0;
  int parts = 0;
  size_t at = 0;
  while (parts < 4) {
    size_t digits = 0;
    uint32_t part = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 3) {
      part = part * 10 + static_cast<uint32_t>(text[at] - '0');
      ++at;
      ++digits;
    }
    if (digits == 0 || part > 255) return std::nullopt;
    address = (address << 8) | part;
    ++parts;
    if (parts < 4) {
      if (at >= text.size() || text[at] != '.') return std::nullopt;
      ++at;
    }
  }
  if (at != text.size()) return std::nullopt;
  return address;
}

std::optional<uint32_t> FindPeerSocketOwner(const std::vector<TcpOwnerRow>& rows, const ConnectionEnds& ends) {
  const std::optional<uint32_t> local = ParseIpv4(ends.localAddress);
  const std::optional<uint32_t> peer = ParseIpv4(ends.peerAddress);
  if (!local || !peer || ends.localPort <= 0 || ends.localPort > 0xFFFF || ends.peerPort <= 0 ||
      ends.peerPort > 0xFFFF) {
    return std::nullopt;
  }
  for (const TcpOwnerRow& row : rows) {
    if (row.localAddress == *peer && row.localPort == ends.peerPort && row.remoteAddress == *local &&
        row.remotePort == ends.localPort) {
      return row.owner;
    }
  }
  return std::nullopt;
}

PeerOwner JudgePeerProcess(const std::optional<PeerProcess>& peer, uint32_t ownSession) {
  if (!peer) return PeerOwner::kUnknown;
  if (peer->isThisProcess) return PeerOwner::kThisUser;
  // Either fact alone is enough to refuse; both are needed to serve.
  if (peer->session && *peer->session != ownSession) return PeerOwner::kOtherUser;
  if (peer->sameUser && !*peer->sameUser) return PeerOwner::kOtherUser;
  if (peer->session && peer->sameUser) return PeerOwner::kThisUser;
  return PeerOwner::kUnknown;
}

std::optional<uint32_t> FindListenerOwner(const std::vector<TcpOwnerRow>& rows, uint32_t address, uint16_t port) {
  for (const TcpOwnerRow& row : rows) {
    if (row.localPort == port && (row.localAddress == address || row.localAddress == 0) && row.remoteAddress == 0 &&
        row.remotePort == 0) {
      return row.owner;
    }
  }
  return std::nullopt;
}

BindFailureNotice BindFailureReporter::After(PeerOwner holder) {
  if (holder == PeerOwner::kOtherUser) {
    if (saidOtherUser_) return BindFailureNotice::kNone;
    saidOtherUser_ = saidTaken_ = true;
    return BindFailureNotice::kOtherUser;
  }
  if (saidTaken_) return BindFailureNotice::kNone;
  saidTaken_ = true;
  return BindFailureNotice::kTaken;
}

namespace {

// "0100007F:1A7C": the address as the kernel stores it (network order read as a
// little-endian word on the machines this runs on), then the port in hex.
bool ParseEndpoint(std::string_view text, uint32_t& address, uint16_t& port) {
  if (text.size() != 13 || text[8] != ':') return false;
  char* end = nullptr;
  const std::string addressText(text.substr(0, 8));
  const std::string portText(text.substr(9, 4));
  const unsigned long raw = std::strtoul(addressText.c_str(), &end, 16);
  if (end != addressText.c_str() + 8) return false;
  const unsigned long rawPort = std::strtoul(portText.c_str(), &end, 16);
  if (end != portText.c_str() + 4) return false;
  const auto word = static_cast<uint32_t>(raw);
  address = ((word & 0xFFu) << 24) | ((word & 0xFF00u) << 8) | ((word >> 8) & 0xFF00u) | (word >> 24);
  port = static_cast<uint16_t>(rawPort);
  return true;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    const size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
    if (at > start) fields.push_back(line.substr(start, at - start));
  }
  return fields;
}

}  // namespace

std::vector<TcpOwnerRow> ParseProcNetTcp(std::string_view text) {
  // "  sl  local_address rem_address   st tx_queue:rx_queue tr:tm->when retrnsmt   uid ..."
  std::vector<TcpOwnerRow> rows;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::vector<std::string_view> fields = Fields(text.substr(at, end - at));
    at = end + 1;
    TcpOwnerRow row;
    if (fields.size() < 8 || fields[0].empty() || fields[0].back() != ':') continue;
    if (!ParseEndpoint(fields[1], row.localAddress, row.localPort)) continue;
    if (!ParseEndpoint(fields[2], row.remoteAddress, row.remotePort)) continue;
    const std::string uid(fields[7]);
    char* uidEnd = nullptr;
    const unsigned long value = std::strtoul(uid.c_str(), &uidEnd, 10);
    if (uid.empty() || uidEnd != uid.c_str() + uid.size() || value > 0xFFFFFFFFul) continue;
    row.owner = static_cast<uint32_t>(value);
    rows.push_back(row);
  }
  return rows;
}
