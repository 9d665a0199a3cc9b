// Fakes for the provisioning pass: a spooler that behaves as Windows does and a
// bus of simulated label printers; both record what they were asked.
#pragma once

#include "usb_service/provisioning/provisioning.h"

#include <map>
#include <mutex>

class FakeSpooler final : public QueueSpooler, public QueueState {
 public:
  struct Queue {
    QueueRecord record;
    std::optional<uint32_t> position;
    bool opens = true;
  };
  std::vector<Queue> queues;  // in enumeration order
  std::vector<std::string> log;
  bool failEnumeration = false;

  void Add(const std::string& name, const std::string& driver, std::optional<uint32_t> position,
           uint32_t attributes = 0, uint32_t status = 0) {
    QueueRecord record;
    record.name = name;
    record.driver = driver;
    record.attributes = attributes;
    record.status = status;
    queues.push_back({std::move(record), position, true});
  }
  Queue* Find(const std::string& name) {
    for (Queue& q : queues) {
      if (q.record.name == name) return &q;
    }
    return nullptr;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const Queue& q : queues) names.push_back(q.record.name);
    return names;
  }

  std::optional<std::vector<QueueRecord>> EnumerateQueues() override {
    if (failEnumeration) return std::nullopt;
    std::vector<QueueRecord> records;
    for (const Queue& q : queues) records.push_back(q.record);
    return records;
  }
  void AddPrinterQueue(const std::string& name, const QueueTemplate& t, uint32_t position) override {
    log.push_back("add " + name);
    if (t.driverName.empty() || Find(name) != nullptr) return;  // no driver; Windows refuses a taken name
    Add(name, t.driverName, position);
  }
  void DeletePrinterByName(const std::string& name) override {
    log.push_back("delete " + name);
    for (auto it = queues.begin(); it != queues.end(); ++it) {
      if (it->record.name == name && it->opens) {
        queues.erase(it);
        return;
      }
    }
  }
  bool Rename(const std::string& from, const std::string& to) override {
    log.push_back("rename " + from + " -> " + to);
    Queue* q = Find(from);
    if (q == nullptr || Find(to) != nullptr) return false;  // a rename onto an existing name fails
    q->record.name = to;  // printer data and state go with the queue
    return true;
  }

  bool CanOpen(const std::string& name) override {
    Queue* q = Find(name);
    return q != nullptr && q->opens;
  }
  std::optional<uint32_t> ReadPosition(const std::string& name) override {
    Queue* q = Find(name);
    return q != nullptr && q->opens ? q->position : std::nullopt;
  }
  void WritePosition(const std::string& name, uint32_t position) override {
    log.push_back("position " + name + " = " + std::to_string(position));
    if (Queue* q = Find(name)) q->position = position;
  }
  std::optional<QueueRecord> ReadRecord(const std::string& name) override {
    Queue* q = Find(name);
    if (q == nullptr || !q->opens) return std::nullopt;
    return q->record;
  }
  void SetWorkOffline(const std::string& name, bool offline) override {
    log.push_back(std::string(offline ? "offline " : "online ") + name);
    if (Queue* q = Find(name)) {
      q->record.attributes = offline ? (q->record.attributes | kAttributeWorkOffline) : (q->record.attributes & ~kAttributeWorkOffline);
    }
  }
  void ResetStatus(const std::string& name) override {
    log.push_back("reset status " + name);
    if (Queue* q = Find(name)) q->record.status = 0;
  }
};

class FakeBus final : public PrinterBus {
 public:
  struct Printer {
    std::string path;
    ConfigBlock block;
    bool silent = false;  // every read times out
  };
  std::vector<Printer> printers;
  std::vector<std::string> reads;  // device paths, in the order they were read

  void PlugSilent(const std::string& path) { printers.push_back({path, ConfigBlock{}, true}); }

  void Plug(const std::string& path, uint8_t state, uint8_t printType = 1, uint8_t resolutionClass = 0) {
    ConfigBlock block;
    block.bytes[0] = state;
    block.bytes[8] = printType;
    block.bytes[11] = resolutionClass;
    printers.push_back({path, block});
  }
  void Unplug(const std::string& path) {
    for (auto it = printers.begin(); it != printers.end(); ++it) {
      if (it->path == path) {
        printers.erase(it);
        return;
      }
    }
  }

  std::vector<std::string> CollectPrinterPaths() override {
    std::vector<std::string> paths;
    for (const Printer& p : printers) paths.push_back(p.path);
    return paths;
  }
  int GetPrinterNum() override { return static_cast<int>(printers.size()); }
  ConfigBlock GetPrinterConfig(const std::string& path) override { return ReadPrinterConfig(path).block; }
  ConfigRead ReadPrinterConfig(const std::string& path) override {
    reads.push_back(path);
    for (const Printer& p : printers) {
      if (p.path == path) return {p.silent ? ConfigBlock{} : p.block, p.silent};
    }
    return ConfigRead{};
  }
};

class RecordingSettings final : public SettingsWriter {
 public:
  std::vector<std::string> log;
  void SaveConfigBin(const std::string& queue, const ConfigBlock& block) override {
    log.push_back("bin " + queue + " type " + std::to_string(block.PrintType()));
  }
  void SyncPrinterIni(const std::string& queue, const ConfigBlock& block) override {
    log.push_back("ini " + queue + " type " + std::to_string(block.PrintType()));
  }
};
