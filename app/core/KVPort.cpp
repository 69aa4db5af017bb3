#include "app/core/KVPort.h"

#include <exception>

#include "app/core/KestroveException.h"
#include "nodeset/Utilities.h"

namespace tarvex::mac {

bool KVPort::IsIntType(std::string_view key) {
  return key == "created" || key == "modified" || key == "visited";
}

void KVPort::MakeUpper(std::string& text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

void KVPort::MakeLower(std::string& text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

void KVPort::TrimLeft(std::string& text, std::string_view set) {
  text.erase(0, text.find_first_not_of(set));
}

void KVPort::TrimRight(std::string& text, std::string_view set) {
  size_t last = text.find_last_not_of(set);
  text.erase(last == std::string::npos ? 0 : last + 1);
}

void KVPort::Trim(std::string& text, std::string_view set) {
  TrimRight(text, set);
  TrimLeft(text, set);
}

std::string KVPort::GenerateNodeID() { return tarvex::KVPort::GenerateNodeID(); }

int KVPort::Cut(std::string& out, std::string whole) {
  const size_t length = whole.size();
  if (whole.size() > kFormatBufferSize - 1) whole.resize(kFormatBufferSize - 1);
  out = std::move(whole);
  return length > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(length);
}

std::vector<int64_t> KVPort::VersionStrToIntVector(std::string_view version) {
  return tarvex::VersionStrToIntVector(version);
}

int KVPort::VersionStrCmp(std::string_view a, std::string_view b) {
  try {
    return tarvex::VersionStrCmp(a, b);
  } catch (const std::exception&) {
    throw KestroveException(KestroveException::kGeneral,
                            tarvex::Format("Unknown error while comparing versions %s and %s", a, b));
  }
}

}  // namespace tarvex::mac
