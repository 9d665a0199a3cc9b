// A plain TCP connection to a loopback port, for tests that must send exactly
// the bytes a hostile client would (partial headers, lying lengths, silence).
#pragma once

#include <httplib.h>

#include <chrono>
#include <string>
#include <utility>

class RawConnection {
 public:
  explicit RawConnection(int port) {
    sock_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock_ == INVALID_SOCKET) return;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(sock_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) Close();
  }
  ~RawConnection() { Close(); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return sock_ != INVALID_SOCKET; }

  bool Send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = httplib::detail::send_socket(sock_, bytes.data() + sent, bytes.size() - sent, 0);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // Everything the server sends until it closes the connection or `wait` passes;
  // closed tells which.
  std::string ReadUntilClosed(std::chrono::milliseconds wait, bool& closed) {
    std::string out;
    closed = ReadUntil(wait, out, [](const std::string&) { return false; });
    return out;
  }

  // The next answer's bytes: reads until the headers and a body of the
  // announced length are in. What came after them is kept for the next call.
  std::string ReadAnswer(std::chrono::milliseconds wait) {
    std::string out = std::move(unread_);
    unread_.clear();
    size_t answerEnd = 0;
    (void)ReadUntil(wait, out, [&answerEnd](const std::string& in) {
      const size_t headerEnd = in.find("\r\n\r\n");
      if (headerEnd == std::string::npos) return false;
      const size_t at = in.find("Content-Length: ");
      const size_t length = at == std::string::npos || at > headerEnd ? 0 : std::stoul(in.substr(at + 16));
      answerEnd = headerEnd + 4 + length;
      return in.size() >= answerEnd;
    });
    if (answerEnd != 0 && out.size() > answerEnd) {
      unread_ = out.substr(answerEnd);
      out.resize(answerEnd);
    }
    return out;
  }

 private:
  // Appends what arrives to out until `done` holds for it, the wait passes, or
  // the peer closes; true only in the last case.
  template <typename Done>
  bool ReadUntil(std::chrono::milliseconds wait, std::string& out, Done done) {
    const auto end = std::chrono::steady_clock::now() + wait;
    while (!done(out)) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      if (httplib::detail::select_read(sock_, static_cast<time_t>(left.count() / 1000000),
                                       static_cast<time_t>(left.count() % 1000000)) <= 0) {
        return false;
      }
      char buffer[4096];
      const ssize_t n = httplib::detail::read_socket(sock_, buffer, sizeof buffer, 0);
      if (n <= 0) return true;
      out.append(buffer, static_cast<size_t>(n));
    }
    return false;
  }

  void Close() {
    if (sock_ != INVALID_SOCKET) (void)httplib::detail::close_socket(sock_);
    sock_ = INVALID_SOCKET;
  }
  socket_t sock_ = INVALID_SOCKET;
  std::string unread_;  // read past the last answer returned
};
