#include "output_file.h"

#include <cerrno>
#include <cstdio>
#include <random>
#include <system_error>

namespace quiltpix {
namespace fs = std::filesystem;

namespace {

// Follows a chain of symbolic links, dangling or not, to the name that a plain
// open for writing would create or truncate.
fs::path resolveLinks(fs::path path)
{
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code error;
        if (!fs::is_symlink(path, error))
            return path;
        const fs::path target = fs::read_symlink(path, error);
        if (error)
            return path;
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return path; // a loop; it is refused below as not a regular file
}

// Only a regular file may be replaced, and only one we could have written to.
bool canReplace(const fs::path& target)
{
    std::error_code error;
    const fs::file_status status = fs::symlink_status(target, error);
    if (status.type() == fs::file_type::not_found)
        return true;
    if (error || status.type() != fs::file_type::regular)
        return false;
    // Opening for appending changes nothing in the file.
    std::ofstream probe(target, std::ios::binary | std::ios::app);
    return static_cast<bool>(probe);
}

// Creates a new, empty file that no other process holds ("x": fail if it
// exists), under a hidden name beside the target.
bool createTemporary(const fs::path& target, fs::path& temporary)
{
    std::random_device seed;
    std::mt19937_64 random(seed());
    // Cut a long name short so that the extra characters cannot push it past
    // the file system's name length limit.
    const std::string stem = "." + target.filename().string().substr(0, 100) + ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, "%016llx.part", static_cast<unsigned long long>(random()));
        temporary = target.parent_path() / (stem + suffix);
        errno = 0;
        if (std::FILE* file = std::fopen(temporary.c_str(), "wbx")) {
            std::fclose(file);
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

} // namespace

OutputFile::~OutputFile()
{
    if (committed_ || temporary_.empty())
        return;
    stream_.close();
    std::error_code error;
    fs::remove(temporary_, error);
}

bool OutputFile::open(const std::string& outputName)
{
    target_ = resolveLinks(outputName);
    if (!canReplace(target_) || !createTemporary(target_, temporary_))
        return false;
    std::error_code error;
    const fs::file_status existing = fs::status(target_, error);
    if (!error && fs::is_regular_file(existing))
        fs::permissions(temporary_, existing.permissions(), error); // best effort
    stream_.open(temporary_, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(stream_);
}

bool OutputFile::commit()
{
    stream_.close();
    if (stream_.fail())
        return false;
    std::error_code error;
    fs::rename(temporary_, target_, error);
    committed_ = !error;
    return committed_;
}

} // namespace quiltpix
