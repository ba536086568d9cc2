// The command line on Windows: the wide arguments, and UTF-8 on the console,
// so that names of any script survive both ways.
#include "console.h"
#include "printable.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

namespace quiltpix {

std::vector<std::filesystem::path> commandLine(int argc, char* argv[])
{
    std::vector<std::filesystem::path> arguments;
    int count = 0;
    if (LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i)
            arguments.emplace_back(wide[i]);
        ::LocalFree(wide);
        return arguments;
    }
    for (int i = 0; i < argc; ++i) // only if the system could not split it
        arguments.emplace_back(argv[i]);
    return arguments;
}

std::string displayName(const std::filesystem::path& path)
{
    return printableName(path.u8string());
}

void prepareConsole()
{
    ::SetConsoleOutputCP(CP_UTF8);
}

} // namespace quiltpix
