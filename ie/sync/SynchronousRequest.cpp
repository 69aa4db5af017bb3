#include "ie/sync/SynchronousRequest.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <utility>

#include "ie/foundation/Logger.h"
#include "ie/foundation/Settings.h"
#include "ie/foundation/core/VelkException.h"
#include "ie/sync/Account.h"
#include "nodeset/Json.h"
#include "platform/clock/Clock.h"
#include "platform/http/HttpTransport.h"
#include "text/Text.h"

namespace tarvex {
namespace {

constexpr std::string_view kSignInPath = "/login/signtoken";
constexpr int64_t kMaxBackoffSeconds = 7 * 24 * 3600;

// Whether the path of a URL without its scheme is the sign-in path.
bool IsSignInUrl(std::string_view url) {
  size_t slash = url.find('/');
  if (slash == std::string_view::npos) return false;
  std::string_view path = url.substr(slash);
  return path.substr(0, path.find_first_of("?#")) == kSignInPath;
}

std::string CompleteUrl(std::string url, Settings& settings) {
  if (StartsWith(url, "/")) url = settings.GetValue("server", "") + url;
  if (StartsWith(url, "http:") || StartsWith(url, "https:")) return url;
  std::string encryption = settings.GetValue("encryption", "Encrypt All");
  bool secure;
  if (encryption == "Encrypt All") {
    secure = true;
  } else if (encryption == "No Encryption") {
    secure = false;
  } else {
    secure = StartsWith(url, "login.") || StartsWith(url, "static.");
  }
  // The password hash never travels in clear, whatever the setting says.
  if (IsSignInUrl(url)) secure = true;
  return (secure ? "https://" : "http://") + url;
}

// A copy without any member whose name starts with "password", at any depth,
// for the log.
// Writes `text` as a JSON string.
void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += Format("\\u%04x", static_cast<unsigned>(c));
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

// Compact JSON of `value` without its "password..." members, written only
// until `out` reaches `bound` bytes: what the log shows of a body. Nothing
// is copied, and a tree of 100,000 bookmarks costs no more than the bound.
void AppendForLog(std::string& out, const Json::Value& value, size_t bound) {
  if (out.size() >= bound) return;
  if (value.isObject()) {
    out += '{';
    bool first = true;
    for (auto it = value.begin(); it != value.end() && out.size() < bound; ++it) {
      const std::string name = it.name();
      if (StartsWith(name, "password")) continue;
      if (!first) out += ',';
      first = false;
      AppendQuoted(out, name);
      out += ':';
      AppendForLog(out, *it, bound);
    }
    out += '}';
  } else if (value.isArray()) {
    out += '[';
    bool first = true;
    for (auto it = value.begin(); it != value.end() && out.size() < bound; ++it) {
      if (!first) out += ',';
      first = false;
      AppendForLog(out, *it, bound);
    }
    out += ']';
  } else if (value.isString()) {
    AppendQuoted(out, value.asString());
  } else {
    out += WriteCompactJson(value);
  }
}

}  // namespace

std::string LogTextOf(const Json::Value& value, size_t fullBytes, size_t bound) {
  std::string out;
  AppendForLog(out, value, bound);
  if (out.size() > bound) {
    out.resize(bound);
    out += Format("... (%d bytes in all)", static_cast<long long>(fullBytes));
  }
  return out;
}

namespace {

bool HoldsControlCharacter(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

// The back-off the service asks for, in whole seconds (saturating); throws
// when it is not a number or text.
int64_t ReadDelay(const Json::Value& value) {
  if (value.isInt64()) return value.asInt64();
  if (value.isUInt64()) return std::numeric_limits<int64_t>::max();
  if (value.isDouble()) {
    double d = value.asDouble();
    if (std::isnan(d)) return 0;
    if (d >= 9.2e18) return std::numeric_limits<int64_t>::max();
    if (d <= -9.2e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
  }
  if (IsJsonText(value)) return LeadingInt(JsonText(value));
  throw VelkException("internal", kErrGeneral, "backoff_delay is not a number");
}

Json::Value StatusReply(long status) {
  Json::Value reply(Json::objectValue);
  reply["status"] = static_cast<Json::Int64>(status);
  return reply;
}

}  // namespace

SynchronousRequest::SynchronousRequest(std::string method, std::string url, bool manual,
                                       const Json::Value* arguments, const Headers* headers,
                                       bool skipStatus, SyncContext& context)
    : context_(context),
      method_(std::move(method)),
      url_(CompleteUrl(std::move(url), context.settings)),
      skipStatus_(skipStatus),
      manual_(manual) {
  if (headers) headers_ = *headers;
  if (method_ != "GET") SetBody(arguments ? Json::Value(*arguments) : Json::Value());
  Perform();
}

SynchronousRequest::SynchronousRequest(std::string method, std::string url, bool manual,
                                       Json::Value&& arguments, SyncContext& context)
    : context_(context),
      method_(std::move(method)),
      url_(CompleteUrl(std::move(url), context.settings)),
      skipStatus_(false),
      manual_(manual) {
  if (method_ != "GET") SetBody(std::move(arguments));
  Perform();
}

void SynchronousRequest::SetBody(Json::Value&& arguments) {
  Json::Value body(Json::objectValue);
  BuildStatus(body, manual_, context_.settings);
  if (arguments.isObject())
    for (const std::string& name : arguments.getMemberNames())
      body[name] = std::move(arguments[name]);
  body_ = WriteCompactJson(body);
  cleanedBody_ = LogTextOf(body, body_.size());
}

SynchronousRequest::SynchronousRequest(const SynchronousRequest& other)
    : context_(other.context_),
      method_(other.method_),
      url_(other.url_),
      body_(other.body_),
      cleanedBody_(other.cleanedBody_),
      skipStatus_(other.skipStatus_),
      manual_(other.manual_),
      headers_(other.headers_),
      isRetry_(other.isRetry_) {
  Perform();
}

const Json::Value& SynchronousRequest::GetResponse() const {
  if (failure_) throw VelkException("network", failure_->id, failure_->message);
  return reply_;
}

Json::Value SynchronousRequest::TakeResponse() {
  GetResponse();
  return std::move(reply_);
}

void SynchronousRequest::BuildStatus(Json::Value& out, bool manual, Settings& settings) {
  if (manual) out["manual"] = true;
  int32_t failures = settings.GetInt("failurecount", 0);
  if (failures > 0) out["retry"] = failures;
  if (settings.HasValue("machineid")) out["log"]["mid"] = settings.GetValue("machineid", "0");
  if (settings.HasValue("view")) out["view"] = settings.GetInt("view", 0);
}

void SynchronousRequest::Perform() {
  reply_ = Json::Value();
  failure_.reset();

  HttpRequest request;
  request.method = method_;
  request.url = url_;
  request.headers.emplace_back("User-Agent",
                               PlatformUserAgent() + " " + context_.settings.GetUserAgent(false));
  request.headers.emplace_back("If-Modified-Since", "Fri, 14 Dec 1979 00:00:00 GMT");
  if (!body_.empty())
    request.headers.emplace_back("Content-Type", "application/json; charset=utf-8");
  const std::string& token = context_.account.GetToken();
  if (!token.empty()) {
    request.headers.emplace_back("Authorization", token);
    request.headers.emplace_back("X-Tarvex-Auth", token);
  }
  request.headers.insert(request.headers.end(), headers_.begin(), headers_.end());
  request.body = body_;
  context_.logger.Log("New SyncRequest Initialized [" + method_ + "]: " + url_ +
                      " (cleaned body: " + cleanedBody_ + ")");

  HttpResult result;
  try {
    result = context_.transport.Send(request);
  } catch (const std::exception& e) {
    context_.logger.Error(Format("Unknown exception while sending request: %s", e.what()));
    result = HttpResult{};
  }
  if (!result.ok) {
    if (!result.error.empty())
      context_.logger.Error(Format("Error while sending request: %s", result.error));
    reply_ = StatusReply(-1);
    return;
  }

  try {
    OnReply(result.status, result.body);
  } catch (const VelkException& e) {
    failure_ = Failure{e.id(), e.message()};
  } catch (...) {
    failure_ = Failure{kErrSyncGaveUp, "Unexpected exception during sync"};
  }
}

void SynchronousRequest::OnReply(long httpStatus, const std::string& text) {
  if (httpStatus != 200) {
    reply_ = StatusReply(httpStatus);
    return;
  }

  // Read in place: a large reply is never copied.
  Json::Value& reply = reply_;
  std::string error;
  if (!ParseJson(text, &reply, &error))
    throw VelkException(
        "network", kErrGeneral,
        Format("Couldn't parse response body from server: %s",
               text.size() <= kLogBodyBytes
                   ? text
                   : text.substr(0, kLogBodyBytes) +
                         Format("... (%d bytes in all)", static_cast<long long>(text.size()))));

  if (reply.isObject() && reply.isMember("auth")) {
    const Json::Value& auth = std::as_const(reply)["auth"];
    std::string token = IsJsonText(auth) ? JsonText(auth) : std::string();
    if (HoldsControlCharacter(token)) {
      context_.logger.Error("Refused a token from the server that holds a control character");
    } else if (!token.empty()) {
      context_.account.SetToken(token);
    }
    reply.removeMember("auth");
  }
  context_.logger.Log("Cleaned SyncRequest response from server: " + LogTextOf(reply, text.size()));
  if (skipStatus_) return;

  Json::Value status = reply.isObject() ? std::as_const(reply)["status"] : Json::Value();
  if (!IsJsonText(status))
    throw VelkException("network", kErrGeneral, "Couldn't parse response status");
  std::string code = JsonText(status);

  if (code == "302") {
    // One re-sign-in per request: the repeated request keeps a second 302.
    if (isRetry_) return;
    isRetry_ = true;
    std::string previousUser = context_.settings.GetValue("userhash", "");
    // False only when the user declined: the 302 stays, and the caller
    // counts it as cancelled. A sign-in request that failed throws, and this
    // request fails with it (Perform records it), so that a failure is never
    // taken for the user's cancel.
    if (!context_.account.SignIn(false)) return;
    if (!previousUser.empty() && previousUser != context_.account.GetUserHash()) {
      // Another user signed in: this request belongs to the previous one, so
      // it stays unanswered (the sync counts it as cancelled).
      context_.logger.Log("Signed in as another user; the request is not repeated");
      return;
    }
    SynchronousRequest retry(*this);
    reply_ = std::move(retry.reply_);
    failure_ = std::move(retry.failure_);
  } else if (code == "403") {
    const Json::Value& url = std::as_const(reply)["url"];
    std::string page = IsJsonText(url) ? JsonText(url) : std::string();
    if (!IsWebAddress(page)) {
      page = context_.settings.GetValue("webserver", "");
      if (!IsWebAddress(page, false)) page = "https://" + page;
    }
    throw VelkException("network", kErrServer403, page);
  } else if (code == "503") {
    int64_t delay = 0;
    try {
      delay = std::clamp<int64_t>(ReadDelay(std::as_const(reply)["backoff_delay"]), 0,
                                  kMaxBackoffSeconds);
      context_.settings.SetInt64("backoffuntil", context_.clock.Now() + delay, false);
    } catch (...) {
      throw VelkException("network", kErrServer503,
                          "Server 503 and exception during backoff delay");
    }
    throw VelkException("network", kErrServer503,
                        Format("Server 503: wants us to back off for %d seconds", delay));
  } else if (code == "444") {
    throw VelkException("network", kErrServer444,
                        "Server 444; servers are missing data for current user.");
  }
}

}  // namespace tarvex
