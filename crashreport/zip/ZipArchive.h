// The ZIP archive writer: entries stored or compressed with our own Deflate
// coder (level 8), written to a file made by name, to a file descriptor the
// caller opened, or to a block of the caller's memory.
//
// A handle names an archive being written until `CloseZip`; after that the
// same handle answers `kZipClosed` and is never reused. Every call returns 0
// or a result code below and also leaves it in `LastZipResult()` (of the
// calling thread); nothing throws.
//
// What the format has no room for is refused rather than written wrong:
// there is no ZIP64, so an entry whose sizes or offset pass 4 GiB - 1 fails
// (kZipWriteFailed, the archive then failed), and the 65,536th entry is
// refused (kZipBadArguments). Encryption is not offered: a non-empty password
// fails `CreateZip` (kZipBadArguments) rather than write the data in clear.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvex {

// ---- Result codes -------------------------------------------------------------

inline constexpr uint32_t kZipOk = 0;
// A file could not be created (the archive) or opened (a source).
inline constexpr uint32_t kZipOpenFailed = 0x200;
// A memory target could not be mapped (kept for its number; not produced).
inline constexpr uint32_t kZipMapFailed = 0x300;
// Writing to the target failed, or an entry would not fit the format.
inline constexpr uint32_t kZipWriteFailed = 0x400;
// A null or unknown handle, an empty, absolute, ".."-holding or over-long
// entry name, a password, or too many entries.
inline constexpr uint32_t kZipBadArguments = 0x10000;
// The memory target is too small (or of size 0).
inline constexpr uint32_t kZipMemoryFull = 0x30000;
// An earlier write failed: the archive takes no more entries.
inline constexpr uint32_t kZipFailedBefore = 0x40000;
// The archive was closed.
inline constexpr uint32_t kZipClosed = 0x50000;
// A source gave another number of bytes than it was declared to hold.
inline constexpr uint32_t kZipLengthMismatch = 0x60000;
// The handle is no archive writer's handle at all.
inline constexpr uint32_t kZipNotAnArchive = 0x80000;
// No target (kept for its number; not produced).
inline constexpr uint32_t kZipNoTarget = 0x1000000;
// A target believed seekable refused to seek back (the archive then failed).
inline constexpr uint32_t kZipSeekFailed = 0x2000000;
// The method or size differs from a header that cannot be rewritten (kept
// for its number; not produced).
inline constexpr uint32_t kZipHeaderMismatch = 0x4000000;
// The compressor failed inside.
inline constexpr uint32_t kZipCompressorFailed = 0x5000000;

// The longest entry name, in UTF-8 bytes.
inline constexpr size_t kZipMaxNameBytes = 260;

// An archive being written (opaque).
struct ZipHandle;

// ---- Targets ------------------------------------------------------------------

// The archive as a file by name (always replaced; never through a symbolic
// link; mode 0600). Null on failure: LastZipResult() tells why.
ZipHandle* CreateZip(const std::string& path, const std::string& password = "");
// The archive written to `fd` from its current position; the descriptor stays
// the caller's (never closed here). A seekable descriptor gets offsets from
// the start of the file and headers rewritten in place; a pipe or socket
// gets data descriptors after each entry.
ZipHandle* CreateZipOnDescriptor(int fd, const std::string& password = "");
// The archive written into the caller's `size` bytes at `buffer` (size 0:
// kZipMemoryFull). `CloseZip(zip, &length)` tells how many were used.
ZipHandle* CreateZipInMemory(void* buffer, size_t size, const std::string& password = "");

// ---- Sources ------------------------------------------------------------------

// Adds the file `sourcePath` (opened for reading) as `entryName`. 0 or a result code.
uint32_t ZipAdd(ZipHandle* zip, const std::string& entryName, const std::string& sourcePath);
// Adds what `fd` reads from its current position: `length` bytes exactly, or
// everything to its end when `length` is 0. The descriptor stays the caller's.
uint32_t ZipAddDescriptor(ZipHandle* zip, const std::string& entryName, int fd,
                          uint64_t length = 0);
// Adds `length` bytes at `data`.
uint32_t ZipAddMemory(ZipHandle* zip, const std::string& entryName, const void* data,
                      size_t length);
// Adds a folder entry (no data; the name gets its trailing "/").
uint32_t ZipAddFolder(ZipHandle* zip, const std::string& entryName);

// ---- End ----------------------------------------------------------------------

// Writes the central directory and the end record and frees the handle. 0 or a result code.
uint32_t CloseZip(ZipHandle* zip);
// The same, and `*length` gets the archive's size in bytes (of what this
// writer wrote: the start offset of a descriptor target is not counted).
uint32_t CloseZip(ZipHandle* zip, uint64_t* length);

uint32_t LastZipResult();  // of this thread

}  // namespace tarvex
