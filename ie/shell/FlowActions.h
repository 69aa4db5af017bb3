// The scheduler's actions run by the sync flow.
#pragma once

#include <memory>

#include "ie/shell/SyncScheduler.h"
#include "ie/sync/KestroveServer.h"

namespace tarvex {

class FlowActions : public SyncActions {
 public:
  explicit FlowActions(std::unique_ptr<KestroveServer> server) : server_(std::move(server)) {}
  void Synchronize() override { server_->Synchronize(); }
  int Download() override { return server_->Download(); }
  void Upload() override { server_->Upload(); }
  void MergeDownload(int direction) override { server_->MergeDownload(direction); }
  void Repair() override { server_->Repair(); }
  void WriteTabs(bool force) override { server_->WriteTabs(force); }
  void CheckVersion(bool manual) override { server_->CheckVersion(manual); }

 private:
  std::unique_ptr<KestroveServer> server_;
};

}  // namespace tarvex
