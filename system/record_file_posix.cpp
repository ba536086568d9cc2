// The record file on POSIX systems: opened without following a link, judged
// by the open descriptor, locked with flock; replaced by renaming a full new
// copy over it, after which a writer that waited for the lock on the old
// file sees that the name is no longer its file and opens it again.
#include "record_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <random>
#include <vector>

namespace quiltpix {

namespace {

bool trusted(const struct stat& info)
{
    const uid_t user = ::geteuid();
    return S_ISREG(info.st_mode) && (info.st_uid == user || info.st_uid == 0) && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool readAll(int fd, std::uint64_t limit, std::string& text)
{
    text.clear();
    std::vector<char> buffer(1 << 16);
    for (off_t at = 0; text.size() < limit;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), limit - text.size()));
        const ssize_t got = ::pread(fd, buffer.data(), want, at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            break;
        text.append(buffer.data(), static_cast<std::size_t>(got));
        at += got;
    }
    return true;
}

bool writeAll(int fd, const std::string& text)
{
    const char* p = text.data();
    std::size_t n = text.size();
    while (n > 0) {
        const ssize_t put = ::write(fd, p, n);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

} // namespace

RecordText readRecordFile(const std::filesystem::path& path, std::uint64_t limit)
{
    RecordText result;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        result.exists = errno != ENOENT;
        return result;
    }
    result.exists = true;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && trusted(info))
        result.trusted = readAll(fd, limit, result.text);
    ::close(fd);
    return result;
}

bool appendRecordFile(const std::filesystem::path& path, const std::string& header, const std::string& lines,
                      std::uint64_t compactAbove, std::uint64_t limit,
                      const std::function<std::string(const std::string&)>& compact)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd < 0)
            return false;
        struct stat ours {}, named {};
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        if (::fstat(fd, &ours) != 0 || !trusted(ours)) {
            ::close(fd);
            return false;
        }
        // Replaced while we waited for the lock: the new file is the record.
        if (::lstat(path.c_str(), &named) != 0 || named.st_dev != ours.st_dev || named.st_ino != ours.st_ino) {
            ::close(fd);
            continue;
        }
        bool ok = writeAll(fd, (ours.st_size == 0 ? header : std::string()) + lines);
        struct stat after {};
        if (ok && ::fstat(fd, &after) == 0 && static_cast<std::uint64_t>(after.st_size) > compactAbove) {
            std::string whole;
            if (readAll(fd, limit, whole)) {
                const std::string smaller = compact(whole);
                std::mt19937_64 random(std::random_device{}());
                const std::filesystem::path fresh =
                    path.parent_path() / (path.filename().native() + "." + std::to_string(random() % 1000000000) + ".new");
                const int out = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
                if (out >= 0) {
                    const bool written = writeAll(out, smaller);
                    ::close(out);
                    if (!written || ::rename(fresh.c_str(), path.c_str()) != 0)
                        ::unlink(fresh.c_str());
                }
            }
        }
        ::close(fd); // and with it the lock
        return ok;
    }
    return false;
}

} // namespace quiltpix
