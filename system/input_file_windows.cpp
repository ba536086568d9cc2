// The input on Windows: one handle, judged by what it opened (a directory
// or anything but a disk file is refused), then read as a file.
#include "input_file.h"
#include "read_buffer.h"
#include "stamp_windows.h"
#include "windows_errors.h"

#include <algorithm>

namespace quiltpix {

namespace {

class HandleReader : public ReadBuffer {
public:
    HANDLE handle = INVALID_HANDLE_VALUE;

protected:
    std::size_t readSome(char* data, std::size_t n) override
    {
        DWORD got = 0;
        if (!::ReadFile(handle, data, static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30)), &got, nullptr))
            return 0;
        return got;
    }
    bool seekTo(std::uint64_t pos) override
    {
        LARGE_INTEGER to;
        to.QuadPart = static_cast<LONGLONG>(pos);
        return ::SetFilePointerEx(handle, to, nullptr, FILE_BEGIN) != 0;
    }
};

} // namespace

struct InputFile::State {
    HandleReader reader;
    std::istream stream{&reader};
    std::uint64_t size = 0;
    std::int64_t modified = 0; // 100-nanosecond ticks
    FileStamp stamp;
};

InputFile::InputFile() : state_(std::make_unique<State>()) {}

InputFile::~InputFile()
{
    if (state_->reader.handle != INVALID_HANDLE_VALUE)
        ::CloseHandle(state_->reader.handle);
}

std::string InputFile::open(const std::filesystem::path& path)
{
    State& s = *state_;
    // Backup semantics let a directory open too, so that it is named for
    // what it is rather than refused as access denied.
    const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return describe(::GetLastError());
    s.reader.handle = handle;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info))
        return ::GetFileType(handle) == FILE_TYPE_DISK ? describe(::GetLastError()) : "not a regular file";
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return std::make_error_code(std::errc::is_a_directory).message();
    if (::GetFileType(handle) != FILE_TYPE_DISK)
        return "not a regular file";
    s.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    s.modified = static_cast<std::int64_t>(static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32 |
                                           info.ftLastWriteTime.dwLowDateTime);
    if (const auto stamp = stampOf(handle))
        s.stamp = *stamp;
    return "";
}

std::istream& InputFile::stream()
{
    return state_->stream;
}

std::uint64_t InputFile::size() const
{
    return state_->size;
}

std::int64_t InputFile::modified() const
{
    return state_->modified;
}

const FileStamp& InputFile::stamp() const
{
    return state_->stamp;
}

std::optional<FileStamp> InputFile::stampNow() const
{
    if (state_->reader.handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    return stampOf(state_->reader.handle);
}

void InputFile::close()
{
    if (state_->reader.handle != INVALID_HANDLE_VALUE)
        ::CloseHandle(state_->reader.handle);
    state_->reader.handle = INVALID_HANDLE_VALUE;
}

bool InputFile::nextData(std::uint64_t from, std::uint64_t& start, std::uint64_t& end) const
{
    start = from;
    end = state_->size;
    return from < end;
}

std::int64_t fileTimeNow()
{
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime);
}

std::int64_t fileTicksPerSecond()
{
    return 10000000;
}

} // namespace quiltpix
