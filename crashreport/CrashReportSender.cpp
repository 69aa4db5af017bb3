#include "crashreport/CrashReportSender.h"

#include <time.h>

#include <cstdio>
#include <random>

#include "platform/clock/Clock.h"
#include "platform/files/FileSystem.h"
#include "platform/http/HttpTransport.h"

namespace tarvex {
namespace {

// The largest report the sender reads into its request.
constexpr uint64_t kMaxReportBytes = 64ull << 20;

// A name or file name inside a part's quoted header value: a quote and the
// line ends are percent-encoded, as browsers send them, so no value can end
// the header early or start another.
std::string QuotedHeaderValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"')
      out += "%22";
    else if (c == '\r')
      out += "%0D";
    else if (c == '\n')
      out += "%0A";
    else
      out += c;
  }
  return out;
}

std::string RandomHex(size_t digits) {
  static const char kHex[] = "0123456789abcdef";
  std::random_device device;
  std::string out;
  for (size_t i = 0; i < digits; ++i) out += kHex[device() % 16];
  return out;
}

}  // namespace

const char* ToString(CrashReportSender::Result result) {
  switch (result) {
    case CrashReportSender::Result::Succeeded:
      return "Succeeded";
    case CrashReportSender::Result::Failed:
      return "Failed";
    case CrashReportSender::Result::Rejected:
      return "Rejected";
    case CrashReportSender::Result::Throttled:
      return "Throttled";
  }
  return "?";
}

MultipartForm BuildMultipartForm(const std::vector<std::pair<std::string, std::string>>& params,
                                 const std::string& filePart, const std::string& fileName,
                                 const std::string& fileBytes) {
  auto occurs = [&](const std::string& boundary) {
    if (fileBytes.find(boundary) != std::string::npos) return true;
    for (const auto& [name, value] : params)
      if (value.find(boundary) != std::string::npos) return true;
    return false;
  };
  std::string boundary;
  do boundary = "TarvexCrashReport" + RandomHex(24);
  while (occurs(boundary));

  MultipartForm form;
  form.contentType = "multipart/form-data; boundary=" + boundary;
  for (const auto& [name, value] : params) {
    form.body += "--" + boundary + "\r\n";
    form.body += "Content-Disposition: form-data; name=\"" + QuotedHeaderValue(name) + "\"\r\n\r\n";
    form.body += value + "\r\n";
  }
  form.body += "--" + boundary + "\r\n";
  form.body += "Content-Disposition: form-data; name=\"" + QuotedHeaderValue(filePart) +
               "\"; filename=\"" + QuotedHeaderValue(fileName) + "\"\r\n";
  form.body += "Content-Type: application/octet-stream\r\n\r\n";
  form.body += fileBytes;
  form.body += "\r\n--" + boundary + "--\r\n";
  return form;
}

CrashReportSender::CrashReportSender(std::string checkpointPath, HttpTransport& transport,
                                     Clock& clock, FileSystem& files)
    : checkpoint_(std::move(checkpointPath)), transport_(transport), clock_(clock), files_(files) {}

std::string CrashReportSender::Day(int64_t now) {
  const time_t t = static_cast<time_t>(now);
  struct tm local {};
  if (!localtime_r(&t, &local)) return "";
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  return text;
}

int CrashReportSender::SentToday() {
  std::string text;
  if (files_.ReadFile(checkpoint_, &text, 4096) != 0) return 0;
  char day[16] = {};
  int count = 0;
  if (std::sscanf(text.c_str(), "%10s %d", day, &count) != 2 || count < 0) return 0;
  return Day(clock_.Now()) == day ? count : 0;
}

CrashReportSender::Result CrashReportSender::SendCrashReport(
    const std::string& url, const std::vector<std::pair<std::string, std::string>>& params,
    const std::string& filePath, std::string* error) {
  auto fail = [&](Result result, const std::string& why) {
    if (error) *error = why;
    return result;
  };
  const int sent = SentToday();
  if (sent >= maxPerDay_)
    return fail(Result::Throttled, std::to_string(sent) + " reports sent today, the limit is " +
                                       std::to_string(maxPerDay_));

  std::string bytes;
  if (uint32_t rc = files_.ReadFile(filePath, &bytes, kMaxReportBytes))
    return fail(Result::Failed, "cannot read \"" + filePath + "\" [" + std::to_string(rc) + "]");
  const size_t slash = filePath.rfind('/');
  const std::string fileName = slash == std::string::npos ? filePath : filePath.substr(slash + 1);
  MultipartForm form = BuildMultipartForm(params, kCrashReportFilePart, fileName, bytes);

  HttpRequest request;
  request.method = "POST";
  request.url = url;
  request.headers = {{"Content-Type", form.contentType}};
  request.body = std::move(form.body);
  const HttpResult reply = transport_.Send(request);
  if (!reply.ok) return fail(Result::Failed, "no answer from " + url + ": " + reply.error);
  if (reply.status >= 400 && reply.status < 500)
    return fail(Result::Rejected,
                url + " refused the report: HTTP " + std::to_string(reply.status));
  if (reply.status != 200)
    return fail(Result::Failed, url + " answered HTTP " + std::to_string(reply.status));

  // Counted on the day the answer came: a send that took past midnight is
  // today's.
  const std::string today = Day(clock_.Now());
  const int count = SentToday() + 1;
  if (uint32_t rc = files_.WriteFileAtomic(checkpoint_, today + " " + std::to_string(count) + "\n"))
    std::fprintf(stderr, "faultsend: cannot write \"%s\" [%u]\n", checkpoint_.c_str(), rc);
  return Result::Succeeded;
}

}  // namespace tarvex
