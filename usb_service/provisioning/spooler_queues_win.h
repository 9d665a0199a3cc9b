// The provisioning pass's spooler and queue-state ports on winspool, names in the
// system code page.
#pragma once

#include "usb_service/provisioning/provisioning.h"

class SpoolerQueues final : public QueueSpooler, public QueueState {
 public:
  std::optional<std::vector<QueueRecord>> EnumerateQueues() override;
  void AddPrinterQueue(const std::string& name, const QueueTemplate& queueTemplate, uint32_t position) override;
  void DeletePrinterByName(const std::string& name) override;
  bool Rename(const std::string& from, const std::string& to) override;

  bool CanOpen(const std::string& name) override;
  std::optional<uint32_t> ReadPosition(const std::string& name) override;
  void WritePosition(const std::string& name, uint32_t position) override;
  std::optional<QueueRecord> ReadRecord(const std::string& name) override;
  void SetWorkOffline(const std::string& name, bool offline) override;
  void ResetStatus(const std::string& name) override;
};
