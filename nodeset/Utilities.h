// Small pieces the engine and its neighbours share: new node ids, the file
// name of a bookmark, and which attributes count as a change.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvex {

struct KVPort {
  // A new node id: a process-wide 32-bit counter, seeded once from the clock,
  // incremented for each id (0 is skipped, so an id is never empty), written
  // least significant digit first with the 64 digits
  // "0-9a-zA-Z.+" (1 to 6 characters). Safe from several threads.
  static std::string GenerateNodeID();
};

// The text of an id number: 1 -> "1", 63 -> "+", 64 -> "01".
std::string EncodeNodeIdNumber(uint32_t number);
// Seeds the id counter (tests); the next id is seed + 1 (0 skipped).
void SeedNodeIdCounter(uint32_t seed);

// The name under which a node is stored as a file or folder: the title
// cleaned (white space, filler and a "__N" suffix trimmed), the characters
// \ / : * ? " < > | and U+0001..U+001F removed, leading and trailing white
// space and trailing full stops removed, cut to 70 UTF-16 units (never inside
// a character) plus " (...)" when longer. A name that ends up empty becomes
// "[unnamed]" for a folder, "---" for a separator, else the filler character.
std::string MakeSafeFileName(std::string_view title, std::string_view ntype, char32_t filler);

// True unless the key is "modified", "visited", "created" or "icon".
bool IsImportantAttribute(std::string_view key);

// An attribute's value as comparisons see it: white space and the filler
// trimmed; a name also loses a "__N" suffix that kept its file name unique.
std::string NormalizedAttribute(std::string_view key, std::string_view value, char32_t filler);

}  // namespace tarvex
