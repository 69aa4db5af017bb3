#include "nodeset/Engine.h"

#include <stdexcept>

namespace tarvex {

EngineFlavor EngineFlavor::Windows() { return EngineFlavor{}; }

EngineFlavor EngineFlavor::Mac() {
  EngineFlavor f;
  f.name = "mac";
  f.tagsAsJsonArray = false;
  f.insertExisting = InsertExisting::ThrowOnConflict;
  f.logHandlerStarts = false;
  f.logHashes = true;
  f.checkBaselineUser = false;
  f.fileLineEnd = "\n";
  return f;
}

Engine& Engine::Current() {
  static Engine* engine = new Engine;
  return *engine;
}

EnginePlatform& Engine::Platform() const {
  if (!platform) throw std::logic_error("the bookmark engine has no platform installed");
  return *platform;
}

ScopedEngine::ScopedEngine(const EngineFlavor& flavor, EnginePlatform& platform)
    : saved_(Engine::Current()) {
  Engine::Current().flavor = flavor;
  Engine::Current().platform = &platform;
}

ScopedEngine::~ScopedEngine() { Engine::Current() = saved_; }

void Fail(ErrorKind kind, const std::string& message) {
  Engine::Current().Platform().Raise(kind, message);
  // A platform must throw; should one return, the error is not lost.
  throw std::logic_error(message);
}

bool InfoOn() { return Engine::Current().Platform().InfoEnabled(); }
void LogInfo(std::string_view text) { Engine::Current().Platform().Info(text); }
void LogError(std::string_view text) { Engine::Current().Platform().Error(text); }

}  // namespace tarvex
