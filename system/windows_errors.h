// Windows' error codes in the words users read on other systems.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <system_error>

namespace quiltpix {

// The system's words for an error, in the portable form where there is one,
// so that users read the same reasons as on other systems.
inline std::string describe(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return std::make_error_code(std::errc::no_such_file_or_directory).message();
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return std::make_error_code(std::errc::permission_denied).message();
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return std::make_error_code(std::errc::no_space_on_device).message();
    case ERROR_WRITE_PROTECT:
        return std::make_error_code(std::errc::read_only_file_system).message();
    case ERROR_FILENAME_EXCED_RANGE:
        return std::make_error_code(std::errc::filename_too_long).message();
    default:
        return std::system_category().message(static_cast<int>(code));
    }
}

} // namespace quiltpix
