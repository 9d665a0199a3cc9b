// The provisioning pass's spooler and queue-state ports on winspool, names in the
// system code page.
#pragma once

#include "usb_service/provisioning/provisioning.h"

// Level-2 records are read and written through a buffer of this size; a queue whose
// record needs more is left as it is.
inline constexpr size_t kRecordBufferSize = 10240;

class SpoolerQueues final : public QueueSpooler, public QueueState {
 public:
  std::optional<std::vector<QueueRecord2>> EnumerateQueues() override;
  void AddPrinterQueue(const std::string& name, const QueueTemplate& queueTemplate, uint32_t position) override;
  void DeletePrinterByName(const std::string& name) override;
  bool Rename(const std::string& from, const std::string& to) override;

  bool CanOpen(const std::string& name) override;
  std::optional<uint32_t> ReadPosition(const std::string& name) override;
  void WritePosition(const std::string& name, uint32_t position) override;
  std::optional<QueueRecord2> ReadRecord(const std::string& name) override;
  void SetWorkOffline(const std::string& name, bool offline) override;
  void ResetStatus(const std::string& name) override;
};
