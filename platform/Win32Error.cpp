// English texts of the Win32 codes Tarvex produces, as the program prints
// them in its log and messages.
#include "platform/Win32Error.h"

namespace tarvex::win32 {
namespace {

const char* KnownText(uint32_t code) {
  switch (code) {
    case ERROR_SUCCESS:
      return "The operation completed successfully.";
    case ERROR_INVALID_FUNCTION:
      return "Incorrect function.";
    case ERROR_FILE_NOT_FOUND:
      return "The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND:
      return "The system cannot find the path specified.";
    case ERROR_ACCESS_DENIED:
      return "Access is denied.";
    case ERROR_INVALID_HANDLE:
      return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY:
      return "Not enough memory resources are available to process this command.";
    case ERROR_INVALID_DATA:
      return "The data is invalid.";
    case ERROR_NOT_SAME_DEVICE:
      return "The system cannot move the file to a different disk drive.";
    case ERROR_NO_MORE_FILES:
      return "There are no more files.";
    case ERROR_WRITE_PROTECT:
      return "The media is write protected.";
    case ERROR_GEN_FAILURE:
      return "A device attached to the system is not functioning.";
    case ERROR_SHARING_VIOLATION:
      return "The process cannot access the file because it is being used by another process.";
    case ERROR_HANDLE_EOF:
      return "Reached the end of the file.";
    case ERROR_NOT_SUPPORTED:
      return "The request is not supported.";
    case ERROR_FILE_EXISTS:
      return "The file exists.";
    case ERROR_INVALID_PARAMETER:
      return "The parameter is incorrect.";
    case ERROR_DISK_FULL:
      return "There is not enough space on the disk.";
    case ERROR_INVALID_NAME:
      return "The filename, directory name, or volume label syntax is incorrect.";
    case ERROR_DIR_NOT_EMPTY:
      return "The directory is not empty.";
    case ERROR_ALREADY_EXISTS:
      return "Cannot create a file when that file already exists.";
    case ERROR_FILENAME_EXCED_RANGE:
      return "The filename or extension is too long.";
    case ERROR_MORE_DATA:
      return "More data is available.";
    case ERROR_NO_MORE_ITEMS:
      return "No more data is available.";
    case ERROR_DIRECTORY:
      return "The directory name is invalid.";
    case ERROR_BADDB:
      return "The configuration registry database is corrupt.";
    case ERROR_KEY_DELETED:
      return "Illegal operation attempted on a registry key that has been marked for deletion.";
    case ERROR_MOD_NOT_FOUND:
      return "The specified module could not be found.";
    case ERROR_PROC_NOT_FOUND:
      return "The specified procedure could not be found.";
    case ERROR_NOT_OWNER:
      return "Attempt to release mutex not owned by caller.";
    case ERROR_INVALID_WINDOW_HANDLE:
      return "Invalid window handle.";
    case ERROR_CANNOT_FIND_WND_CLASS:
      return "Cannot find window class.";
    case ERROR_CLASS_ALREADY_EXISTS:
      return "Class already exists.";
    case ERROR_INVALID_THREAD_ID:
      return "Invalid thread identifier.";
    case ERROR_TIMEOUT:
      return "This operation returned because the timeout period expired.";
    case ERROR_RESOURCE_TYPE_NOT_FOUND:
      return "The specified resource type cannot be found in the image file.";
    case ERROR_NOT_ENOUGH_QUOTA:
      return "Not enough quota is available to process this command.";
    case static_cast<uint32_t>(E_NOTIMPL):
      return "Not implemented";
    case static_cast<uint32_t>(E_FAIL):
      return "Unspecified error";
    default:
      return nullptr;
  }
}

}  // namespace

std::string FormatMessage(uint32_t code) {
  if (const char* text = KnownText(code)) return text;
  // An HRESULT made from a Win32 code reads as that code.
  if ((code & 0xFFFF0000u) == 0x80070000u && (code & 0xFFFFu) != 0) {
    if (const char* text = KnownText(code & 0xFFFFu)) return text;
  }
  return "Unknown error " + std::to_string(static_cast<int32_t>(code));
}

}  // namespace tarvex::win32
