// A scripted presenter installed as the process's for the life of a test.
#pragma once

#include <memory>

#include "platform/win/ScriptedPresenter.h"

namespace tarvex::testing {

class ScopedScript {
 public:
  ScopedScript() : script_(std::make_shared<ScriptedPresenter>()), saved_(SetPresenter(script_)) {}
  ~ScopedScript() { SetPresenter(saved_); }
  ScopedScript(const ScopedScript&) = delete;
  ScopedScript& operator=(const ScopedScript&) = delete;

  ScriptedPresenter* operator->() const { return script_.get(); }
  ScriptedPresenter& operator*() const { return *script_; }

 private:
  std::shared_ptr<ScriptedPresenter> script_;
  std::shared_ptr<Presenter> saved_;
};

}  // namespace tarvex::testing
