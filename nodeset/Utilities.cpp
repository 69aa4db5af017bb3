// Node ids, file names of nodes, and the attributes that count as a change.
#include "nodeset/Utilities.h"

#include <atomic>
#include <chrono>
#include <mutex>

#include "text/Text.h"

namespace tarvex {
namespace {

// One counter for the whole process. It is seeded once: from the clock on
// the first id, or by SeedNodeIdCounter, whichever comes first; a wrap to 0
// never seeds it again.
std::atomic<uint32_t> gNodeIdCounter{0};
std::once_flag gNodeIdSeeded;

uint32_t ClockSeed() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds);
  // Microseconds since 1970 at millisecond resolution, modulo 2^32.
  const uint64_t value = static_cast<uint64_t>(seconds.count()) * 1000000u +
                         static_cast<uint64_t>(millis.count()) * 1000u;
  return static_cast<uint32_t>(value);
}

constexpr size_t kMaxFileNameUnits = 70;

std::string Placeholder(std::string_view ntype, char32_t filler) {
  if (ntype == "folder") return "[unnamed]";
  if (ntype == "separator") return "---";
  std::string out;
  AppendUtf8(out, filler);
  return out;
}

bool IsForbiddenInFileName(char c) {
  // Every character here is ASCII, so removing single bytes never touches a
  // byte of a multi-byte UTF-8 sequence.
  switch (c) {
    case '\\':
    case '/':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|':
      return true;
    default:
      // NUL and the control characters U+0001..U+001F (LF and CR included).
      return static_cast<unsigned char>(c) < 0x20;
  }
}

// Drops white space at both ends and full stops at the end, until neither
// is left at the end ("a. ." -> "a").
std::string TrimEndsAndFullStops(std::string_view text) {
  std::string out = Trim(text);
  while (!out.empty() && out.back() == '.') {
    while (!out.empty() && out.back() == '.') out.pop_back();
    out = Trim(out);
  }
  return out;
}

}  // namespace

std::string EncodeNodeIdNumber(uint32_t number) {
  static constexpr char kDigits[] =
      "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.+";
  static_assert(sizeof kDigits == 64 + 1);
  std::string out;
  while (number != 0) {
    out.push_back(kDigits[number & 63]);
    number >>= 6;
  }
  return out;
}

void SeedNodeIdCounter(uint32_t seed) {
  // Marks the counter seeded so the clock never overrides this value.
  std::call_once(gNodeIdSeeded, [] {});
  gNodeIdCounter.store(seed);
}

std::string KVPort::GenerateNodeID() {
  std::call_once(gNodeIdSeeded, [] { gNodeIdCounter.store(ClockSeed()); });
  uint32_t number = gNodeIdCounter.fetch_add(1) + 1;
  // 0 has no digits and would give an empty id; after a wrap take the next.
  while (number == 0) number = gNodeIdCounter.fetch_add(1) + 1;
  return EncodeNodeIdNumber(number);
}

std::string MakeSafeFileName(std::string_view title, std::string_view ntype, char32_t filler) {
  std::string name = TrimTitleWithFiller(title, filler);
  if (name.empty()) return Placeholder(ntype, filler);

  std::erase_if(name, IsForbiddenInFileName);
  name = TrimEndsAndFullStops(name);
  if (name.empty()) return Placeholder(ntype, filler);

  if (Utf16Length(name) > kMaxFileNameUnits) name = CutUtf16(name, kMaxFileNameUnits) + " (...)";
  return name;
}

bool IsImportantAttribute(std::string_view key) {
  return key != "modified" && key != "visited" && key != "created" && key != "icon";
}

std::string NormalizedAttribute(std::string_view key, std::string_view value, char32_t filler) {
  if (key == "name") return TrimTitleWithFiller(value, filler);
  return TrimCodePoint(Trim(value), filler);
}

}  // namespace tarvex
