// The check for a newer client: the download host's version file
// ("/clients/version/ie.json" on `downloadserver`) names the latest and the
// minimum suggested version, the installer's and the information page's
// addresses, and optionally a beta channel (used when `checkbetachannel` is
// on). The running version is the setting `kestroveversion`.
//
//  - A client below the minimum suggested version is offered the update on
//    every check; one below the latest only when the user asked; a user who
//    asked and runs the latest version is told so.
//  - Only http and https addresses are ever offered.
//  - Nothing leaves the check: a reply whose status is not "0" (a failed
//    connection or an HTTP error among them) is logged and, when the user
//    asked, shown; every other failure (the request layer's 403, 503 and
//    444, a reply that does not parse, a member of the wrong type) is
//    logged only.
#pragma once

#include "ie/sync/SyncContext.h"
#include "ie/sync/SyncQuestions.h"

namespace tarvex {

inline constexpr const char* kVersionCheckFailedText =
    "We were unable to connect to the server to check the version; please try again later.";
inline constexpr const char* kLatestVersionText = "You are running the lastest version of Tarvex.";

// `manual`: the user asked for the check (else it is the scheduler's, which
// the setting `skipversioncheck` turns off). The request is a GET, which
// carries no body: no status record and no manual flag go with it.
void CheckVersion(SyncContext& context, SyncQuestions& questions, bool manual);

}  // namespace tarvex
