// Our Deflate coder: a raw Deflate stream (no zlib or gzip wrapper, as ZIP
// wants it) made with hash chains and lazy matching at one fixed level of
// effort (zlib's level 8). Each block is sent stored, with the fixed codes
// or with codes of its own, whichever is shortest.
//
// The output does not depend on how the input is cut into `Write` calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace tarvex {

class Deflater {
 public:
  // Takes compressed bytes, at most kOutputChunk at a time; false (the
  // target failed) stops the coder, whose call then returns false.
  using Sink = std::function<bool(const uint8_t* data, size_t size)>;
  static constexpr size_t kOutputChunk = 16384;

  Deflater();
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Starts a new stream (the coder's memory is kept).
  void Reset();
  // Compresses `size` bytes; output may lag behind the input until Finish.
  bool Write(const void* data, size_t size, const Sink& sink);
  // Ends the stream: the last block and the bits up to a whole byte.
  bool Finish(const Sink& sink);
  // Compressed bytes handed to sinks since the last Reset.
  uint64_t TotalOut() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// Lengths of a prefix code for `count` symbols of the given frequencies, none
// longer than `maxBits` (count <= 2^maxBits). Symbols of frequency 0 get 0,
// except that a code always has at least two symbols: when fewer are used,
// symbol 0 or 1 is added with a length of its own, as strict decoders want
// two codes.
void HuffmanCodeLengths(const uint32_t* freqs, int count, int maxBits, uint8_t* lengths);

}  // namespace tarvex
