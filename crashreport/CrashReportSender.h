// Sends crash reports to the collector: one multipart/form-data POST per
// report, with a daily limit kept in a checkpoint file.
//
// The checkpoint is one line of our own, "YYYY-MM-DD COUNT" (the local day
// and the reports that day accepted), replaced through a temporary file
// beside it. A missing or unreadable checkpoint counts as none sent today.
// A send while today's count has reached the limit is Throttled and makes
// no request.
//
// The form holds the text parameters in the order given, then the file
// part "upload_file_minidump" named after the file, as
// application/octet-stream. HTTP 200 counts the report (Succeeded); 4xx is
// Rejected; no answer, a time-out or any other status is Failed. Neither of
// those counts.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tarvex {

class Clock;
class FileSystem;
class HttpTransport;

// The name of the form's file part.
inline constexpr const char* kCrashReportFilePart = "upload_file_minidump";

class CrashReportSender {
 public:
  enum class Result { Succeeded, Failed, Rejected, Throttled };

  CrashReportSender(std::string checkpointPath, HttpTransport& transport, Clock& clock,
                    FileSystem& files);

  void set_max_reports_per_day(int reports) { maxPerDay_ = reports; }

  // Posts `params` and the file at `filePath` to `url`. `*error` (may be
  // null) tells why a send was not Succeeded.
  Result SendCrashReport(const std::string& url,
                         const std::vector<std::pair<std::string, std::string>>& params,
                         const std::string& filePath, std::string* error = nullptr);

  // The reports counted today (from the checkpoint).
  int SentToday();

 private:
  // The local day of `now` as "YYYY-MM-DD".
  static std::string Day(int64_t now);

  std::string checkpoint_;
  HttpTransport& transport_;
  Clock& clock_;
  FileSystem& files_;
  int maxPerDay_ = 0;
};

const char* ToString(CrashReportSender::Result result);

// The multipart/form-data body of `params` then one file part, and its
// Content-Type (with the boundary, which occurs nowhere in the parts).
struct MultipartForm {
  std::string contentType;
  std::string body;
};
MultipartForm BuildMultipartForm(const std::vector<std::pair<std::string, std::string>>& params,
                                 const std::string& filePart, const std::string& fileName,
                                 const std::string& fileBytes);

}  // namespace tarvex
