// Inputs for the coder's tests and benchmark, made from a seed: the same seed
// gives the same bytes everywhere.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace tarvex::testing {

using Bytes = std::vector<uint8_t>;

// Lines as the client's log writes them: time stamps, levels, a small
// vocabulary, request numbers, addresses and sizes.
inline Bytes LogText(uint64_t seed, size_t size) {
  static const char* const kWords[] = {
      "sync",    "request", "reply",   "bookmark", "folder", "Favorites", "profile", "token",
      "command", "insert",  "modify",  "delete",   "move",   "baseline",  "written", "read",
      "service", "status",  "changes", "tray",     "icon",   "window",    "timer",   "started",
      "ended",   "with",    "for",     "the",      "of",     "in",        "to",      "and"};
  static const char* const kLevels[] = {"INFO", "DEBUG", "WARN", "ERROR"};
  static const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  std::mt19937_64 rng(seed);
  Bytes out;
  out.reserve(size + 256);
  int64_t t = 1765000000;
  char line[512];
  while (out.size() < size) {
    t += rng() % 3;
    int n = std::snprintf(line, sizeof line, "%s Dec %02d %02d:%02d:%02d 2026 [%s] (%u) ",
                          kDays[(t / 86400) % 7], int((t / 86400) % 28 + 1), int((t / 3600) % 24),
                          int((t / 60) % 60), int(t % 60), kLevels[rng() % 8 < 6 ? 0 : rng() % 4],
                          unsigned(1000 + rng() % 8));
    out.insert(out.end(), line, line + n);
    int words = 3 + int(rng() % 12);
    for (int w = 0; w < words; ++w) {
      switch (rng() % 10) {
        case 0:
          n = std::snprintf(line, sizeof line, "%llu ", (unsigned long long)(rng() % 100000));
          break;
        case 1:
          n = std::snprintf(line, sizeof line, "https://sync.example.com/api/%s/%llx ",
                            kWords[rng() % 32], (unsigned long long)(rng() % 0xFFFFFF));
          break;
        default:
          n = std::snprintf(line, sizeof line, "%s ", kWords[rng() % 32]);
      }
      out.insert(out.end(), line, line + n);
    }
    out.back() = '\r';
    out.push_back('\n');
  }
  out.resize(size);
  return out;
}

// What a memory dump looks like: zero pages, tables of pointers into a few
// regions, repeated small records, module names, and stretches of noise.
inline Bytes DumpLike(uint64_t seed, size_t size) {
  std::mt19937_64 rng(seed);
  Bytes out;
  out.reserve(size + 8192);
  const uint64_t bases[] = {0x00007ff6a1200000ull, 0x00007ffb3c000000ull, 0x0000020f41a00000ull};
  while (out.size() < size) {
    size_t len = 64 + rng() % 4096;
    switch (rng() % 6) {
      case 0:
        out.insert(out.end(), len, uint8_t{0});
        break;
      case 1:
        for (size_t i = 0; i < len / 8; ++i) {
          uint64_t v = bases[rng() % 3] + (rng() % 0x40000) * 8;
          for (int b = 0; b < 8; ++b) out.push_back(uint8_t(v >> (8 * b)));
        }
        break;
      case 2: {
        uint8_t record[24];
        for (auto& b : record) b = uint8_t(rng() % 4 == 0 ? rng() : 0);
        for (size_t i = 0; i < len / 24; ++i) {
          record[0] = uint8_t(i);
          out.insert(out.end(), record, record + 24);
        }
        break;
      }
      case 3: {
        static const char* const kNames[] = {"C:\\Windows\\System32\\ntdll.dll",
                                             "C:\\Program Files\\Tarvex\\tarvexsync.exe",
                                             "KERNEL32.DLL", "user32.dll", "wininet.dll"};
        for (size_t i = 0; i < len / 32; ++i) {
          const char* name = kNames[rng() % 5];
          for (const char* c = name; *c; ++c) {
            out.push_back(uint8_t(*c));
            out.push_back(0);  // UTF-16
          }
        }
        break;
      }
      default:
        for (size_t i = 0; i < len; ++i) out.push_back(uint8_t(rng()));
    }
  }
  out.resize(size);
  return out;
}

}  // namespace tarvex::testing
