// The output file on Windows: one handle from creation to commit, under a
// fresh hidden name in the output's folder, marked for deletion until the
// commit so that the system removes it however the process ends (Ctrl-C, a
// closed console, a terminated process), then renamed by handle over the
// output in one replace.
#include "output_file.h"
#include "direct_buffer.h"
#include "hidden_name.h"
#include "ready_line.h"
#include "stamp_windows.h"
#include "windows_errors.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <system_error>
#include <vector>

namespace quiltpix {
namespace fs = std::filesystem;

namespace {

// Writes to the handle in pieces a DWORD can count.
class HandleBuffer : public DirectBuffer {
public:
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = 0;

protected:
    std::size_t writeSome(const char* data, std::size_t n) override
    {
        DWORD written = 0;
        if (error == 0 && !::WriteFile(handle, data, static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30)), &written, nullptr))
            error = ::GetLastError();
        else if (error == 0 && written == 0)
            error = ERROR_DISK_FULL;
        return error == 0 ? written : 0;
    }
};

// FileDispositionInfoEx (Windows 10 1709 and later): the one way to clear
// the delete-on-close a file was created with. Not in older headers, nor in
// wine 8, which refuses it.
const auto dispositionEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD onClose = 0x8, deleteIt = 0x1; // FILE_DISPOSITION_FLAG_ON_CLOSE, _DELETE

bool setDispositionEx(HANDLE handle, DWORD flags)
{
    DWORD info = flags; // FILE_DISPOSITION_INFO_EX is one DWORD of flags
    return ::SetFileInformationByHandle(handle, dispositionEx, &info, sizeof info) != 0;
}

bool markForDeletion(HANDLE handle, bool doomed)
{
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = doomed ? TRUE : FALSE;
    return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Renames the open file over `target` in one step, replacing what is there.
bool renameOver(HANDLE handle, const std::wstring& target, bool replace = true)
{
    const std::size_t nameBytes = target.size() * sizeof(wchar_t);
    std::vector<unsigned char> block(sizeof(FILE_RENAME_INFO) + nameBytes + sizeof(wchar_t), 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(block.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(info->FileName, target.c_str(), nameBytes);
    return ::SetFileInformationByHandle(handle, FileRenameInfo, info, static_cast<DWORD>(block.size())) != 0;
}

// Removes this output's temporaries that a killed run left. A live run's
// file is open without delete sharing (or already marked for deletion), so
// the system refuses to remove it; only the abandoned ones go.
void sweepStale(const fs::path& target)
{
    WIN32_FIND_DATAW found{};
    const fs::path pattern = target.parent_path() / L".*.part";
    const HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            isHiddenNameOf(found.cFileName, target.filename(), 255))
            ::DeleteFileW((target.parent_path() / found.cFileName).c_str());
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

} // namespace

struct OutputFile::State {
    fs::path target;
    std::optional<std::int64_t> oldModified; // of the output replaced, in 100-nanosecond ticks
    HandleBuffer buffer;
    std::ostream stream{&buffer};
    bool committed = false;
    bool changedMeanwhile = false;
    bool clearable = true; // the system lifts a delete-on-close (see open)
    std::string failure;

    bool fail(const std::string& why)
    {
        failure = why;
        return false;
    }
};

OutputFile::OutputFile() : state_(std::make_unique<State>()) {}

OutputFile::~OutputFile()
{
    // Closing the handle of a file still marked for deletion removes it.
    if (state_->buffer.handle != INVALID_HANDLE_VALUE)
        ::CloseHandle(state_->buffer.handle);
}

bool OutputFile::open(const fs::path& outputName)
{
    State& s = *state_;
    std::error_code error;
    s.target = fs::absolute(outputName, error);
    if (error)
        return s.fail(error.message());
    if (s.target.filename().empty())
        return s.fail(std::make_error_code(std::errc::is_a_directory).message());
    WIN32_FILE_ATTRIBUTE_DATA data{};
    const DWORD attributes = ::GetFileAttributesExW(s.target.c_str(), GetFileExInfoStandard, &data)
                                 ? data.dwFileAttributes
                                 : INVALID_FILE_ATTRIBUTES;
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        s.oldModified = static_cast<std::int64_t>(static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32 |
                                                  data.ftLastWriteTime.dwLowDateTime);
        // Only a file may be replaced, and not one marked read-only: that is
        // Windows' way of saying the file may not be written.
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            return s.fail(std::make_error_code(std::errc::is_a_directory).message());
        if (attributes & FILE_ATTRIBUTE_READONLY)
            return s.fail("the file is read-only");
        if (attributes & FILE_ATTRIBUTE_DEVICE)
            return s.fail("not a regular file");
    } else if (const DWORD code = ::GetLastError(); code != ERROR_FILE_NOT_FOUND) {
        return s.fail(describe(code));
    }

    sweepStale(s.target);
    std::mt19937_64 random(std::random_device{}());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path hidden = s.target.parent_path() / hiddenName(s.target.filename(), random(), 255);
        // CREATE_NEW fails if the name exists; no sharing, so nobody else
        // opens the file while it is ours.
        // Where the system can clear it again at the commit, the file is
        // doomed from its creation, so no kill at any moment leaves it.
        // Elsewhere it is created first and marked at once after: a kill
        // between the two calls can leave an empty hidden file.
        const DWORD doomed = s.clearable ? FILE_FLAG_DELETE_ON_CLOSE : 0;
        const HANDLE handle =
            ::CreateFileW(hidden.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | doomed, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD code = ::GetLastError();
            if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS)
                continue;
            return s.fail(describe(code));
        }
        if (s.clearable && !setDispositionEx(handle, onClose | deleteIt)) {
            // The doom could not be lifted at the commit here: this file
            // goes when closed, and the next is made the other way.
            ::CloseHandle(handle);
            s.clearable = false;
            --attempt;
            continue;
        }
        s.buffer.handle = handle;
        if (!s.clearable && !markForDeletion(handle, true))
            return s.fail(describe(::GetLastError()));
        return true;
    }
    return s.fail("no fresh temporary name could be found");
}

std::ostream& OutputFile::stream()
{
    return state_->stream;
}

bool OutputFile::writeAt(std::uint64_t pos, const unsigned char* data, std::size_t n)
{
    HandleBuffer& b = state_->buffer;
    while (n > 0 && b.error == 0) {
        // On a handle opened for plain (not overlapped) writing, the offset
        // in OVERLAPPED makes WriteFile write there and wait until it has.
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(pos & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(pos >> 32);
        DWORD written = 0;
        if (!::WriteFile(b.handle, data, static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30)), &written, &at))
            b.error = ::GetLastError();
        else if (written == 0)
            b.error = ERROR_DISK_FULL;
        data += written;
        n -= written;
        pos += written;
    }
    return b.error == 0;
}

const std::string& OutputFile::failure() const
{
    State& s = *state_;
    if (s.failure.empty() && s.buffer.error != 0) // a write the converter saw fail
        s.failure = describe(s.buffer.error);
    return s.failure;
}

namespace {

// The file under `target` as it is now; nothing when none stands there (or
// it cannot be opened to tell).
std::optional<FileStamp> stampAt(const fs::path& target, bool& stands)
{
    const HANDLE h = ::CreateFileW(target.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        stands = code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND;
        return std::nullopt;
    }
    stands = true;
    const std::optional<FileStamp> result = stampOf(h);
    ::CloseHandle(h);
    return result;
}

} // namespace

bool OutputFile::changedMeanwhile() const
{
    return state_->changedMeanwhile;
}

bool OutputFile::commitChecked(const std::optional<FileStamp>* judged)
{
    State& s = *state_;
    const HANDLE handle = s.buffer.handle;
    if (handle == INVALID_HANDLE_VALUE)
        return s.fail(describe(ERROR_INVALID_HANDLE));
    if (!s.stream.flush() || s.buffer.error != 0)
        return s.fail(describe(s.buffer.error ? s.buffer.error : ERROR_WRITE_FAULT));
    const auto changed = [&s] {
        s.changedMeanwhile = true;
        return s.fail("it changed while this run worked, so it was left as it is; run again to judge it anew");
    };
    // Windows renames over a file only while nobody holds it open, so the
    // check is the last look before the rename, and a file that appeared
    // meanwhile is never replaced.
    bool replace = true;
    if (judged) {
        bool stands = false;
        const std::optional<FileStamp> now = stampAt(s.target, stands);
        if (stands && (!*judged || !now || !(now->sameContent(**judged))))
            return changed();
        replace = stands;
    }
    // Not hidden any more once it has its real name.
    FILE_BASIC_INFO basic{};
    if (::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        ::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
    }
    // The file is kept only from now on; a kill between this and the rename
    // can leave it under its hidden name.
    const bool kept = s.clearable ? setDispositionEx(handle, onClose) : markForDeletion(handle, false);
    if (!kept || !renameOver(handle, s.target.native(), replace)) {
        const DWORD code = ::GetLastError();
        if (s.clearable)
            setDispositionEx(handle, onClose | deleteIt);
        else
            markForDeletion(handle, true);
        if (!replace && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS))
            return changed();
        return s.fail(describe(code));
    }
    s.buffer.handle = INVALID_HANDLE_VALUE;
    s.committed = true;
    if (!::CloseHandle(handle))
        return s.fail(describe(::GetLastError()));
    return true;
}

std::optional<std::uint64_t> OutputFile::freeSpace() const
{
    ULARGE_INTEGER available{};
    if (state_->target.empty() ||
        !::GetDiskFreeSpaceExW(state_->target.parent_path().c_str(), &available, nullptr, nullptr))
        return std::nullopt;
    return static_cast<std::uint64_t>(available.QuadPart);
}

namespace {

// Reads n bytes at pos, or fewer at the end of the file.
DWORD readAt(HANDLE handle, std::uint64_t pos, char* data, DWORD n)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(pos & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(pos >> 32);
    DWORD got = 0;
    return ::ReadFile(handle, data, n, &got, &at) ? got : 0;
}

} // namespace

OutputFile::Existing OutputFile::compareWithExisting()
{
    State& s = *state_;
    if (!s.oldModified || s.buffer.handle == INVALID_HANDLE_VALUE || !s.stream.flush() || s.buffer.error != 0)
        return Existing::none;
    const HANDLE old = ::CreateFileW(s.target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (old == INVALID_HANDLE_VALUE)
        return Existing::differs;
    LARGE_INTEGER theirs{}, ours{};
    bool same = ::GetFileSizeEx(old, &theirs) && ::GetFileSizeEx(s.buffer.handle, &ours) && theirs.QuadPart == ours.QuadPart;
    std::vector<char> a(1 << 20), b(1 << 20);
    for (std::uint64_t at = 0; same && at < static_cast<std::uint64_t>(ours.QuadPart);) {
        const DWORD got = readAt(s.buffer.handle, at, a.data(), static_cast<DWORD>(a.size()));
        if (got == 0 || readAt(old, at, b.data(), got) != got || std::memcmp(a.data(), b.data(), got) != 0)
            same = false;
        at += got;
    }
    ::CloseHandle(old);
    return same ? Existing::same : Existing::differs;
}

std::optional<std::int64_t> OutputFile::existingModified() const
{
    return state_->oldModified;
}

namespace {

// The interruption line, which the console's handler thread writes.
ReadyLine<LONG> interruption;

BOOL WINAPI onInterruption(DWORD event)
{
    const char* line = nullptr;
    std::size_t length = 0;
    if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) && interruption.get(line, length)) {
        DWORD written = 0;
        ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(length), &written, nullptr);
    }
    return FALSE; // and the system ends the process as before
}

} // namespace

void setInterruptionLine(const std::string& line)
{
    static bool installed = false;
    if (!installed)
        installed = ::SetConsoleCtrlHandler(onInterruption, TRUE) != 0;
    interruption.set(line);
}

// The console's Ctrl-C arrives on a thread of its own, and the system ends
// the process only after the handler returns; nothing to hold back here.
SignalsDeferred::SignalsDeferred() {}
SignalsDeferred::~SignalsDeferred() {}

void ignoreWriteSignals() {}

} // namespace quiltpix
