// The sync's questions for benchmarks, where none is expected: one asked
// stops the run with what it was.
#pragma once

#include <stdexcept>
#include <string>

#include "ie/sync/SyncQuestions.h"
#include "nodeset/Node.h"

namespace tarvex::bench {

class NoQuestions : public SyncQuestions {
 public:
  [[noreturn]] static void Unexpected(const std::string& what) {
    throw std::runtime_error("unexpected question: " + what);
  }
  int ShowMessage(const std::string& text, int, int, int) override {
    Unexpected("message " + text);
  }
  void ShowUpdateAvailable(const std::string&, const std::string&, const std::string&) override {
    Unexpected("update");
  }
  int AskSyncFileRestored() override { Unexpected("file restored"); }
  std::string AskFolderPlacementConflict(const Node&, const Node&, const Node&) override {
    Unexpected("folder placement");
  }
  std::string AskVersionConflict(const Node&, const Node&) override { Unexpected("version"); }
  bool AskYesNo(const std::string&, const std::string&) override { Unexpected("yes/no"); }
};

}  // namespace tarvex::bench
