// The Mac agent's and the pane's property lists (prefs.plist, the login
// items), read from any bytes: a dictionary read is written in both forms
// the platform writes, and each reads back to the same dictionary; nothing
// else is taken for a dictionary.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/mac/Plist.h"

using namespace tarvex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const mac::DictRef dict = mac::PlistDictFromMemory(std::string(fuzz::Bytes(data, size)));
  if (!dict) return 0;
  // Compared through the XML text, where a real that is no number still
  // equals itself.
  const std::string xml = mac::PlistXml(dict);
  const mac::DictRef fromXml = mac::PlistDictFromMemory(xml);
  fuzz::Check(fromXml != nullptr, "the XML form of a dictionary read reads back", xml);
  fuzz::Check(mac::PlistXml(fromXml) == xml, "the XML form reads back to the same dictionary", xml);
  const mac::DictRef fromBinary = mac::PlistDictFromMemory(mac::PlistBinary(dict));
  fuzz::Check(fromBinary != nullptr, "the binary form of a dictionary read reads back", xml);
  fuzz::Check(mac::PlistXml(fromBinary) == xml, "the binary form reads back to the same dictionary",
              xml);
  return 0;
}
