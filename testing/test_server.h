// Runs the API server on a free loopback port for the length of a test.
#pragma once

#include "print_service/http_api/http_api.h"

#include <chrono>
#include <future>
#include <thread>

class TestServer {
 public:
  explicit TestServer(ApiHandlers handlers, ServerLimits limits = NoBodyLimitSet(), PeerCheck peerCheck = nullptr,
                      bool serveUnknownPeers = false) {
    std::promise<int> bound;
    std::future<int> port = bound.get_future();
    thread_ = std::thread([this, handlers = std::move(handlers), limits = std::move(limits), bound = std::move(bound),
                           peerCheck = std::move(peerCheck), serveUnknownPeers]() mutable {
      HttpServerSetup setup;
      setup.handlers = std::move(handlers);
      setup.limits = std::move(limits);
      setup.peerCheck = std::move(peerCheck);
      setup.serveUnknownPeers = serveUnknownPeers;
      setup.port = 0;
      setup.onListening = [&bound](int p) { bound.set_value(p); };
      result_ = RunHttpServerWith(std::move(setup));
    });
    if (port.wait_for(std::chrono::seconds(10)) == std::future_status::ready) port_ = port.get();
  }
  ~TestServer() {
    (void)StopHttpServer(std::chrono::seconds(10));
    thread_.join();
  }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  int port() const { return port_; }
  httplib::Client Client() const {
    httplib::Client client("127.0.0.1", port_);
    client.set_connection_timeout(std::chrono::seconds(5));
    client.set_read_timeout(std::chrono::seconds(10));
    return client;
  }

 private:
  std::thread thread_;
  int port_ = 0;
  int result_ = 0;
};
