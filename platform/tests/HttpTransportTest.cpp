#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/http/HttpTransport.h"
#include "platform/process/Process.h"
#include "platform/testing/TempDir.h"

namespace tarvex {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;
using ::testing::HasSubstr;

// Requests to the test servers must go straight to them, never to a proxy
// the environment names.
void BypassProxies() {
  setenv("no_proxy", "127.0.0.1,localhost", 1);
  setenv("NO_PROXY", "127.0.0.1,localhost", 1);
}

int LoopbackListener(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ADD_FAILURE() << "no loopback socket";
    return fd;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

// A bare socket server for what cpp-httplib hides: the bytes of the request
// head as they came, header order included, and whether anyone connected.
class RawServer {
 public:
  RawServer() {
    fd_ = LoopbackListener(&port_);
    listen(fd_, 4);
  }
  ~RawServer() {
    if (thread_.joinable()) thread_.join();
    close(fd_);
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  // Answers the next connection with a short 200 and keeps the request.
  void ServeOne() {
    thread_ = std::thread([this] {
      pollfd waiting{fd_, POLLIN, 0};
      if (poll(&waiting, 1, 2000) != 1) return;
      int conn = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      timeval limit{2, 0};
      setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      std::string got;
      char buf[4096];
      for (;;) {
        size_t end = got.find("\r\n\r\n");
        if (end != std::string::npos) {
          size_t length = 0;
          size_t at = got.find("\r\nContent-Length: ");
          if (at != std::string::npos && at < end) length = std::stoul(got.substr(at + 18));
          if (got.size() >= end + 4 + length) break;
        }
        ssize_t n = recv(conn, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
      }
      std::string_view reply =
          "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
      send(conn, reply.data(), reply.size(), MSG_NOSIGNAL);
      close(conn);
      received_ = got;
    });
  }

  // The request ServeOne kept, split into its first line and its headers.
  std::string RequestLine() {
    Finish();
    return received_.substr(0, received_.find("\r\n"));
  }
  Headers ReceivedHeaders() {
    Finish();
    Headers headers;
    size_t at = received_.find("\r\n") + 2;
    for (size_t end; (end = received_.find("\r\n", at)) != at && end != std::string::npos;
         at = end + 2) {
      std::string line = received_.substr(at, end - at);
      size_t colon = line.find(':');
      size_t value = line.find_first_not_of(' ', colon + 1);
      headers.emplace_back(line.substr(0, colon),
                           value == std::string::npos ? "" : line.substr(value));
    }
    return headers;
  }

  bool SomeoneConnected() const {
    pollfd waiting{fd_, POLLIN, 0};
    return poll(&waiting, 1, 0) == 1;
  }

 private:
  void Finish() {
    if (thread_.joinable()) thread_.join();
  }

  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::string received_;
};

class HttpTransportTest : public ::testing::Test {
 protected:
  void SetUp() override { BypassProxies(); }

  void TearDown() override {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    released_cv_.notify_all();
    server_->stop();
    if (thread_.joinable()) thread_.join();
  }

  // Starts the server once its handlers are in place.
  void Start() {
    port_ = server_->bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!server_->is_running() && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(server_->is_running());
  }

  std::string Url(const std::string& path, const std::string& scheme = "http") const {
    return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
  }

  // Blocks a handler until `limit` passes or the test ends.
  void Hold(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    released_cv_.wait_for(lock, limit, [this] { return released_; });
  }

  std::unique_ptr<httplib::Server> server_ = std::make_unique<httplib::Server>();
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable released_cv_;
  bool released_ = false;
};

TEST_F(HttpTransportTest, HeadersGoOutInTheirOrderAndCurlAddsNoneOfItsOwn) {
  struct Case {
    std::string method;
    std::string body;
    Headers headers;
  };
  const std::vector<Case> cases = {
      {"POST",
       "<request/>",
       {{"User-Agent", PlatformUserAgent()},
        {"Zeta", "1"},
        {"Content-Type", "text/xml; charset=utf-8"},
        {"Alpha", "two  words, and\tmore"},
        {"Empty", ""},
        {"Accept", "text/xml"}}},
      // No Accept, no Content-Type: libcurl must not supply them.
      {"POST", "x", {{"X-Only", "one"}}},
      {"GET", "", {{"Zeta", "z"}, {"Alpha", "a"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " with " + std::to_string(c.headers.size()) + " headers");
    RawServer raw;
    raw.ServeOne();
    CurlTransport transport;
    HttpResult result = transport.Send({c.method, raw.Url("/order"), c.headers, c.body});
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.body, "ok");
    EXPECT_EQ(raw.RequestLine(), c.method + " /order HTTP/1.1");

    // Host and, with a body, Content-Length are the only ones libcurl may add.
    Headers sent;
    std::string host, length = "(none)";
    for (auto& [name, value] : raw.ReceivedHeaders()) {
      if (name == "Host") {
        host = value;
      } else if (name == "Content-Length") {
        length = value;
      } else {
        sent.emplace_back(name, value);
      }
    }
    EXPECT_EQ(sent, c.headers);
    EXPECT_THAT(host, HasSubstr("127.0.0.1:"));
    EXPECT_EQ(length, c.method == "POST" ? std::to_string(c.body.size()) : "(none)");
  }
}

TEST_F(HttpTransportTest, UrlIsEncodedBeforeItReachesTheWire) {
  RawServer raw;
  raw.ServeOne();
  CurlTransport transport;
  HttpResult result = transport.Send(
      {"GET", raw.Url("/a b\r\nX-Injected: 1?q=\xC3\xA9&p=%41"), {{"X-Kept", "k"}}, ""});
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(raw.RequestLine(), "GET /a%20b%0D%0AX-Injected:%201?q=%C3%A9&p=%41 HTTP/1.1");
  for (auto& [name, value] : raw.ReceivedHeaders()) EXPECT_NE(name, "X-Injected");
}

TEST_F(HttpTransportTest, HeadersThatCouldBreakTheRequestAreRefusedBeforeConnecting) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"X-Bad", "v\r\nX-Injected: 1"},
      {"X-Bad", "v\n"},
      {"X-Bad", "\rv"},
      {"X-Bad\r\nX-Injected", "v"},
      {"X-Bad\n", "v"},
      {"X-Bad", std::string("v\0w", 3)},
      {"X-Bad: v", "w"},
      {"", "v"},
      {"Expect", "100-continue"},
  };
  // Short, so that a transport which does send them does not wait long for
  // the reply that never comes.
  CurlOptions options;
  options.totalTimeoutMs = 200;
  CurlTransport transport(options);
  for (const auto& header : bad) {
    SCOPED_TRACE(EncodeUrlForWire(header.first) + ": " + EncodeUrlForWire(header.second));
    RawServer raw;
    HttpResult result = transport.Send({"POST", raw.Url("/"), {{"X-Fine", "1"}, header}, "b"});
    EXPECT_FALSE(result.ok);
    if (!header.first.empty()) {
      EXPECT_THAT(result.error, HasSubstr(header.first.substr(0, 5)));
    }
    EXPECT_FALSE(raw.SomeoneConnected());
  }
}

TEST_F(HttpTransportTest, LargePostBodyArrivesWholeWithoutWaitingForContinue) {
  // Past 1 MiB, where libcurl would otherwise ask "Expect: 100-continue".
  std::string body;
  for (size_t i = 0; i < (1u << 20) + 4099; ++i) body += static_cast<char>(i * 7 % 256);
  std::string got, expect = "(none)", type;
  server_->Post("/upload", [&](const httplib::Request& req, httplib::Response& res) {
    got = req.body;
    if (req.has_header("Expect")) expect = req.get_header_value("Expect");
    type = req.get_header_value("Content-Type");
    res.set_content("stored", "text/plain");
  });
  Start();
  CurlTransport transport;
  auto begin = std::chrono::steady_clock::now();
  HttpResult result = transport.Send(
      {"POST", Url("/upload"), {{"Content-Type", "application/octet-stream"}}, body});
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.status, 200);
  EXPECT_EQ(result.body, "stored");
  EXPECT_EQ(got.size(), body.size());
  EXPECT_TRUE(got == body);
  EXPECT_EQ(expect, "(none)");
  EXPECT_EQ(type, "application/octet-stream");
  // libcurl waits a second for a "100 Continue" it asked for.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(900));
}

TEST_F(HttpTransportTest, GetSendsNoBody) {
  std::string method, body = "(unset)";
  bool framed = true;
  server_->Get("/page", [&](const httplib::Request& req, httplib::Response& res) {
    method = req.method;
    body = req.body;
    framed = req.has_header("Content-Length") || req.has_header("Transfer-Encoding");
    res.set_content("<page/>", "text/xml");
  });
  Start();
  HttpResult result = HttpTransport::Process().Send({"GET", Url("/page"), {}, "must stay home"});
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.status, 200);
  EXPECT_EQ(result.body, "<page/>");
  EXPECT_EQ(method, "GET");
  EXPECT_EQ(body, "");
  EXPECT_FALSE(framed);
}

TEST_F(HttpTransportTest, StatusesComeBackAsTheyAreAndRedirectsAreNotFollowed) {
  std::atomic<int> followed = 0;
  auto elsewhere = [&](const httplib::Request&, httplib::Response& res) {
    ++followed;
    res.set_content("followed", "text/plain");
  };
  auto status = [&](const httplib::Request& req, httplib::Response& res) {
    res.status = std::stoi(req.matches[1]);
    if (res.status / 100 == 3) res.set_header("Location", Url("/elsewhere"));
    res.set_content("status " + std::string(req.matches[1]), "text/plain");
  };
  server_->Get("/elsewhere", elsewhere).Post("/elsewhere", elsewhere);
  server_->Get(R"(/status/(\d+))", status).Post(R"(/status/(\d+))", status);
  Start();
  CurlTransport transport;
  for (long status : {404L, 500L, 302L, 301L, 307L}) {
    SCOPED_TRACE(status);
    for (const char* method : {"GET", "POST"}) {
      HttpResult result =
          transport.Send({method, Url("/status/" + std::to_string(status)), {}, ""});
      ASSERT_TRUE(result.ok) << result.error;
      EXPECT_EQ(result.status, status);
      EXPECT_EQ(result.body, "status " + std::to_string(status));
    }
  }
  EXPECT_EQ(followed, 0);
}

TEST_F(HttpTransportTest, RepliesOverTheLimitAreRefused) {
  server_->Get(R"(/bytes/(\d+))", [&](const httplib::Request& req, httplib::Response& res) {
    res.set_content(std::string(std::stoul(req.matches[1]), 'r'), "text/plain");
  });
  server_->Get("/chunked", [&](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [](size_t, httplib::DataSink& sink) {
      for (int i = 0; i < 8; ++i) sink.write(std::string(200, 'c').data(), 200);
      sink.done();
      return true;
    });
  });
  Start();
  CurlOptions options;
  options.maxReplyBytes = 1000;
  CurlTransport transport(options);
  struct Case {
    std::string path;
    bool ok;
  };
  for (const Case& c : std::vector<Case>{
           {"/bytes/0", true},
           {"/bytes/1000", true},
           {"/bytes/1001", false},
           {"/bytes/100000", false},
           {"/chunked", false},  // no length given ahead: caught while it arrives
       }) {
    SCOPED_TRACE(c.path);
    HttpResult result = transport.Send({"GET", Url(c.path), {}, ""});
    EXPECT_EQ(result.ok, c.ok) << result.error;
    if (c.ok) {
      EXPECT_EQ(result.body.size(), std::stoul(c.path.substr(7)));
    } else {
      EXPECT_EQ(result.error, "reply larger than 1000 bytes");
      EXPECT_EQ(result.body, "");
    }
  }
}

TEST_F(HttpTransportTest, SlowReplyTimesOut) {
  server_->Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
    Hold(std::chrono::milliseconds(1500));
    res.set_content("late", "text/plain");
  });
  Start();
  CurlOptions options;
  options.totalTimeoutMs = 300;
  CurlTransport transport(options);
  auto begin = std::chrono::steady_clock::now();
  HttpResult result = transport.Send({"GET", Url("/slow"), {}, ""});
  auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_FALSE(result.ok);
  EXPECT_THAT(result.error, HasSubstr("imeout"));
  EXPECT_GE(took, std::chrono::milliseconds(250));
  EXPECT_LT(took, std::chrono::milliseconds(1200));
}

TEST_F(HttpTransportTest, ClosedPortFailsQuickly) {
  int port = 0;
  close(LoopbackListener(&port));
  CurlTransport transport;
  auto begin = std::chrono::steady_clock::now();
  HttpResult result =
      transport.Send({"GET", "http://127.0.0.1:" + std::to_string(port) + "/", {}, ""});
  EXPECT_FALSE(result.ok);
  EXPECT_FALSE(result.error.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1000));
}

TEST_F(HttpTransportTest, OnlyHttpAndHttpsAreSpoken) {
  testing::TempDir dir;
  std::string file = dir / "secret";
  std::ofstream(file) << "secret\n";
  RawServer raw;
  std::string port = raw.Url("").substr(std::string("http://127.0.0.1:").size());
  // Short, so that a transport speaking one of these waits for nothing long.
  CurlOptions options;
  options.totalTimeoutMs = 500;
  CurlTransport transport(options);
  for (const std::string& url :
       {"file://" + file, "ftp://127.0.0.1:" + port + "/", "gopher://127.0.0.1:" + port + "/",
        "dict://127.0.0.1:" + port, "telnet://127.0.0.1:" + port}) {
    SCOPED_TRACE(url);
    HttpResult result = transport.Send({"GET", url, {}, ""});
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.body, "");
  }
  EXPECT_FALSE(raw.SomeoneConnected());
}

TEST(EncodeUrlForWire, EncodesControlsSpacesAndNonAsciiOnly) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"http://example.com/a/b?c=d&e=f#g", "http://example.com/a/b?c=d&e=f#g"},
      {"a b", "a%20b"},
      {"a\tb", "a%09b"},
      {"a\r\nb", "a%0D%0Ab"},
      {std::string("a\0b", 3), "a%00b"},
      {"\x1F\x7F~!", "%1F%7F~!"},
      {"caf\xC3\xA9", "caf%C3%A9"},
      {"\xFF", "%FF"},
      {"%41%2f", "%41%2f"},
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(EncodeUrlForWire(in), out) << out;
}

// Certificates are checked against the trusted ones and against the host
// name, with the system's trust or with a file of trusted certificates.
TEST_F(HttpTransportTest, CertificatesAndHostNamesAreVerified) {
  testing::TempDir dir;
  std::string cert = dir / "cert.pem", key = dir / "key.pem";
  int pid = 0;
  if (!IsOnPath("openssl") ||
      StartProcess({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", cert, "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"},
                   &pid) != 0 ||
      WaitForProcess(pid) != 0) {
    GTEST_SKIP() << "no openssl to make a certificate";
  }
  server_ = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
  server_->Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("secure", "text/plain");
  });
  Start();
  std::string port = std::to_string(port_);

  CurlOptions trusting;
  trusting.caFile = cert;
  HttpResult trusted = CurlTransport(trusting).Send({"GET", Url("/", "https"), {}, ""});
  ASSERT_TRUE(trusted.ok) << trusted.error;
  EXPECT_EQ(trusted.body, "secure");

  HttpResult unknown = CurlTransport().Send({"GET", Url("/", "https"), {}, ""});
  EXPECT_FALSE(unknown.ok);
  EXPECT_THAT(unknown.error, HasSubstr("certificate"));

  // The same trusted certificate, but made out to another name.
  HttpResult other_name =
      CurlTransport(trusting).Send({"GET", "https://localhost:" + port + "/", {}, ""});
  EXPECT_FALSE(other_name.ok);
  EXPECT_FALSE(other_name.error.empty());
}

}  // namespace
}  // namespace tarvex
