// One synchronous HTTP exchange, as the client's request object needs it: a
// method, a URL, headers in order and a body out; a status and a body back.
// The transport follows no redirect, never sends "Expect: 100-continue",
// verifies certificates and host names, bounds the time and the size of a
// reply, and percent-encodes every byte of the URL that is a control
// character, a space or not ASCII (so no line break reaches the wire).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvex {

struct HttpRequest {
  std::string method;  // "GET" or "POST"
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;  // sent in this order
  std::string body;  // sent as it is; nothing for a GET
};

struct HttpResult {
  // False when no reply came: no connection, a time-out, a reply over the
  // size limit, or a header the transport refuses (it holds a line break).
  bool ok = false;
  std::string error;  // why, when not ok
  long status = 0;    // the HTTP status code, when ok
  std::string body;
};

class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  virtual HttpResult Send(const HttpRequest& request) = 0;

  // The process-wide transport (libcurl).
  static HttpTransport& Process();
};

struct CurlOptions {
  long connectTimeoutMs = 30'000;
  long totalTimeoutMs = 300'000;
  uint64_t maxReplyBytes = 64ull << 20;
  // A file of trusted certificates; empty: the system's.
  std::string caFile;
};

class CurlTransport : public HttpTransport {
 public:
  explicit CurlTransport(CurlOptions options = {});
  HttpResult Send(const HttpRequest& request) override;

 private:
  CurlOptions options_;
};

// The URL with every byte <= 0x20, 0x7F or >= 0x80 written as "%XX".
std::string EncodeUrlForWire(std::string_view url);

// The platform's own user-agent text, which starts every User-Agent header.
std::string PlatformUserAgent();

}  // namespace tarvex
