// The templates and controls of "Ready to Sync", "Sync Settings" and the
// conflict question, as scripts and tests address them. The dialogs are
// the scheduler's (ShowReadyToSync, AskFolderPlacementConflict,
// AskVersionConflict).
#pragma once

namespace tarvex {

// "Ready to Sync": without and with the profile selection.
inline constexpr int kReadyToSyncTemplate = 109;
inline constexpr int kReadyToSyncProfilesTemplate = 272;
inline constexpr int kReadyProfileList = 240;
inline constexpr int kReadySynchronize = 243;
inline constexpr int kReadyPlan = 244;
inline constexpr int kReadyChangeSettings = 245;
inline constexpr int kReadyWarning = 246;

// "Sync Settings": a radio button for each direction of the initial sync,
// OK and Cancel.
inline constexpr int kSyncSettingsTemplate = 113;

// "Tarvex: Sync Conflict".
inline constexpr int kConflictTemplate = 104;
inline constexpr int kConflictQuestion = 217;
inline constexpr int kConflictRetainLocal = 218;
inline constexpr int kConflictRetainServer = 219;
inline constexpr int kConflictItem = 220;
inline constexpr int kConflictLocalVersion = 221;
inline constexpr int kConflictServerVersion = 222;

}  // namespace tarvex
