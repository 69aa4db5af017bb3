// One HTTP request to a server of the service, performed while the object is
// built, holding the parsed JSON reply.
//
//  - URL: a path starting with "/" gets the setting `server` in front; a URL
//    without "http:"/"https:" gets the scheme the setting `encryption` gives
//    ("Encrypt All": https; "No Encryption": http; otherwise https for hosts
//    starting "login." or "static.", http for the rest); the sign-in path
//    "/login/signtoken" always gets https when the scheme is chosen here.
//  - Body: the status record (`manual`, `retry`, `log.mid`, `view`, each
//    when it applies) with the arguments set over it, as compact JSON; a GET
//    sends no body. The log shows the body without any member whose name
//    starts with "password".
//  - Headers, in order: User-Agent, If-Modified-Since, Content-Type (when
//    there is a body), Authorization and X-Tarvex-Auth (when the account
//    holds a token), then the extra headers.
//  - Reply: an HTTP status other than 200 gives {"status": code}; no reply at
//    all gives {"status": -1}. A 200 reply must be JSON; its `auth` becomes
//    the account's token (refused when it holds a control character). Unless
//    `skipStatus`, its `status` (as text) is acted on: "302" signs in again
//    once and repeats the request once (not when another user signed in);
//    when the user declines to sign in the 302 stays the reply (a cancel),
//    while a sign-in request that fails is this request's failure; "403",
//    "503" (back off for `backoff_delay` seconds, clamped to 0..7 days) and
//    "444" are failures.
//  - Failures are kept apart from the reply and thrown by GetResponse as
//    VelkException("network", id, message).
#pragma once

#include <json/json.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ie/sync/SyncContext.h"

namespace tarvex {

// How much of a request's or reply's body the log shows.
inline constexpr size_t kLogBodyBytes = 4096;

// What the log shows of a JSON body: compact JSON without any "password..."
// member, cut after `bound` bytes and then followed by the body's full size
// (`fullBytes`). Costs no more than the bound, whatever the body's size.
std::string LogTextOf(const Json::Value& value, size_t fullBytes, size_t bound = kLogBodyBytes);

class SynchronousRequest {
 public:
  using Headers = std::vector<std::pair<std::string, std::string>>;

  SynchronousRequest(std::string method, std::string url, bool manual,
                     const Json::Value* arguments = nullptr, const Headers* headers = nullptr,
                     bool skipStatus = false, SyncContext& context = SyncContext::Process());
  // The same with `arguments` taken over: a large body is never copied.
  SynchronousRequest(std::string method, std::string url, bool manual, Json::Value&& arguments,
                     SyncContext& context);
  // Performs the same request again (same method, URL, body, flags and
  // headers).
  SynchronousRequest(const SynchronousRequest& other);
  SynchronousRequest& operator=(const SynchronousRequest&) = delete;

  // The reply; throws the recorded failure, if any.
  const Json::Value& GetResponse() const;
  // The same, moved out of the request.
  Json::Value TakeResponse();

  // The status record of every request body.
  static void BuildStatus(Json::Value& out, bool manual, Settings& settings);

  const std::string& url() const { return url_; }
  const std::string& body() const { return body_; }

 private:
  struct Failure {
    int32_t id;
    std::string message;
  };
  // The body: the status record with `arguments`' members over it.
  void SetBody(Json::Value&& arguments);
  void Perform();
  void OnReply(long httpStatus, const std::string& text);

  SyncContext& context_;
  std::string method_;
  std::string url_;
  std::string body_;
  std::string cleanedBody_;
  bool skipStatus_;
  bool manual_;
  Headers headers_;
  // A request repeated after a re-sign-in does not sign in again.
  bool isRetry_ = false;
  Json::Value reply_;
  std::optional<Failure> failure_;
};

}  // namespace tarvex
