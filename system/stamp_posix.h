// A file's stamp from what stat says, for the POSIX files.
#pragma once

#include "input_file.h"

#include <sys/stat.h>

namespace quiltpix {

inline FileStamp stampOf(const struct stat& info)
{
    FileStamp s;
    s.device = static_cast<std::uint64_t>(info.st_dev);
    s.inode = static_cast<std::uint64_t>(info.st_ino);
    s.size = static_cast<std::uint64_t>(info.st_size);
    s.modified = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    s.changed = static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    return s;
}

} // namespace quiltpix
