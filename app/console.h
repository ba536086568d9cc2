#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quiltpix {

// The command line as the system holds it. On Windows that is the wide one,
// so that a name outside the console's code page reaches us whole.
std::vector<std::filesystem::path> commandLine(int argc, char* argv[]);

// A name as the user typed it, for printing: its bytes on POSIX, UTF-8 on
// Windows, with control characters and invalid bytes escaped
// (printableName).
std::string displayName(const std::filesystem::path& path);

// Makes standard output take UTF-8 where the console would otherwise show
// another code page; a no-op elsewhere.
void prepareConsole();

} // namespace quiltpix
