#include "ie/sync/VersionCheck.h"

#include <exception>
#include <string>
#include <string_view>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/VelkException.h"
#include "text/Text.h"
#include "ie/sync/SynchronousRequest.h"
#include "nodeset/Json.h"

namespace tarvex {
namespace {

constexpr const char* kVersionPath = "/clients/version/ie.json";

// A member of the version file as text ("" when absent); a number with a
// fraction, a list or an object is refused by name.
std::string MemberText(const Json::Value& object, const char* name) {
  const Json::Value& value = object[name];
  if (!IsJsonText(value))
    throw VelkException(
        "network", kErrGeneral,
        Format("The version file's %s is not text: %s", name, WriteCompactJson(value)));
  return JsonText(value);
}

struct Offer {
  std::string page;
  std::string binary;
  std::string latest;
  std::string minimum;
};

// The beta channel replaces the installer and both versions when it names
// both; the page stays the main one.
void ApplyBetaChannel(const Json::Value& reply, Offer& offer, Logger& logger) {
  const Json::Value& channels = reply["channels"];
  if (channels.isNull()) return;
  if (!channels.isObject() || !(channels["beta"].isObject() || channels["beta"].isNull())) {
    logger.Error("The version file's beta channel is not usable: " + WriteCompactJson(channels));
    return;
  }
  const Json::Value& beta = channels["beta"];
  if (beta.isNull()) return;
  std::string binary = MemberText(beta, "binary");
  std::string version = MemberText(beta, "version");
  if (binary.empty() || version.empty()) return;
  offer.binary = binary;
  offer.latest = offer.minimum = version;
}

}  // namespace

void CheckVersion(SyncContext& context, SyncQuestions& questions, bool manual) {
  Settings& settings = context.settings;
  Logger& logger = context.logger;
  try {
    if (!manual && settings.GetBool("skipversioncheck", false)) return;
    std::string current = settings.GetValue("kestroveversion", "-1");
    SynchronousRequest request("GET", settings.GetValue("downloadserver", "") + kVersionPath, false,
                               nullptr, nullptr, false, context);
    const Json::Value& reply = request.GetResponse();

    Json::Value status = reply.isObject() ? reply["status"] : Json::Value();
    if (!IsJsonText(status) || JsonText(status) != "0") {
      logger.Error("Unable to check for update; protocol error");
      if (manual) questions.ShowMessage(kVersionCheckFailedText, kButtonOK);
      return;
    }

    Offer offer{MemberText(reply, "upgrade-page-url"), MemberText(reply, "upgrade-binary-url"),
                MemberText(reply, "latest-version"), MemberText(reply, "min-suggested-version")};
    if (settings.GetBool("checkbetachannel", false)) ApplyBetaChannel(reply, offer, logger);

    bool belowMinimum = VersionStrCmp(current, offer.minimum) < 0;
    bool belowLatest = VersionStrCmp(current, offer.latest) < 0;
    if (belowMinimum || (manual && belowLatest)) {
      // Download and Learn more open these in the browser: nothing but web
      // pages, whatever the file says.
      for (const std::string& url : {offer.binary, offer.page}) {
        if (!IsWebAddress(url)) {
          logger.Error(Format("Refused an update address that is not http or https: [%s]", url));
          if (manual) questions.ShowMessage(kVersionCheckFailedText, kButtonOK);
          return;
        }
      }
      questions.ShowUpdateAvailable(offer.latest, offer.binary, offer.page);
    } else if (manual) {
      questions.ShowMessage(kLatestVersionText, kButtonOK);
    }
  } catch (const VelkException& e) {
    logger.Error("Unhandled exception encountered while checking for available update");
    logger.Error(e.ToString());
  } catch (const std::exception& e) {
    logger.Error("Unhandled exception encountered while checking for available update");
    logger.Error(e.what());
  } catch (...) {
    logger.Error("Unhandled exception encountered while checking for available update");
  }
}

}  // namespace tarvex
