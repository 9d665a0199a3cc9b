// One provisioning pass: one print queue per enabled label printer, numbered by
// its persistent Position and named after one base name.
#pragma once

#include "common/print_queue.h"
#include "common/settings_store.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct QueueTemplate {
  std::string printerName;  // base name
  std::string driverName;   // marks the maker's queues; driver of new ones
  std::string printerPort;
};

inline constexpr size_t kMaxDevices = 10;
inline constexpr size_t kMaxQueues = 256;

// One configuration read: the block, and whether the printer let the read time out.
struct ConfigRead {
  ConfigBlock block;
  bool timedOut = false;  // no answer in time; the block is zero
};

// The connected label printers (USB printer interfaces of the maker).
struct PrinterBus {
  virtual ~PrinterBus() = default;
  virtual std::vector<std::string> CollectPrinterPaths() = 0;  // at most kMaxDevices, in enumeration order
  virtual int GetPrinterNum() = 0;
  virtual ConfigBlock GetPrinterConfig(const std::string& devicePath) = 0;  // empty path: a zero block
  // What the pass calls: a bus whose reads cannot time out need not say more.
  virtual ConfigRead ReadPrinterConfig(const std::string& devicePath) { return {GetPrinterConfig(devicePath), false}; }
};

// The spooler's queues as the pass changes them.
struct QueueSpooler {
  virtual ~QueueSpooler() = default;
  virtual std::optional<std::vector<QueueRecord>> EnumerateQueues() = 0;  // nullopt: the pass ends
  // Adds the queue and, when that worked, sets its Position.
  virtual void AddPrinterQueue(const std::string& name, const QueueTemplate& queueTemplate, uint32_t position) = 0;
  virtual void DeletePrinterByName(const std::string& name) = 0;
  // Sets printer and share name through the level-2 record; false when refused.
  virtual bool Rename(const std::string& from, const std::string& to) = 0;
};

// What the pass reads and sets on one queue; every call opens it anew and fails
// when it cannot be opened.
struct QueueState {
  virtual ~QueueState() = default;
  virtual bool CanOpen(const std::string& name) = 0;
  virtual std::optional<uint32_t> ReadPosition(const std::string& name) = 0;
  virtual void WritePosition(const std::string& name, uint32_t position) = 0;
  // Level-2 record: attributes and status as they are now.
  virtual std::optional<QueueRecord> ReadRecord(const std::string& name) = 0;
  virtual void SetWorkOffline(const std::string& name, bool offline) = 0;
  virtual void ResetStatus(const std::string& name) = 0;
};

struct SettingsWriter {
  virtual ~SettingsWriter() = default;
  virtual void SaveConfigBin(const std::string& queueName, const ConfigBlock& block) = 0;
  virtual void SyncPrinterIni(const std::string& queueName, const ConfigBlock& block) = 0;
};

struct ProvisioningPorts {
  PrinterBus& bus;
  QueueSpooler& spooler;
  QueueState& state;
  SettingsWriter& settings;
};

// "%s" for index 0, "%s #%d" otherwise.
std::string QueueName(const std::string& baseName, int index);

void ProvisionPrintersWith(ProvisioningPorts& ports, const QueueTemplate& queueTemplate);
