#include "ie/sync/testing/FakeTransport.h"

namespace tarvex::testing {

HttpResult FakeTransport::Send(const HttpRequest& request) {
  requests.push_back(request);
  if (!replies.empty()) {
    HttpResult result = std::move(replies.front());
    replies.pop_front();
    return result;
  }
  if (handler) return handler(request);
  HttpResult none;
  none.error = "no reply queued for " + request.url;
  return none;
}

void FakeTransport::Reply(std::string body, long status) {
  HttpResult result;
  result.ok = true;
  result.status = status;
  result.body = std::move(body);
  replies.push_back(std::move(result));
}

void FakeTransport::Fail(std::string error) {
  HttpResult result;
  result.error = std::move(error);
  replies.push_back(std::move(result));
}

}  // namespace tarvex::testing
