// A transport for tests: answers from a queue of canned results (or a
// handler) and records every request.
#pragma once

#include <deque>
#include <functional>
#include <vector>

#include "platform/http/HttpTransport.h"

namespace tarvex::testing {

class FakeTransport : public HttpTransport {
 public:
  HttpResult Send(const HttpRequest& request) override;

  // Queues a reply of HTTP 200 with `body`, or of another status.
  void Reply(std::string body, long status = 200);
  // Queues a failed exchange (no reply at all).
  void Fail(std::string error = "could not connect");

  // Answers when the queue is empty; without one, an unqueued request fails.
  std::function<HttpResult(const HttpRequest&)> handler;
  std::deque<HttpResult> replies;
  std::vector<HttpRequest> requests;
};

}  // namespace tarvex::testing
