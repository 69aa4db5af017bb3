// The scheduler's actions run by the sync flow.
#pragma once

#include <memory>
#include <string>

#include "ie/shell/SyncScheduler.h"
#include "ie/sync/ClientServices.h"
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

// The scheduler's environment as the program has it: the services' settings,
// log, clock, message box, opener and account, the sync flow over them, the
// program's tray, and the folder of the named mutexes and events.
inline SchedulerEnvironment ProgramSchedulerEnvironment(ClientServices& services, SystemTray& tray,
                                                        std::string runtimeDir) {
  return SchedulerEnvironment{
      services.settings(), services.logger(), services.clock(), services.prompt(),
      services.opener(), tray,
      [&services](bool manual) {
        return std::make_unique<FlowActions>(services.MakeServer(manual), services.context(),
                                             manual);
      },
      &services.account(), std::move(runtimeDir)};
}

}  // namespace tarvex
