// Whose program is at the other end, against Wine's real TCP table and processes.
#include "print_service/http_api/peer_check_win.h"

#include "common/unique_owner_win.h"
#include "common/windows_include.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

struct Socket {
  SOCKET s = INVALID_SOCKET;
  ~Socket() {
    if (s != INVALID_SOCKET) (void)closesocket(s);
  }
};

// A listener on 127.0.0.1 at a free port.
int Listen(Socket& listener) {
  listener.s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener.s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return 0;
  if (listen(listener.s, 4) != 0) return 0;
  int length = sizeof address;
  if (getsockname(listener.s, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

ConnectionEnds EndsOf(SOCKET accepted) {
  sockaddr_in local = {}, peer = {};
  int length = sizeof local;
  (void)getsockname(accepted, reinterpret_cast<sockaddr*>(&local), &length);
  length = sizeof peer;
  (void)getpeername(accepted, reinterpret_cast<sockaddr*>(&peer), &length);
  return ConnectionEnds{"127.0.0.1", ntohs(local.sin_port), "127.0.0.1", ntohs(peer.sin_port)};
}

class PeerCheckOnWine : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa_), 0); }
  void TearDown() override { (void)WSACleanup(); }
  WSADATA wsa_{};
};

// Wine's TCP table holds every connection of its programs but names no owner
// (process 0) for any of them, the agent's own included; the processes
// themselves are judged as on Windows.
TEST_F(PeerCheckOnWine, TheTableFindsThePeersRowAndAProgramOfThisUserIsThisUsers) {
  ASSERT_TRUE(RunningUnderWine());
  Socket listener;
  const int port = Listen(listener);
  ASSERT_GT(port, 0);

  // From another Windows program of this user, in its own process.
  const char* clientExe = std::getenv("KELO_LOOPBACK_CLIENT_EXE");
  ASSERT_NE(clientExe, nullptr) << "KELO_LOOPBACK_CLIENT_EXE names the test client";
  std::string command = std::string("\"") + clientExe + "\" " + std::to_string(port);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
  UniqueHandle process(info.hProcess), thread(info.hThread);
  Socket fromChild;
  fromChild.s = accept(listener.s, nullptr, nullptr);
  ASSERT_NE(fromChild.s, INVALID_SOCKET);
  char byte = 0;
  ASSERT_EQ(recv(fromChild.s, &byte, 1, 0), 1);  // the child is connected and running

  const ConnectionEnds ends = EndsOf(fromChild.s);
  const std::optional<uint32_t> owner = FindWindowsPeerProcess(ends);
  ASSERT_TRUE(owner) << "the client's row, found by its end and ours";
  EXPECT_TRUE(*owner == info.dwProcessId || *owner == 0) << *owner;
  EXPECT_EQ(FindWindowsPeerOwner(ends), *owner == 0 ? PeerOwner::kUnknown : PeerOwner::kThisUser);
  // The client's process, and this one, by their own identity.
  EXPECT_EQ(JudgeWindowsProcess(info.dwProcessId), PeerOwner::kThisUser);
  EXPECT_EQ(JudgeWindowsProcess(GetCurrentProcessId()), PeerOwner::kThisUser);
  EXPECT_EQ(JudgeWindowsProcess(0), PeerOwner::kUnknown);
  (void)closesocket(fromChild.s);
  fromChild.s = INVALID_SOCKET;
  EXPECT_EQ(WaitForSingleObject(process.Get(), 10000), WAIT_OBJECT_0);
  const PeerOwner holder = FindWindowsPortHolder(static_cast<uint16_t>(port));
  EXPECT_TRUE(holder == PeerOwner::kThisUser || holder == PeerOwner::kUnknown);
}

TEST_F(PeerCheckOnWine, AConnectionTheTableDoesNotHoldHasNoOwner) {
  Socket listener;
  const int port = Listen(listener);
  ASSERT_GT(port, 0);
  EXPECT_EQ(FindWindowsPeerProcess(ConnectionEnds{"127.0.0.1", port, "127.0.0.1", 1}), std::nullopt);
  EXPECT_EQ(FindWindowsPeerOwner(ConnectionEnds{"127.0.0.1", port, "127.0.0.1", 1}), PeerOwner::kUnknown);
  EXPECT_EQ(FindWindowsPortHolder(1), PeerOwner::kUnknown) << "nothing listens on port 1";
}

}  // namespace
