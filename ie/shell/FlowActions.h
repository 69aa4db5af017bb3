// The scheduler's actions run by the sync flow.
#pragma once

#include <memory>

#include "ie/shell/SyncScheduler.h"
#include "ie/sync/KestroveServer.h"
#include "ie/sync/ServiceRequests.h"
#include "ie/sync/SyncContext.h"

namespace tarvex {

class FlowActions : public SyncActions {
 public:
  FlowActions(std::unique_ptr<KestroveServer> server, SyncContext& context, bool manual)
      : server_(std::move(server)), context_(context), manual_(manual) {}
  void Synchronize() override { server_->Synchronize(); }
  int Download() override { return server_->Download(); }
  void Upload() override { server_->Upload(); }
  void MergeDownload(int direction) override { server_->MergeDownload(direction); }
  void Repair() override { server_->Repair(); }
  void WriteTabs(bool force) override { server_->WriteTabs(force); }
  void CheckVersion(bool manual) override { server_->CheckVersion(manual); }
  Json::Value ReadTabs() override { return server_->ReadTabs(); }
  Json::Value GetStatus() override { return GetServiceStatus(context_, manual_); }
  Json::Value GetProfileNames() override { return tarvex::GetProfileNames(context_); }

 private:
  std::unique_ptr<KestroveServer> server_;
  SyncContext& context_;
  bool manual_;
};

}  // namespace tarvex
