// The record file on Windows: one handle, locked whole with LockFileEx; the
// folder's permissions decide who may read and write it.
#include "record_file.h"
#include "windows_errors.h"

#include <algorithm>
#include <random>
#include <vector>

namespace quiltpix {

namespace {

bool readAll(HANDLE h, std::uint64_t limit, std::string& text)
{
    text.clear();
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(h, start, nullptr, FILE_BEGIN))
        return false;
    std::vector<char> buffer(1 << 16);
    while (text.size() < limit) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(buffer.size(), limit - text.size()));
        if (!::ReadFile(h, buffer.data(), want, &got, nullptr))
            return false;
        if (got == 0)
            break;
        text.append(buffer.data(), got);
    }
    return true;
}

bool writeAll(HANDLE h, const std::string& text)
{
    const char* p = text.data();
    std::size_t n = text.size();
    while (n > 0) {
        DWORD put = 0;
        if (!::WriteFile(h, p, static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30)), &put, nullptr) || put == 0)
            return false;
        p += put;
        n -= put;
    }
    return true;
}

bool isPlainFile(HANDLE h)
{
    BY_HANDLE_FILE_INFORMATION info{};
    return ::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &info) &&
           !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

} // namespace

RecordText readRecordFile(const std::filesystem::path& path, std::uint64_t limit)
{
    RecordText result;
    const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        result.exists = code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND;
        return result;
    }
    result.exists = true;
    if (isPlainFile(h))
        result.trusted = readAll(h, limit, result.text);
    ::CloseHandle(h);
    return result;
}

bool appendRecordFile(const std::filesystem::path& path, const std::string& header, const std::string& lines,
                      std::uint64_t compactAbove, std::uint64_t limit,
                      const std::function<std::string(const std::string&)>& compact)
{
    const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    OVERLAPPED whole{};
    if (!isPlainFile(h) || !::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        ::CloseHandle(h);
        return false;
    }
    LARGE_INTEGER size{}, zero{};
    bool ok = ::GetFileSizeEx(h, &size) && ::SetFilePointerEx(h, zero, nullptr, FILE_END) &&
              writeAll(h, (size.QuadPart == 0 ? header : std::string()) + lines);
    std::string smaller;
    bool replace = false;
    if (ok && ::GetFileSizeEx(h, &size) && static_cast<std::uint64_t>(size.QuadPart) > compactAbove) {
        std::string all;
        if (readAll(h, limit, all)) {
            smaller = compact(all);
            replace = true;
        }
    }
    ::UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole);
    ::CloseHandle(h);
    if (replace) {
        // Windows renames over a file only once nobody holds it open: a
        // line another run appends in between is lost, which only makes
        // the next run more careful.
        std::mt19937_64 random(std::random_device{}());
        const std::filesystem::path fresh = path.parent_path() / (path.filename().native() + L"." +
                                                                 std::to_wstring(random() % 1000000000) + L".new");
        const HANDLE out = ::CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (out != INVALID_HANDLE_VALUE) {
            const bool written = writeAll(out, smaller);
            ::CloseHandle(out);
            if (!written || !::MoveFileExW(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
                ::DeleteFileW(fresh.c_str());
        }
    }
    return ok;
}

} // namespace quiltpix
