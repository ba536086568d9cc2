// A file's stamp from an open handle, for the Windows files: the volume and
// file index for its identity, the last write and change times.
#pragma once

#include "input_file.h"
#include "windows_errors.h"

#include <optional>

namespace quiltpix {

inline std::optional<FileStamp> stampOf(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info))
        return std::nullopt;
    FileStamp s;
    s.device = info.dwVolumeSerialNumber;
    s.inode = static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    s.size = static_cast<std::uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    s.modified = static_cast<std::int64_t>(static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32 |
                                           info.ftLastWriteTime.dwLowDateTime);
    FILE_BASIC_INFO basic{};
    s.changed = ::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)
                    ? static_cast<std::int64_t>(basic.ChangeTime.QuadPart)
                    : s.modified;
    return s;
}

} // namespace quiltpix
