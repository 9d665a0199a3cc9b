// Tests: a Windows program that connects to 127.0.0.1:<port>, sends one byte
// and holds the connection until the other end closes it (or 10 s pass).
#include "common/windows_include.h"

#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 3;
  SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (sock == INVALID_SOCKET) return 4;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(std::atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return 5;
  (void)send(sock, "x", 1, 0);
  DWORD timeout = 10000;
  (void)setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  char byte;
  (void)recv(sock, &byte, 1, 0);
  (void)closesocket(sock);
  return 0;
}
