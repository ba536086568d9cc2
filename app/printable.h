#pragma once

#include <string>

namespace quiltpix {

// A name as it may be shown on a terminal: whole UTF-8 characters as they
// are; control characters (bytes below 0x20, 0x7f, and U+0080 to U+009F)
// and bytes that are not valid UTF-8 escaped as ls -b shows them ("\n",
// "\x1b", "\xff"), so that no name can end a line, forge another or drive
// the terminal. The file itself is always opened by its real name.
std::string printableName(const std::string& bytes);

} // namespace quiltpix
