// An open-addressing index from hashed keys to small numbers: the places of
// entries in a table its owner keeps. The owner keeps the keys; the index
// keeps a few bits of each key's hash beside the number, in one flat array of
// 32-bit slots, and asks the owner to compare keys only where those bits
// match. A lookup thus touches one cache line of the index and then the entry
// itself, instead of following the chain of separately allocated nodes of a
// node-based hash table; and the index of a large tree stays small enough to
// remain in the processor's caches. Numbers from 2^24 on take 64-bit slots.
// Several entries may share a key.
//
// The index keeps no whole hashes: when it grows, or when a removal moves
// slots, the owner's `rehash` gives the hash of a stored number again.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvex {

// A 64-bit hash of a key's bytes.
inline uint64_t HashKey(std::string_view key) {
  return std::hash<std::string_view>{}(key);
}

// Two hashes combined into one (a key made of two parts).
inline uint64_t CombineHashes(uint64_t a, uint64_t b) {
  a ^= b + 0x9e3779b97f4a7c15ull + (a << 6) + (a >> 2);
  return a * 0xff51afd7ed558ccdull;
}

namespace detail {

// The slots of one width: the number plus one in the low bits (0 for a free
// slot), bits of the hash above it.
template <class Word, unsigned kValueBits>
class HashSlots {
 public:
  static constexpr uint64_t kMaxValue = (uint64_t{1} << kValueBits) - 2;

  size_t size() const { return size_; }
  size_t capacity() const { return slots_.size(); }
  void clear() {
    slots_.clear();
    size_ = 0;
    bits_ = 0;
  }
  void swap(HashSlots& other) {
    slots_.swap(other.slots_);
    std::swap(size_, other.size_);
    std::swap(bits_, other.bits_);
  }

  template <class Match>
  uint32_t Find(uint64_t hash, Match&& match) const {
    if (slots_.empty()) return kNone;
    const Word tag = Tag(hash);
    const size_t mask = slots_.size() - 1;
    for (size_t i = Home(hash);; i = (i + 1) & mask) {
      const Word slot = slots_[i];
      if (slot == 0) return kNone;
      if ((slot & kTagMask) == tag) {
        uint32_t value = static_cast<uint32_t>((slot & kValueMask) - 1);
        if (match(value)) return value;
      }
    }
  }

  // Room for `count` numbers without growing.
  template <class Rehash>
  void Reserve(size_t count, Rehash&& rehash) {
    unsigned bits = kMinBits;
    while ((size_t{1} << bits) * 3 < count * 4) ++bits;
    if (bits > bits_) Rebuild(bits, rehash);
  }

  template <class Rehash>
  void Insert(uint64_t hash, uint32_t value, Rehash&& rehash) {
    if ((size_ + 1) * 4 > slots_.size() * 3) Rebuild(bits_ == 0 ? kMinBits : bits_ + 1, rehash);
    Place(hash, value);
    ++size_;
  }

  template <class Rehash>
  bool Erase(uint64_t hash, uint32_t value, Rehash&& rehash) {
    if (slots_.empty()) return false;
    const Word wanted = Tag(hash) | (Word{value} + 1);
    const size_t mask = slots_.size() - 1;
    size_t i = Home(hash);
    for (;; i = (i + 1) & mask) {
      if (slots_[i] == 0) return false;
      if (slots_[i] == wanted) break;
    }
    // Shift later members of the run back, so no probe sequence is broken.
    for (size_t j = (i + 1) & mask; slots_[j] != 0; j = (j + 1) & mask) {
      size_t home = Home(rehash(static_cast<uint32_t>((slots_[j] & kValueMask) - 1)));
      bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
      if (stays) continue;
      slots_[i] = slots_[j];
      i = j;
    }
    slots_[i] = 0;
    --size_;
    return true;
  }

  // Every stored number.
  template <class Visit>
  void ForEachValue(Visit&& visit) const {
    for (Word slot : slots_)
      if (slot != 0) visit(static_cast<uint32_t>((slot & kValueMask) - 1));
  }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr unsigned kMinBits = 3;
  static constexpr Word kValueMask = (Word{1} << kValueBits) - 1;
  static constexpr Word kTagMask = static_cast<Word>(~kValueMask);

  // The hash is mixed once more: its high bits choose the home slot, its
  // low bits make the tag.
  static uint64_t Mix(uint64_t hash) { return hash * 0x9e3779b97f4a7c15ull; }
  static Word Tag(uint64_t hash) { return static_cast<Word>(Mix(hash) << kValueBits) & kTagMask; }
  size_t Home(uint64_t hash) const { return static_cast<size_t>(Mix(hash) >> (64 - bits_)); }

  void Place(uint64_t hash, uint32_t value) {
    const size_t mask = slots_.size() - 1;
    size_t i = Home(hash);
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = Tag(hash) | (Word{value} + 1);
  }
  template <class Rehash>
  void Rebuild(unsigned bits, Rehash&& rehash) {
    std::vector<Word> old;
    old.swap(slots_);
    bits_ = bits;
    slots_.assign(size_t{1} << bits, 0);
    for (Word slot : old) {
      if (slot == 0) continue;
      uint32_t value = static_cast<uint32_t>((slot & kValueMask) - 1);
      Place(rehash(value), value);
    }
  }

  std::vector<Word> slots_;
  size_t size_ = 0;
  unsigned bits_ = 0;
};

}  // namespace detail

class HashIndex {
 public:
  static constexpr uint32_t npos = UINT32_MAX;

  size_t size() const { return wide_ ? wideSlots_.size() : slots_.size(); }
  void clear() {
    slots_.clear();
    wideSlots_.clear();
    wide_ = false;
  }
  void swap(HashIndex& other) {
    slots_.swap(other.slots_);
    wideSlots_.swap(other.wideSlots_);
    std::swap(wide_, other.wide_);
  }
  template <class Rehash>
  void reserve(size_t count, Rehash&& rehash) {
    if (wide_)
      wideSlots_.Reserve(count, rehash);
    else
      slots_.Reserve(count, rehash);
  }

  // The first number stored under `hash` (in probe order) that `match`
  // accepts, or npos.
  template <class Match>
  uint32_t Find(uint64_t hash, Match&& match) const {
    return wide_ ? wideSlots_.Find(hash, match) : slots_.Find(hash, match);
  }

  // Calls `visit` with every number stored under `hash` (and perhaps a few
  // of other keys whose bits match: `visit` checks the key).
  template <class Visit>
  void ForEach(uint64_t hash, Visit&& visit) const {
    Find(hash, [&](uint32_t value) {
      visit(value);
      return false;
    });
  }

  template <class Rehash>
  void Insert(uint64_t hash, uint32_t value, Rehash&& rehash) {
    if (!wide_ && value > Narrow::kMaxValue) Widen(rehash);
    if (wide_)
      wideSlots_.Insert(hash, value, rehash);
    else
      slots_.Insert(hash, value, rehash);
  }

  // Removes the number `value` stored under `hash`; false when absent.
  template <class Rehash>
  bool Erase(uint64_t hash, uint32_t value, Rehash&& rehash) {
    if (wide_) return wideSlots_.Erase(hash, value, rehash);
    // Narrow slots hold no such number (and its high bits would pass for a
    // tag's).
    return value <= Narrow::kMaxValue && slots_.Erase(hash, value, rehash);
  }

 private:
  using Narrow = detail::HashSlots<uint32_t, 24>;
  using Wide = detail::HashSlots<uint64_t, 32>;

  template <class Rehash>
  void Widen(Rehash&& rehash) {
    wideSlots_.Reserve(slots_.size() + 1, rehash);
    slots_.ForEachValue([&](uint32_t value) { wideSlots_.Insert(rehash(value), value, rehash); });
    slots_.clear();
    wide_ = true;
  }

  Narrow slots_;
  Wide wideSlots_;
  bool wide_ = false;
};

}  // namespace tarvex
