#include "platform/win/CrashHook.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <sstream>

#include "platform/Win32Error.h"
#include "platform/files/FileSystem.h"

extern char** environ;

namespace tarvex {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kPathBytes = 4096;
constexpr size_t kStackBytes = 64 * 1024;  // at most this much of the crashed stack

// All of it made at install time.
struct Prepared {
  char dumpPath[kPathBytes] = {};
  char reporter[kPathBytes] = {};
  char* argv[3] = {};
  bool report = false;
};
Prepared prepared;
std::atomic<bool> crashed{false};
char altStack[64 * 1024];

// write() as the system call itself: the stack's bytes are copied as they
// are, past any checking of the memory they lie in.
ssize_t RawWrite(int fd, const void* data, size_t size) {
  return static_cast<ssize_t>(::syscall(SYS_write, fd, data, size));
}

// Appends to a fixed buffer, never past its end.
struct Line {
  char text[256];
  size_t size = 0;
  void Add(const char* s) {
    while (*s && size < sizeof text) text[size++] = *s++;
  }
  void Hex(uint64_t v) {
    Add("0x");
    char digits[16];
    int n = 0;
    do {
      digits[n++] = "0123456789abcdef"[v & 15];
      v >>= 4;
    } while (v != 0);
    while (n > 0 && size < sizeof text) text[size++] = digits[--n];
  }
  void Dec(int64_t v) {
    if (v < 0) {
      Add("-");
      v = -v;
    }
    char digits[20];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (n > 0 && size < sizeof text) text[size++] = digits[--n];
  }
  bool WriteTo(int fd) {
    Add("\n");
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::write(fd, text + done, size - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    size = 0;
    return true;
  }
};

bool WriteRegister(int fd, const char* name, uint64_t value) {
  Line line;
  line.Add("register ");
  line.Add(name);
  line.Add(" ");
  line.Hex(value);
  return line.WriteTo(fd);
}

bool WriteDump(int fd, int sig, const siginfo_t* info, const ucontext_t* context) {
  Line line;
  line.Add("TARVEX-CRASH-DUMP 1");
  if (!line.WriteTo(fd)) return false;
  line.Add("signal ");
  line.Dec(sig);
  if (!line.WriteTo(fd)) return false;
  line.Add("code ");
  line.Dec(info ? info->si_code : 0);
  if (!line.WriteTo(fd)) return false;
  line.Add("address ");
  line.Hex(info ? reinterpret_cast<uintptr_t>(info->si_addr) : 0);
  if (!line.WriteTo(fd)) return false;
  line.Add("pid ");
  line.Dec(::getpid());
  if (!line.WriteTo(fd)) return false;

  uintptr_t sp = 0;
#if defined(__x86_64__)
  if (context) {
    const greg_t* r = context->uc_mcontext.gregs;
    static const struct {
      const char* name;
      int index;
    } kRegisters[] = {{"rip", REG_RIP}, {"rsp", REG_RSP},   {"rbp", REG_RBP}, {"rax", REG_RAX},
                      {"rbx", REG_RBX}, {"rcx", REG_RCX},   {"rdx", REG_RDX}, {"rsi", REG_RSI},
                      {"rdi", REG_RDI}, {"r8", REG_R8},     {"r9", REG_R9},   {"r10", REG_R10},
                      {"r11", REG_R11}, {"r12", REG_R12},   {"r13", REG_R13}, {"r14", REG_R14},
                      {"r15", REG_R15}, {"eflags", REG_EFL}};
    for (const auto& reg : kRegisters)
      if (!WriteRegister(fd, reg.name, static_cast<uint64_t>(r[reg.index]))) return false;
    sp = static_cast<uintptr_t>(r[REG_RSP]);
  }
#elif defined(__aarch64__)
  if (context) {
    if (!WriteRegister(fd, "pc", context->uc_mcontext.pc)) return false;
    if (!WriteRegister(fd, "sp", context->uc_mcontext.sp)) return false;
    sp = static_cast<uintptr_t>(context->uc_mcontext.sp);
  }
#else
  (void)context;
#endif
  // The stack from its pointer up, a page at a time: write() of memory
  // that is not mapped fails with EFAULT instead of faulting, so the copy
  // stops where the stack ends.
  size_t bytes = 0;
  if (sp != 0) {
    const uintptr_t page = 4096;
    uintptr_t end = (sp + page) & ~(page - 1);
    // How much can be read, found by writing to a pipe that is thrown away.
    int probe[2];
    if (::pipe(probe) == 0) {
      uintptr_t at = sp;
      while (bytes < kStackBytes) {
        const size_t chunk = static_cast<size_t>(end - at);
        if (RawWrite(probe[1], reinterpret_cast<const void*>(at), chunk) !=
            static_cast<ssize_t>(chunk))
          break;
        char sink[4096];
        ssize_t left = static_cast<ssize_t>(chunk);
        while (left > 0) {
          const ssize_t n = ::read(probe[0], sink, sizeof sink);
          if (n <= 0) break;
          left -= n;
        }
        bytes += chunk;
        at = end;
        end += page;
      }
      ::close(probe[0]);
      ::close(probe[1]);
    }
  }
  if (bytes > kStackBytes) bytes = kStackBytes;
  line.Add("stack ");
  line.Hex(sp);
  line.Add(" ");
  line.Dec(static_cast<int64_t>(bytes));
  if (!line.WriteTo(fd)) return false;
  size_t done = 0;
  while (done < bytes) {
    const ssize_t n = RawWrite(fd, reinterpret_cast<const char*>(sp) + done, bytes - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Restore(int sig) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(sig, &action, nullptr);
}

void OnCrash(int sig, siginfo_t* info, void* context) {
  if (!crashed.exchange(true)) {
    const int fd =
        ::open(prepared.dumpPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool written = false;
    if (fd >= 0) {
      written = WriteDump(fd, sig, info, static_cast<const ucontext_t*>(context));
      written = ::close(fd) == 0 && written;
    }
    if (written && prepared.report) {
      const pid_t child = ::fork();
      if (child == 0) {
        ::execve(prepared.reporter, prepared.argv, environ);
        ::_exit(127);
      }
    }
  }
  // The crash goes on as it would have: a fault comes back when the
  // handler returns, a raised signal is raised again.
  Restore(sig);
  if (info == nullptr || info->si_code <= 0) ::raise(sig);
}

bool Copy(const std::string& from, char* to) {
  if (from.size() + 1 > kPathBytes) return false;
  std::memcpy(to, from.c_str(), from.size() + 1);
  return true;
}

}  // namespace

uint32_t InstallCrashHook(const std::string& dumpDir, const std::string& reporter) {
  unsigned char random[16];
  if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
    return Win32FromErrno(errno);
  std::string id;
  for (unsigned char b : random) {
    id += "0123456789abcdef"[b >> 4];
    id += "0123456789abcdef"[b & 15];
  }
  struct stat st {};
  if (::stat(dumpDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return win32::ERROR_PATH_NOT_FOUND;
  if (!Copy(dumpDir + "/" + id + ".dmp", prepared.dumpPath) || !Copy(reporter, prepared.reporter))
    return win32::ERROR_FILENAME_EXCED_RANGE;
  prepared.report = !reporter.empty();
  prepared.argv[0] = prepared.reporter;
  prepared.argv[1] = prepared.dumpPath;
  prepared.argv[2] = nullptr;

  stack_t stack{};
  stack.ss_sp = altStack;
  stack.ss_size = sizeof altStack;
  if (::sigaltstack(&stack, nullptr) != 0) return Win32FromErrno(errno);
  for (int sig : kSignals) {
    struct sigaction action {};
    action.sa_sigaction = OnCrash;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    if (::sigaction(sig, &action, nullptr) != 0) return Win32FromErrno(errno);
  }
  std::set_terminate([] { std::abort(); });
  return win32::ERROR_SUCCESS;
}

std::string CrashDumpPath() {
  return prepared.dumpPath;
}

bool ReadCrashDump(const std::string& text, CrashDump* dump, std::string* error) {
  *dump = CrashDump();
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != "TARVEX-CRASH-DUMP 1") {
    *error = "not a crash dump of ours: " + line.substr(0, 40);
    return false;
  }
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    if (key == "signal") {
      fields >> dump->signal;
    } else if (key == "code") {
      fields >> dump->code;
    } else if (key == "address") {
      fields >> std::hex >> dump->address;
    } else if (key == "pid") {
      fields >> dump->pid;
    } else if (key == "register") {
      std::string name;
      uint64_t value = 0;
      fields >> name >> std::hex >> value;
      dump->registers[name] = value;
    } else if (key == "stack") {
      size_t bytes = 0;
      fields >> std::hex >> dump->stackAddress >> std::dec >> bytes;
      const size_t at = static_cast<size_t>(in.tellg());
      if (!fields || at + bytes > text.size()) {
        *error = "the stack's bytes are cut short";
        return false;
      }
      dump->stack = text.substr(at, bytes);
      return true;
    } else {
      *error = "unknown line in crash dump: " + line.substr(0, 40);
      return false;
    }
    if (!fields) {
      *error = "unreadable line in crash dump: " + line.substr(0, 40);
      return false;
    }
  }
  *error = "the crash dump has no stack";
  return false;
}

}  // namespace tarvex
