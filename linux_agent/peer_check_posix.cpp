// Whose program is at the other end of a loopback connection, on Linux: the
// owner uid of the peer's socket.
#include "linux_agent/peer_check_posix.h"

#include "linux_agent/file_read_posix.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// The peer's socket is the one whose source is the peer's end and whose
// destination is ours: one exact lookup, whatever else the system has open.
std::optional<uint32_t> AskSocketDiagnostics(const ConnectionEnds& ends) {
  const std::optional<uint32_t> local = ParseIpv4(ends.localAddress);
  const std::optional<uint32_t> peer = ParseIpv4(ends.peerAddress);
  if (!local || !peer) return std::nullopt;
  const UniqueFd socketFd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  const int fd = socketFd.Get();
  if (fd < 0) return std::nullopt;
  // The kernel answers at once; the bound only keeps a wedged answer from holding a worker.
  timeval wait{0, 200000};
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.request.sdiag_family = AF_INET;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  message.request.id.idiag_sport = htons(static_cast<uint16_t>(ends.peerPort));
  message.request.id.idiag_dport = htons(static_cast<uint16_t>(ends.localPort));
  message.request.id.idiag_src[0] = htonl(*peer);
  message.request.id.idiag_dst[0] = htonl(*local);
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, &message, sizeof message, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0) {
    return std::nullopt;
  }
  alignas(nlmsghdr) char answer[8192];
  const ssize_t n = recv(fd, answer, sizeof answer, 0);
  if (n <= 0) return std::nullopt;
  const auto* header = reinterpret_cast<const nlmsghdr*>(answer);
  size_t left = static_cast<size_t>(n);
  for (; NLMSG_OK(header, left); header = NLMSG_NEXT(header, left)) {
    if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY) return std::nullopt;  // NLMSG_ERROR: no such socket
    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return std::nullopt;
    const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
    if (found->id.idiag_sport == message.request.id.idiag_sport &&
        found->id.idiag_dport == message.request.id.idiag_dport &&
        found->id.idiag_src[0] == message.request.id.idiag_src[0] &&
        found->id.idiag_dst[0] == message.request.id.idiag_dst[0]) {
      return found->idiag_uid;
    }
  }
  return std::nullopt;
}

// A kernel without socket diagnostics still has the table; 4 MiB holds tens of
// thousands of connections.
std::optional<std::vector<TcpOwnerRow>> ReadProcTable() {
  const UniqueFd file(open("/proc/net/tcp", O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0) return std::nullopt;
  std::string text;
  char buffer[16384];
  for (;;) {
    const ssize_t n = read(file.Get(), buffer, sizeof buffer);
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    if (text.size() + static_cast<size_t>(n) > (4u << 20)) return std::nullopt;
    text.append(buffer, static_cast<size_t>(n));
  }
  return ParseProcNetTcp(text);
}

PeerOwner JudgeUid(const std::optional<uint32_t>& uid) {
  if (!uid) return PeerOwner::kUnknown;
  return *uid == static_cast<uint32_t>(geteuid()) ? PeerOwner::kThisUser : PeerOwner::kOtherUser;
}

}  // namespace

std::optional<uint32_t> PeerSocketUid(const ConnectionEnds& ends) {
  if (std::optional<uint32_t> uid = AskSocketDiagnostics(ends)) return uid;
  const std::optional<std::vector<TcpOwnerRow>> rows = ReadProcTable();
  if (!rows) return std::nullopt;
  return FindPeerSocketOwner(*rows, ends);
}

PeerOwner FindPosixPeerOwner(const ConnectionEnds& ends) { return JudgeUid(PeerSocketUid(ends)); }

PeerOwner FindPosixPortHolder(uint16_t port) {
  const std::optional<std::vector<TcpOwnerRow>> rows = ReadProcTable();
  if (!rows) return PeerOwner::kUnknown;
  return JudgeUid(FindListenerOwner(*rows, 0x7F000001u, port));
}
