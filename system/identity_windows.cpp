// Identity on Windows: the volume and file index of a file that exists; of
// its folder, with the name folded for case, for one that does not. Names
// in Windows folders are looked up without regard to case.
#include "identity.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cwctype>

namespace quiltpix {

namespace {

bool fileIndex(const std::filesystem::path& path, FileKey& key)
{
    const HANDLE handle = ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = ::GetFileInformationByHandle(handle, &info) != 0;
    ::CloseHandle(handle);
    if (known) {
        key.device = info.dwVolumeSerialNumber;
        key.inode = static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    }
    return known;
}

} // namespace

std::optional<FileKey> identify(const std::filesystem::path& path)
{
    FileKey key;
    if (fileIndex(path, key))
        return key;
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    if (!fileIndex(folder, key))
        return std::nullopt;
    // Folded as the system folds names, beyond ASCII too.
    std::wstring name = path.filename().native();
    if (!name.empty())
        ::CharLowerBuffW(&name[0], static_cast<DWORD>(name.size()));
    key.name = std::filesystem::path(name).u8string();
    key.byFolder = true;
    return key;
}

} // namespace quiltpix
