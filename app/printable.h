#pragma once

#include <string>

namespace quiltpix {

// A name as it may be shown on a terminal: whole UTF-8 characters as they
// are; control characters (bytes below 0x20, 0x7f, and U+0080 to U+009F)
// and bytes that are not valid UTF-8 escaped as ls -b shows them ("\n",
// "\x1b", "\xff"), so that no name can end a line, forge another or drive
// the terminal; a backslash doubled where it is no separator
// (`backslashIsText`), so that "\n" in a name cannot pass for an escape.
// A name that holds " -> " or ": ", which the program's lines use to
// separate names and reasons, is shown in single quotes. The file itself is
// always opened by its real name.
std::string printableName(const std::string& bytes, bool backslashIsText = true);

} // namespace quiltpix
