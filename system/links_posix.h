// Following links the way the kernel's fs.protected_symlinks=1 would, on
// every path the program opens, whatever the system's setting: in a sticky
// folder that everybody may write to, only a link of the user's own or of
// the folder's owner is followed, so nobody can plant one there that points
// a run (as root, say) at another file or folder.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace quiltpix {

extern const char* const plantedLink; // the reason a link is refused

bool mayFollow(const struct stat& folder, const struct stat& link);

// The text of the link `name` in `dir`; false with errno set.
bool readLink(int dir, const std::string& name, std::string& target);

// Whether `dir` is in /proc, whose links lead to open files, whatever
// their text says.
bool isMagicLinkFolder(int dir);

// Opens `folder` (relative to `at`) for the *at calls, one component at a
// time, following each link on the way only under the rule above, and with
// `create`, making each missing one. -1 on failure, with the reason in `why`.
int openFolderSafely(int at, const std::filesystem::path& folder, std::string& why, bool create = false);

} // namespace quiltpix
