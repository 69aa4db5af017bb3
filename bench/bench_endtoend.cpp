// Whole syncs on a real disk: a Favorites folder of real .url files in a
// folder beside this program, the sync service as a program of its own
// (tarvex-local-service) and each operation of the client in a process of
// its own, so that its time, peak memory, log growth and disk flushes are
// its alone. For each size (TARVEX_E2E_SIZES, default 10000,100000
// bookmarks) the program prints one line per operation, then the ratios of
// the largest size to its read ("ratio NAME VALUE") against their limits
// ("target NAME MAX PASS|FAIL"). It exits 0 whether or not a limit is met,
// and 1 when an operation failed: a benchmark of a failed sync measures
// nothing.
//
// `bench_endtoend --operation OP FOLDER URL MACHINE BOOKMARKS` is one
// operation on the computer kept in FOLDER; the program starts itself so.
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/NoQuestions.h"
#include "bench/Report.h"
#include "ie/sync/KestroveServer.h"
#include "ie/sync/testing/Computers.h"
#include "ie/sync/testing/SyncClient.h"
#include "nodeset/Node.h"
#include "nodeset/NodeSet.h"
#include "platform/files/FileSystem.h"
#include "platform/process/Process.h"
#include "text/Text.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUser = "bench";
constexpr const char* kPassword = "secret";
constexpr int kPerFolder = 20;  // entries of each folder
constexpr const char* kChangedUrl = "https://changed.example.com/";

// ---- The operations, one a process -----------------------------------------------

// What one operation cost, as its process tells it.
struct Cost {
  double seconds = 0;
  uint64_t logBytes = 0;  // added to the computer's log
  int64_t syncs = 0;      // disk flushes of its file operations
  double peakMiB = 0;     // the process's peak resident memory
  // The process's processor time, its start included: in its own code and
  // in the kernel's on its behalf.
  double userSeconds = 0;
  double systemSeconds = 0;
};

// The disk flushes (fsync, syncfs) the file operations through `files` have
// made so far.
int64_t FileSyncs(const FaultyFileSystem& files) {
  return files.Syncs();
}

uint64_t FileBytes(const std::string& path) {
  std::error_code ec;
  uint64_t size = fs::file_size(path, ec);
  return ec ? 0 : size;
}

// The sync status each sync operation must end with (103 uploaded, 104
// downloaded, 105 synchronized or merged); the reads have none.
const std::map<std::string, int> kExpectedStatus = {
    {"upload", 103}, {"nochange", 105}, {"onechange", 105}, {"newcomputer", 105}, {"download", 104},
};

// Runs one operation and prints "result SECONDS LOGBYTES SYNCS"; anything
// wrong goes to standard error with exit code 3.
int RunOperation(const std::string& op, const std::string& folder, const std::string& url,
                 const std::string& machine, int bookmarks) {
  testing::SyncClient pc(url, kUser, kPassword, machine, folder);
  bench::NoQuestions questions;
  pc.ask = &questions;
  // Every byte an operation logs is counted: the log is not emptied at its
  // limit meanwhile (a read of 100,000 bookmarks alone logs more than that).
  pc.bed.logger.maxBytes = UINT64_MAX;
  const std::string log = pc.bed.logger.path();
  const uint64_t logBefore = FileBytes(log);
  const int64_t syncsBefore = FileSyncs(pc.files);
  std::unique_ptr<NodeSet> read;
  int downloaded = 0;
  std::string failure;

  const auto start = std::chrono::steady_clock::now();
  try {
    if (op == "firstread" || op == "read")
      read = pc.Read();
    else if (op == "download")
      downloaded = pc.Run([](KestroveServer& s) { return s.Download(); });
    else if (kExpectedStatus.count(op))
      pc.Sync();
    else
      failure = "no operation " + op;
  } catch (const std::exception& e) {
    failure = std::string("it threw: ") + e.what();
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;

  if (failure.empty() && read) {
    std::vector<Node*> all;
    testing::Collect(*read, all);
    const auto found =
        std::count_if(all.begin(), all.end(), [](Node* n) { return n->HasAttr("url"); });
    if (found != bookmarks)
      failure = Format("the read found %d bookmarks", static_cast<int>(found));
  }
  if (failure.empty() && kExpectedStatus.count(op)) {
    const int status = pc.SyncStatus();
    if (status != kExpectedStatus.at(op) || downloaded != 0)
      failure =
          Format("it ended with syncstatus %d (expected %d)%s: %s", status, kExpectedStatus.at(op),
                 downloaded != 0 ? Format(", Download() gave %d", downloaded).c_str() : "",
                 pc.bed.settings.GetValue("errordetails", "").c_str());
  }
  if (!failure.empty()) {
    std::fprintf(stderr, "%s on %s: %s\n  (its log: %s)\n", op.c_str(), folder.c_str(),
                 failure.c_str(), log.c_str());
    return 3;
  }
  std::printf("result %.6f %llu %lld\n", took.count(),
              static_cast<unsigned long long>(FileBytes(log) - logBefore),
              static_cast<long long>(FileSyncs(pc.files) - syncsBefore));
  std::fflush(stdout);
  return 0;
}

// ---- Processes -------------------------------------------------------------------

// All a child wrote on its standard output, until it closed it.
std::string ReadAllFrom(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// Waits for `pid`: its exit code (-1 when it did not exit normally), and in
// `cost` its peak resident memory and processor time.
int WaitWithUsage(int pid, Cost* cost) {
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0)
    if (errno != EINTR) return -1;
  cost->peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;  // KiB on Linux
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  cost->userSeconds = seconds(usage.ru_utime);
  cost->systemSeconds = seconds(usage.ru_stime);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One operation in a child process of this program.
Cost RunChild(const std::string& op, const std::string& folder, const std::string& url,
              const std::string& machine, int bookmarks) {
  ProcessPipes pipes;
  pipes.fromOutput = true;
  int pid = 0;
  if (StartProcess({SelfExecutablePath(), "--operation", op, folder, url, machine,
                    std::to_string(bookmarks)},
                   &pid, pipes) != 0)
    throw std::runtime_error("could not start the process of " + op);
  const std::string out = ReadAllFrom(pipes.output);
  close(pipes.output);
  Cost cost;
  const int code = WaitWithUsage(pid, &cost);
  unsigned long long logBytes = 0;
  long long syncs = 0;
  if (code != 0 ||
      std::sscanf(out.c_str(), "result %lf %llu %lld", &cost.seconds, &logBytes, &syncs) != 3)
    throw std::runtime_error(
        Format("%s (%d bookmarks) failed: exit code %d, output \"%s\"", op, bookmarks, code, out));
  cost.logBytes = logBytes;
  cost.syncs = syncs;
  return cost;
}

// The service program, serving from the constructor on; stopped (its
// standard input closed) and reaped by Stop or at the end.
class Service {
 public:
  Service() {
    pipes_.toInput = pipes_.fromOutput = true;
    if (StartProcess({TARVEX_LOCAL_SERVICE, "--user", kUser, "--password", kPassword}, &pid_,
                     pipes_) != 0)
      throw std::runtime_error(std::string("could not start ") + TARVEX_LOCAL_SERVICE);
    char c;
    while (read(pipes_.output, &c, 1) == 1 && c != '\n') url_ += c;
    if (url_.rfind("http://", 0) != 0) {
      Stop();
      throw std::runtime_error("the service printed no address: \"" + url_ + "\"");
    }
  }
  ~Service() {
    if (pid_ > 0) Stop();
  }
  const std::string& url() const { return url_; }
  // The service's exit code.
  int Stop() {
    if (pipes_.input >= 0) close(pipes_.input);
    if (pipes_.output >= 0) close(pipes_.output);
    pipes_.input = pipes_.output = -1;
    Cost ignored;
    const int code = WaitWithUsage(pid_, &ignored);
    pid_ = 0;
    return code;
  }

 private:
  ProcessPipes pipes_;
  int pid_ = 0;
  std::string url_;
};

// ---- The Favorites folder --------------------------------------------------------

std::string BookmarkFile(const std::string& folder, int k) {
  return folder + Format("/Bookmark %d.url", k);
}

// The folder of bookmark k, below the Favorites: three levels of folders of
// kPerFolder entries, filled in order.
std::string FolderOf(int k) {
  const int leaf = k / kPerFolder, middle = leaf / kPerFolder, top = middle / kPerFolder;
  return Format("Topic %d/Section %d/Shelf %d", top, middle, leaf);
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("could not write " + path);
}

// Makes `bookmarks` .url files below `favorites` (with no ids yet, as a
// user's are); the caller settles the disk after, so that the operations do
// not pay for writing them back.
void BuildFavorites(const std::string& favorites, int bookmarks) {
  for (int k = 0; k < bookmarks; ++k) {
    const std::string folder = favorites + "/" + FolderOf(k);
    if (k % kPerFolder == 0) fs::create_directories(folder);
    WriteText(
        BookmarkFile(folder, k),
        Format("[InternetShortcut]\r\nURL=https://site%d.example.com/page/%d\r\n", k % 997, k));
  }
}

// Gives bookmark k a new address in its file, as a user's edit would.
std::string ChangeBookmark(const std::string& favorites, int k) {
  const std::string path = BookmarkFile(favorites + "/" + FolderOf(k), k);
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t at = text.find("\nURL=");
  if (at == std::string::npos) throw std::runtime_error("no address in " + path);
  const size_t end = text.find('\r', at);
  const std::string url = Format("%spage/%d", kChangedUrl, k);
  text.replace(at + 5, end - (at + 5), url);
  WriteText(path + ".new", text);
  fs::rename(path + ".new", path);
  return url;
}

// Counts the .url files below `favorites`, and those that hold `text`.
void CountBookmarks(const std::string& favorites, const std::string& text, int* files,
                    int* holding) {
  *files = *holding = 0;
  for (const auto& entry : fs::recursive_directory_iterator(favorites)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".url") continue;
    ++*files;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (body.find(text) != std::string::npos) ++*holding;
  }
}

// ---- The run ---------------------------------------------------------------------

const char* const kOperations[] = {"firstread", "read",        "upload",  "nochange",
                                   "onechange", "newcomputer", "download"};

std::vector<int> Sizes() {
  const char* given = std::getenv("TARVEX_E2E_SIZES");
  const std::string text = given && *given ? given : "10000,100000";
  std::vector<int> sizes;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(start, end - start);
    char* rest = nullptr;
    const long n = std::strtol(item.c_str(), &rest, 10);
    if (item.empty() || *rest != '\0' || n < kPerFolder || n > 10'000'000)
      throw std::invalid_argument(
          "TARVEX_E2E_SIZES: \"" + item + "\" is not a number of bookmarks from " +
          std::to_string(kPerFolder) + " to 10000000 (in \"" + text + "\")");
    sizes.push_back(static_cast<int>(n));
    start = end + 1;
  }
  std::sort(sizes.begin(), sizes.end());
  sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
  return sizes;
}

// "100k" for 100000, "1500" for 1500.
std::string SizeName(int n) {
  return n % 1000 == 0 ? Format("%dk", n / 1000) : std::to_string(n);
}

// TARVEX_E2E_KEEP set: the computers' folders are left for a look.
bool KeepWork() {
  const char* keep = std::getenv("TARVEX_E2E_KEEP");
  return keep && *keep;
}

// The folder of the work: beside this program, on the build's own disk.
std::string WorkFolder() {
  const std::string self = SelfExecutablePath();
  if (self.empty()) throw std::runtime_error("cannot find this program's own path");
  return fs::path(self).parent_path() / "endtoend-work";
}

// This disk (ext4 without a journal) gives a new file an inode that was not
// freed in the last 60 s (6 minutes while its inode table is not yet
// written), and looks at every one freed since on the way: a
// computer that writes many files just after many were replaced or deleted
// (the id written into every file by the first read, a work folder removed)
// pays for those in its own time, several times over. Another computer's
// disk has not just seen that, so before an operation that creates many
// files the bench flushes the disk and waits that long
// (TARVEX_E2E_SETTLE_SECONDS, default 61; 0 to skip).
void SettleDisk(const std::string& folder) {
  const char* given = std::getenv("TARVEX_E2E_SETTLE_SECONDS");
  const int seconds = given && *given ? std::atoi(given) : 61;
  if (FileSystem::Native().SyncFileSystem(folder) != 0)
    throw std::runtime_error("could not flush " + folder);
  if (seconds <= 0) return;
  std::printf("(the disk settles for %d s, not timed)\n", seconds);
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

// Every operation on `bookmarks` bookmarks, with a service of their own.
std::map<std::string, Cost> Measure(const std::string& work, int bookmarks) {
  const std::string base = work + "/" + std::to_string(bookmarks);
  const std::string a = base + "/computer-a", b = base + "/computer-b";
  fs::create_directories(a + "/Favorites");
  fs::create_directories(b + "/Favorites");
  const auto built = std::chrono::steady_clock::now();
  BuildFavorites(a + "/Favorites", bookmarks);
  const std::chrono::duration<double> building = std::chrono::steady_clock::now() - built;
  std::printf("%d bookmarks: the folder built in %.1f s (not timed)\n", bookmarks,
              building.count());
  std::fflush(stdout);
  SettleDisk(base);

  Service service;
  std::printf("%-8s %-12s %9s %8s %8s %9s %12s %10s\n", "size", "operation", "seconds", "user s",
              "sys s", "peak MiB", "log bytes", "file syncs");
  std::map<std::string, Cost> costs;
  std::string changed;
  for (const std::string op : kOperations) {
    const bool onB = op == "newcomputer";
    if (op == "onechange") changed = ChangeBookmark(a + "/Favorites", bookmarks / 2);
    // The first read replaced every file of A: B is another computer.
    if (onB) SettleDisk(base);
    const Cost cost =
        RunChild(op, onB ? b : a, service.url(), onB ? "computer-b" : "computer-a", bookmarks);
    costs[op] = cost;
    std::printf("%-8d %-12s %9.3f %8.3f %8.3f %9.1f %12llu %10lld\n", bookmarks, op.c_str(),
                cost.seconds, cost.userSeconds, cost.systemSeconds, cost.peakMiB,
                static_cast<unsigned long long>(cost.logBytes), static_cast<long long>(cost.syncs));
    std::fflush(stdout);
    if (onB) {
      // The new computer holds every bookmark, the changed one with its new
      // address.
      int files = 0, holding = 0;
      CountBookmarks(b + "/Favorites", "URL=" + changed + "\r\n", &files, &holding);
      if (files != bookmarks || holding != 1)
        throw std::runtime_error(Format("the new computer holds %d .url files (not %d), %d with %s",
                                        files, bookmarks, holding, changed));
    }
  }
  if (const int code = service.Stop(); code != 0)
    throw std::runtime_error(Format("the service ended with exit code %d", code));
  if (!KeepWork()) fs::remove_all(base);
  return costs;
}

struct Ratio {
  const char* name;
  double max;
  double value;
};

int Run() {
  const std::vector<int> sizes = Sizes();
  const std::string work = WorkFolder();
  fs::remove_all(work);  // what a run that was stopped left
  fs::create_directories(work);
  struct statfs disk {};
  if (statfs(work.c_str(), &disk) == 0 && disk.f_type == 0x01021994)  // TMPFS_MAGIC
    std::printf("warning: %s is on tmpfs: no disk is measured\n", work.c_str());
  std::printf("work folder %s\n", work.c_str());
  std::fflush(stdout);

  std::map<int, std::map<std::string, Cost>> costs;
  for (int n : sizes) costs[n] = Measure(work, n);
  if (KeepWork())
    std::printf("the work folder is kept (TARVEX_E2E_KEEP): %s\n", work.c_str());
  else
    fs::remove_all(work);

  const int big = sizes.back(), small = sizes.front();
  auto& top = costs[big];
  auto over = [&](const char* op) { return top[op].seconds / top["read"].seconds; };
  const std::string b = SizeName(big), s = SizeName(small);
  const std::string names[] = {"sync_nochange_vs_read_" + b, "sync_onechange_vs_read_" + b,
                               "sync_upload_vs_read_" + b,   "sync_newcomputer_vs_read_" + b,
                               "sync_peakmem_vs_read_" + b,  "sync_newcomputer_" + b + "_vs_" + s};
  const Ratio ratios[] = {
      {names[0].c_str(), 1.5, over("nochange")},
      {names[1].c_str(), 1.5, over("onechange")},
      {names[2].c_str(), 4.0, over("upload")},
      {names[3].c_str(), 5.0, over("newcomputer")},
      {names[4].c_str(), 4.0, top["newcomputer"].peakMiB / top["read"].peakMiB},
      // Linear growth with a fifth of slack: 12 for ten times the bookmarks.
      {names[5].c_str(), 1.2 * big / small,
       top["newcomputer"].seconds / costs[small]["newcomputer"].seconds},
  };
  auto value = [](const Ratio& r) { return r.value; };
  if (sizes.size() > 1) {
    bench::ReportRatios(ratios, value);
  } else {
    const Ratio alone[] = {ratios[0], ratios[1], ratios[2], ratios[3], ratios[4]};
    bench::ReportRatios(alone, value);
  }
  return 0;
}

}  // namespace
}  // namespace tarvex

int main(int argc, char** argv) {
  if (argc == 7 && std::string(argv[1]) == "--operation") {
    try {
      return tarvex::RunOperation(argv[2], argv[3], argv[4], argv[5], std::atoi(argv[6]));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s on %s: %s\n", argv[2], argv[3], e.what());
      return 3;
    }
  }
  try {
    return tarvex::Run();
  } catch (const std::exception& e) {
    std::printf("FAILED: %s\n", e.what());
    const std::string work = tarvex::WorkFolder();
    std::error_code ec;
    if (std::filesystem::exists(work, ec))
      std::printf("the work folder is left for a look: %s (the next run removes it)\n",
                  work.c_str());
    std::fflush(stdout);
    return 1;
  }
}
