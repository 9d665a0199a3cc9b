// Destinations through libcups.
#include "linux_agent/printers/cups_destinations_cups.h"

#include "common/text_convert.h"
#include "linux_agent/printers/cups_queue_attributes.h"
#include "print_service/printers/queue_name_rule.h"

#include <cmath>
#include <vector>

namespace {

// How long a print or a question waits for the destination's server to take
// the connection.
constexpr int kConnectTimeoutMs = 10000;

std::optional<std::string_view> Option(const cups_dest_t& dest, const char* name) {
  const char* value = cupsGetOption(name, dest.num_options, dest.options);
  if (value == nullptr) return std::nullopt;
  return std::string_view(value);
}

}  // namespace

std::optional<CupsDestinations> CupsDestinations::Fetch() {
  cups_dest_t* dests = nullptr;
  const int count = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
  // No destination and an error: the scheduler did not answer. No destination
  // and no error: there are none.
  if (count <= 0) {
    cupsFreeDests(count, dests);
    if (cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE) return std::nullopt;
    return CupsDestinations(0, nullptr);
  }
  return CupsDestinations(count, dests);
}

CupsDestinations::~CupsDestinations() {
  if (dests_ != nullptr) cupsFreeDests(count_, dests_);
}

cups_dest_t* CupsDestinations::FindQueue(const std::string& received) const {
  std::vector<std::string> listed;
  for (int i = 0; i < count_; ++i) {
    if (dests_[i].instance == nullptr && dests_[i].name != nullptr) listed.emplace_back(dests_[i].name);
  }
  const std::optional<std::string> utf8 =
      IsValidUtf8(received) ? std::optional<std::string>(received) : std::nullopt;
  const std::optional<std::string> queue = QueueToOpen(received, utf8, listed);
  return queue ? cupsGetDest(queue->c_str(), nullptr, count_, dests_) : nullptr;
}

namespace {

bool DefaultResolution(http_t* http, cups_dest_t* dest, cups_dinfo_t* info, int& xDpi, int& yDpi) {
  ipp_attribute_t* attr = cupsFindDestDefault(http, dest, info, "printer-resolution");
  if (attr == nullptr || ippGetValueTag(attr) != IPP_TAG_RESOLUTION) return false;
  ipp_res_t units = IPP_RES_PER_INCH;
  int y = 0;
  const int x = ippGetResolution(attr, 0, &y, &units);
  if (units == IPP_RES_PER_CM) {
    xDpi = static_cast<int>(std::lround(x * 2.54));
    yDpi = static_cast<int>(std::lround(y * 2.54));
  } else {
    xDpi = x;
    yDpi = y;
  }
  return xDpi > 0 && yDpi > 0;
}

}  // namespace

QueueOpening OpenQueue(const std::string& received, OpenedQueue& queue) {
  if (std::optional<CupsDestinations> fetched = CupsDestinations::Fetch()) queue.dests.emplace(std::move(*fetched));
  queue.dest = queue.dests ? queue.dests->FindQueue(received) : nullptr;
  if (queue.dest == nullptr) return QueueOpening::kNotListed;
  char resource[1024];
  queue.http.reset(cupsConnectDest(queue.dest, CUPS_DEST_FLAGS_NONE, kConnectTimeoutMs, nullptr, resource,
                                   sizeof resource, nullptr, nullptr));
  if (!queue.http) return QueueOpening::kUnreachable;
  queue.info.reset(cupsCopyDestInfo(queue.http.get(), queue.dest));
  if (!queue.info || !DefaultResolution(queue.http.get(), queue.dest, queue.info.get(), queue.xDpi, queue.yDpi)) {
    return QueueOpening::kNoSettings;
  }
  return QueueOpening::kOk;
}

std::optional<std::vector<QueueRecord>> CupsPrinterEnumerator::EnumerateLocalQueues() {
  std::optional<CupsDestinations> dests = CupsDestinations::Fetch();
  if (!dests) return std::nullopt;
  std::vector<QueueRecord> records;
  records.reserve(static_cast<size_t>(dests->count()));
  for (int i = 0; i < dests->count(); ++i) {
    const cups_dest_t& dest = *dests->at(i);
    if (dest.instance != nullptr || dest.name == nullptr) continue;
    QueueRecord record;
    record.name = dest.name;
    record.attributes = QueueAttributesFromCupsOptions(Option(dest, "printer-type"), Option(dest, "printer-state"),
                                                       Option(dest, "printer-is-accepting-jobs"));
    records.push_back(std::move(record));
  }
  return records;
}
