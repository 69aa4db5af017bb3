#include "platform/http/HttpTransport.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <mutex>

namespace tarvex {
namespace {

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

// A header is only sent when it can be written as one line the way it was
// given: no line break (which would start a header or a request of the
// caller's making), no NUL (libcurl would cut the text there), and a name
// that is not empty and holds no colon.
bool HeaderIsSendable(const std::string& name, const std::string& value) {
  if (name.empty() || name.find_first_of(std::string_view(":\r\n\0", 4)) != std::string::npos) {
    return false;
  }
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

bool HasHeader(const HttpRequest& request, std::string_view wanted) {
  for (const auto& [name, value] : request.headers) {
    if (name.size() == wanted.size() &&
        std::equal(name.begin(), name.end(), wanted.begin(), [](char a, char b) {
          auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
          return lower(a) == lower(b);
        })) {
      return true;
    }
  }
  return false;
}

// The lines handed to libcurl, in the request's order. libcurl reads
// "Name:" as "drop this header" and "Name;" as "send it with no value", so an
// empty value is written the second way. Headers libcurl would add on its own
// (Expect, and Accept or Content-Type when the caller gave none) are dropped;
// a caller's Expect header never gets this far.
bool BuildHeaderList(const HttpRequest& request, HeaderList* list) {
  auto append = [&](const std::string& line) {
    curl_slist* grown = curl_slist_append(list->get(), line.c_str());
    if (grown == nullptr) return false;
    list->release();
    list->reset(grown);
    return true;
  };
  for (const auto& [name, value] : request.headers) {
    if (!append(value.empty() ? name + ";" : name + ": " + value)) return false;
  }
  if (!append("Expect:")) return false;
  if (!HasHeader(request, "Accept") && !append("Accept:")) return false;
  if (!HasHeader(request, "Content-Type") && !append("Content-Type:")) return false;
  return true;
}

struct ReplySink {
  std::string body;
  uint64_t limit = 0;
  bool overflowed = false;
};

size_t CollectReply(char* data, size_t size, size_t count, void* context) {
  auto* sink = static_cast<ReplySink*>(context);
  size_t bytes = size * count;
  if (bytes > sink->limit - sink->body.size()) {
    sink->overflowed = true;
    return 0;  // less than offered: libcurl stops with CURLE_WRITE_ERROR
  }
  sink->body.append(data, bytes);
  return bytes;
}

HttpResult Failure(std::string error) {
  HttpResult result;
  result.error = std::move(error);
  return result;
}

}  // namespace

CurlTransport::CurlTransport(CurlOptions options) : options_(std::move(options)) {}

HttpResult CurlTransport::Send(const HttpRequest& request) {
  const bool post = request.method == "POST";
  if (!post && request.method != "GET") {
    return Failure("unsupported HTTP method \"" + EncodeUrlForWire(request.method) + "\"");
  }
  for (const auto& [name, value] : request.headers) {
    if (!HeaderIsSendable(name, value)) {
      return Failure("refused header \"" + EncodeUrlForWire(name) +
                     "\": its name or value holds a line break or is malformed");
    }
  }

  // No request waits for a "100 Continue" first, whoever asks for it.
  if (HasHeader(request, "Expect")) return Failure("refused header \"Expect\": not sent");

  InitCurlOnce();
  EasyHandle easy(curl_easy_init());
  if (!easy) return Failure("curl_easy_init failed");
  HeaderList headers;
  if (!BuildHeaderList(request, &headers)) return Failure("out of memory building the headers");

  const std::string url = EncodeUrlForWire(request.url);
  ReplySink sink;
  sink.limit = options_.maxReplyBytes;
  char detail[CURL_ERROR_SIZE] = {};

  CURL* h = easy.get();
  CURLcode code = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (code == CURLE_OK) code = curl_easy_setopt(h, option, value);
  };
  set(CURLOPT_ERRORBUFFER, detail);
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_URL, url.c_str());
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  set(CURLOPT_FOLLOWLOCATION, 0L);
  set(CURLOPT_CONNECTTIMEOUT_MS, options_.connectTimeoutMs);
  set(CURLOPT_TIMEOUT_MS, options_.totalTimeoutMs);
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  if (!options_.caFile.empty()) set(CURLOPT_CAINFO, options_.caFile.c_str());
  set(CURLOPT_HTTPHEADER, headers.get());
  if (post) {
    set(CURLOPT_POST, 1L);
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    set(CURLOPT_POSTFIELDS, request.body.data());
  } else {
    set(CURLOPT_HTTPGET, 1L);
  }
  set(CURLOPT_WRITEFUNCTION, &CollectReply);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&sink));
  if (code != CURLE_OK) {
    return Failure(std::string("setting up the transfer failed: ") + curl_easy_strerror(code));
  }

  code = curl_easy_perform(h);
  if (sink.overflowed) {
    return Failure("reply larger than " + std::to_string(options_.maxReplyBytes) + " bytes");
  }
  if (code != CURLE_OK) {
    std::string error = curl_easy_strerror(code);
    if (detail[0] != '\0') error += std::string(": ") + detail;
    return Failure(error);
  }

  HttpResult result;
  result.ok = true;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.status);
  result.body = std::move(sink.body);
  return result;
}

HttpTransport& HttpTransport::Process() {
  // Never destroyed, so it stays usable while other static objects go away.
  static HttpTransport* const transport = new CurlTransport();
  return *transport;
}

std::string EncodeUrlForWire(std::string_view url) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(url.size());
  for (char c : url) {
    auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F) {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

// The client stands in for the browser's own HTTP component, and the service
// tells clients apart by this text, so it has the browser's form: a
// "compatible; MSIE" token and the engine's, with the real system named last.
std::string PlatformUserAgent() {
  return "Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.1; Trident/4.0; Linux)";
}

}  // namespace tarvex
