// Whose program is at the other end of a loopback connection. Every user of a
// shared computer (terminal servers, fast user switching) may connect to the
// port; only the user whose agent it is may list and print through it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The two ends of an accepted connection, as the server sees them.
struct ConnectionEnds {
  std::string localAddress;  // dotted IPv4
  int localPort = 0;
  std::string peerAddress;
  int peerPort = 0;
};

enum class PeerOwner : uint8_t {
  kThisUser,
  kOtherUser,
  kUnknown,  // the connection's owner could not be found or read
};

// Asked once per connection, before its first request is read.
using PeerCheck = std::function<PeerOwner(const ConnectionEnds&)>;

// What a caller of another user gets on every API path, in the usual failure answer.
inline constexpr char kOtherUserText[] = "The label printing agent belongs to another user of this computer";

// A dotted IPv4 address in host byte order; nullopt for anything else.
std::optional<uint32_t> ParseIpv4(std::string_view text);

// One row of the system's TCP table: addresses and ports in host byte order,
// with the process (Windows) or the user (Linux) that owns the socket.
struct TcpOwnerRow {
  uint32_t localAddress = 0;
  uint16_t localPort = 0;
  uint32_t remoteAddress = 0;
  uint16_t remotePort = 0;
  uint32_t owner = 0;
};

// The owner of the peer's socket: the row whose local end is the peer's end and
// whose remote end is ours. nullopt when the table has no such row (the peer has
// gone) or the ends cannot be read.
std::optional<uint32_t> FindPeerSocketOwner(const std::vector<TcpOwnerRow>& rows, const ConnectionEnds& ends);

// What is known of the process that owns the peer's socket (Windows).
struct PeerProcess {
  bool isThisProcess = false;
  std::optional<uint32_t> session;  // nullopt: could not be read
  std::optional<bool> sameUser;     // the token's user against ours; nullopt: could not be read
};

// A program of another session, or of another user in this one, is another
// user's; this user's own program in this session is this user's; anything
// that cannot be read is unknown.
PeerOwner JudgePeerProcess(const std::optional<PeerProcess>& peer, uint32_t ownSession);

// The rows of Linux's /proc/net/tcp text (owner: the uid column); lines that do
// not parse are skipped.
std::vector<TcpOwnerRow> ParseProcNetTcp(std::string_view text);

// The owner of the socket listening on address:port (or on every address, which
// also takes that port); nullopt when nothing listens there.
std::optional<uint32_t> FindListenerOwner(const std::vector<TcpOwnerRow>& rows, uint32_t address, uint16_t port);

// What an agent says after a bind of its port failed, judged by who holds the
// port: that another user's program holds it (notification and diagnostic
// line), or only that the port is taken; each once a run.
enum class BindFailureNotice : uint8_t { kNone, kTaken, kOtherUser };

class BindFailureReporter {
 public:
  BindFailureNotice After(PeerOwner holder);

 private:
  bool saidTaken_ = false;
  bool saidOtherUser_ = false;
};

inline constexpr char kPortTakenLine[] = "127.0.0.1:6780 cannot be bound; trying again every 2 s";
inline constexpr char kPortHeldByOtherUserLine[] =
    "127.0.0.1:6780 is held by a program of another user of this computer; trying again every 2 s";
