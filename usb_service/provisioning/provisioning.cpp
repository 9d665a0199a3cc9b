// The provisioning pass over ports, so that it runs against fakes as well.
#include "usb_service/provisioning/provisioning.h"

#include <algorithm>
#include <set>

namespace {

struct MakerQueue {
  QueueRecord record;
  uint32_t position;  // 0 when unreadable
  bool hasPosition;
};

std::optional<std::vector<MakerQueue>> FindMakerQueues(ProvisioningPorts& ports, const QueueTemplate& t) {
  std::optional<std::vector<QueueRecord>> records = ports.spooler.EnumerateQueues();
  if (!records) return std::nullopt;
  std::vector<MakerQueue> queues;
  for (const QueueRecord& record : *records) {
    if (record.driver != t.driverName) continue;
    if (queues.size() == kMaxQueues) break;  // the list has its bound; the rest wait for a later pass
    const std::optional<uint32_t> position = ports.state.ReadPosition(record.name);
    queues.push_back({record, position.value_or(0), position.has_value()});
  }
  return queues;
}

// The pass reads a device up to three times; one that let a read time out counts as
// a zero block for the rest of the pass instead of costing the timeout again.
class PassReads {
 public:
  PassReads(PrinterBus& bus, const std::vector<std::string>& devices) : bus_(bus), devices_(devices) {}

  ConfigBlock BlockOfDevice(size_t index) {
    if (index >= devices_.size()) return bus_.GetPrinterConfig(std::string());
    const std::string& path = devices_[index];
    if (silent_.count(path) != 0) return ConfigBlock{};
    ConfigRead read = bus_.ReadPrinterConfig(path);
    if (read.timedOut) {
      silent_.insert(path);
      return ConfigBlock{};
    }
    return read.block;
  }

 private:
  PrinterBus& bus_;
  const std::vector<std::string>& devices_;
  std::set<std::string> silent_;  // at most kMaxDevices
};

}  // namespace

std::string QueueName(const std::string& baseName, int index) {
  return index == 0 ? baseName : baseName + " #" + std::to_string(index);
}

void ProvisionPrintersWith(ProvisioningPorts& ports, const QueueTemplate& t) {
  std::vector<std::string> devices = ports.bus.CollectPrinterPaths();
  if (devices.size() > kMaxDevices) devices.resize(kMaxDevices);
  const int printerNum = std::min<int>(ports.bus.GetPrinterNum(), static_cast<int>(kMaxDevices));
  PassReads reads(ports.bus, devices);

  int enablePrinterNum = 0;
  for (int i = 0; i < printerNum; ++i) {
    if (reads.BlockOfDevice(static_cast<size_t>(i)).StateCode() == kStateEnabled) ++enablePrinterNum;
  }

  std::optional<std::vector<MakerQueue>> queues = FindMakerQueues(ports, t);
  if (!queues) return;
  int j = static_cast<int>(queues->size());
  if (j < enablePrinterNum) {
    for (int n = j + 1; n <= enablePrinterNum; ++n) {
      // Born numbered from 0; the renaming below gives the first one the base name.
      ports.spooler.AddPrinterQueue(t.printerName + " #" + std::to_string(n - 1), t, static_cast<uint32_t>(n));
    }
    queues = FindMakerQueues(ports, t);
    if (!queues) return;
    j = static_cast<int>(queues->size());
  }

  std::stable_sort(queues->begin(), queues->end(),
                   [](const MakerQueue& a, const MakerQueue& b) { return a.position < b.position; });

  // Surplus, from the back; the first queue always stays.
  for (int k = j - 1; k >= 1; --k) {
    if (k >= enablePrinterNum) {
      ports.spooler.DeletePrinterByName((*queues)[static_cast<size_t>(k)].record.name);
      --j;
    }
  }

  for (int k = 0; k < j; ++k) {
    const MakerQueue& queue = (*queues)[static_cast<size_t>(k)];
    const ConfigBlock block = reads.BlockOfDevice(static_cast<size_t>(k));
    if (!ports.state.CanOpen(queue.record.name)) continue;
    if (queue.hasPosition && queue.position != static_cast<uint32_t>(k + 1)) {
      ports.state.WritePosition(queue.record.name, static_cast<uint32_t>(k + 1));
    }
    const std::string name = QueueName(t.printerName, k);
    // Under the name the queue is to bear, before any rename.
    if (block.StateCode() != kStateNothingRead) {
      ports.settings.SaveConfigBin(name, block);
      ports.settings.SyncPrinterIni(name, block);
    }
    if (queue.record.name != name) (void)ports.spooler.Rename(queue.record.name, name);  // not retried
  }

  std::optional<std::vector<MakerQueue>> current = FindMakerQueues(ports, t);
  if (!current) return;
  for (size_t m = 0; m < current->size(); ++m) {
    const std::string& name = (*current)[m].record.name;
    const ConfigBlock block = reads.BlockOfDevice(m);
    if (!ports.state.CanOpen(name)) continue;
    const uint32_t position = ports.state.ReadPosition(name).value_or(0);
    const std::optional<QueueRecord> record = ports.state.ReadRecord(name);
    if (!record) continue;
    if (position > static_cast<uint32_t>(enablePrinterNum)) {
      if ((record->attributes & kAttributeWorkOffline) == 0) ports.state.SetWorkOffline(name, true);
    } else if (block.StateCode() != kStateKeepQueueState) {
      if (record->status != 0) ports.state.ResetStatus(name);
      if ((record->attributes & kAttributeWorkOffline) != 0) ports.state.SetWorkOffline(name, false);
    }
  }
}
