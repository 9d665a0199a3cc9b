// CUPS destinations: the list, the queue a received name may open, and a
// connection to it (CUPS on Linux and macOS).
#pragma once

#include "print_service/printers/printer_enumerator.h"

#include <cups/cups.h>

#include <memory>
#include <optional>
#include <string>

// The destinations CUPS lists now, freed with the object.
class CupsDestinations {
 public:
  // nullopt when CUPS could not be asked.
  static std::optional<CupsDestinations> Fetch();
  CupsDestinations(CupsDestinations&& other) noexcept : count_(other.count_), dests_(other.dests_) {
    other.count_ = 0;
    other.dests_ = nullptr;
  }
  CupsDestinations& operator=(CupsDestinations&&) = delete;
  CupsDestinations(const CupsDestinations&) = delete;
  ~CupsDestinations();

  int count() const { return count_; }
  cups_dest_t* at(int i) const { return dests_ + i; }
  // The queue (not an instance) that a received name may open: "KELO" for an
  // empty name, otherwise only a listed queue of exactly that name.
  cups_dest_t* FindQueue(const std::string& received) const;

 private:
  CupsDestinations(int count, cups_dest_t* dests) : count_(count), dests_(dests) {}
  int count_;
  cups_dest_t* dests_;
};

struct HttpCloser {
  void operator()(http_t* http) const { httpClose(http); }
};
using UniqueHttp = std::unique_ptr<http_t, HttpCloser>;

struct DestInfoDeleter {
  void operator()(cups_dinfo_t* info) const { cupsFreeDestInfo(info); }
};
using UniqueDestInfo = std::unique_ptr<cups_dinfo_t, DestInfoDeleter>;

// A listed queue reached for a question or a job: a connection of its own to
// the queue's server, so that requests on different threads never share one,
// the queue's details and its default resolution in dots per inch.
struct OpenedQueue {
  std::optional<CupsDestinations> dests;  // owns dest
  cups_dest_t* dest = nullptr;
  UniqueHttp http;
  UniqueDestInfo info;
  int xDpi = 0;
  int yDpi = 0;
};

enum class QueueOpening {
  kOk,
  kNotListed,    // CUPS could not be asked, or lists no queue of that name
  kUnreachable,  // the queue's server took no connection
  kNoSettings,   // no details, or no default resolution
};

// Only a listed queue is reached (see FindQueue): the name is never taken for a URI.
QueueOpening OpenQueue(const std::string& received, OpenedQueue& queue);

class CupsPrinterEnumerator final : public PrinterEnumerator {
 public:
  // Every queue in CUPS's order; instances are the user's option sets of a
  // queue, not queues, and are left out.
  std::optional<std::vector<QueueRecord>> EnumerateLocalQueues() override;
};
