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

// Makes standard output reach the console whole: on Windows, lines to a
// console go out as UTF-16 (a pipe or a file still gets UTF-8); a no-op
// elsewhere.
void prepareConsole();

// Whether standard output is a terminal (a console on Windows), where a
// line of progress may be drawn and erased.
bool outputIsTerminal();

// How to convert a folder in this system's shells, for --help: lines
// indented by two, each ending in a newline.
const char* shellExamples();

} // namespace quiltpix
