// Locating the client's program file.
#pragma once

#include <string>
#include <string_view>

#include "ie/foundation/core/UserInteraction.h"
#include "platform/files/FileSystem.h"
#include "platform/registry/Registry.h"

namespace tarvex {

// The first existing file among: the registry value `appdir` joined with the
// program name (skipped when `appdir` is empty), `folderHint` joined with it,
// and Program Files/Tarvex/<program>. Otherwise the user is told and asked to
// locate the program; the folder of the picked file is stored as `appdir`
// and the pick returned. "" when the user cancels.
std::string FindSyncExecutable(std::string_view folderHint,
                               Registry& registry = Registry::Process(),
                               FileSystem& fs = FileSystem::Native(),
                               UserInteraction& ui = UserInteraction::Process());

}  // namespace tarvex
