// The Win32 error codes and result codes that Tarvex branches on and prints.
// The stand-in layers return these numbers so the program's messages and
// decisions stay the same on every platform.
#pragma once

#include <cstdint>
#include <string>

namespace tarvex::win32 {

inline constexpr uint32_t ERROR_SUCCESS = 0;
inline constexpr uint32_t ERROR_INVALID_FUNCTION = 1;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t ERROR_INVALID_DATA = 13;
inline constexpr uint32_t ERROR_NOT_SAME_DEVICE = 17;
inline constexpr uint32_t ERROR_NO_MORE_FILES = 18;
inline constexpr uint32_t ERROR_WRITE_PROTECT = 19;
inline constexpr uint32_t ERROR_WRITE_FAULT = 29;
inline constexpr uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr uint32_t ERROR_HANDLE_EOF = 38;
inline constexpr uint32_t ERROR_FILE_EXISTS = 80;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_DISK_FULL = 112;
inline constexpr uint32_t ERROR_INVALID_NAME = 123;
inline constexpr uint32_t ERROR_MOD_NOT_FOUND = 126;
inline constexpr uint32_t ERROR_PROC_NOT_FOUND = 127;
inline constexpr uint32_t ERROR_DIR_NOT_EMPTY = 145;
inline constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr uint32_t ERROR_MORE_DATA = 234;
inline constexpr uint32_t ERROR_NO_MORE_ITEMS = 259;
inline constexpr uint32_t ERROR_DIRECTORY = 267;
inline constexpr uint32_t ERROR_NOT_OWNER = 288;
inline constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr uint32_t ERROR_BADDB = 1009;
inline constexpr uint32_t ERROR_KEY_DELETED = 1018;
inline constexpr uint32_t ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr uint32_t ERROR_CANNOT_FIND_WND_CLASS = 1407;
inline constexpr uint32_t ERROR_CLASS_ALREADY_EXISTS = 1410;
inline constexpr uint32_t ERROR_INVALID_THREAD_ID = 1444;
inline constexpr uint32_t ERROR_TIMEOUT = 1460;
inline constexpr uint32_t ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
inline constexpr uint32_t ERROR_NOT_ENOUGH_QUOTA = 1816;

// HRESULTs are signed 32-bit values.
inline constexpr int32_t S_OK = 0;
inline constexpr int32_t E_NOTIMPL = static_cast<int32_t>(0x80004001u);
inline constexpr int32_t E_FAIL = static_cast<int32_t>(0x80004005u);
inline constexpr int32_t E_ACCESSDENIED = static_cast<int32_t>(0x80070005u);
inline constexpr int32_t E_INVALIDARG = static_cast<int32_t>(0x80070057u);

// HRESULT_FROM_WIN32.
constexpr int32_t HResultFromWin32(uint32_t code) {
  return code == 0 ? 0 : static_cast<int32_t>((code & 0xFFFFu) | 0x80070000u);
}

// English text of a code, without a trailing line break
// ("The system cannot find the file specified."); "Unknown error %d" for
// codes this layer never produces.
std::string FormatMessage(uint32_t code);

}  // namespace tarvex::win32
