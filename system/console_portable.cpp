// The command line where names are bytes: taken and printed as they are.
#include "console.h"
#include "printable.h"

#if __has_include(<unistd.h>)
#include <unistd.h>
#endif

namespace quiltpix {

std::vector<std::filesystem::path> commandLine(int argc, char* argv[])
{
    std::vector<std::filesystem::path> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    return arguments;
}

std::string displayName(const std::filesystem::path& path)
{
    return printableName(path.string());
}

void prepareConsole() {}

bool outputIsTerminal()
{
#if __has_include(<unistd.h>)
    return ::isatty(1) == 1;
#else
    return false;
#endif
}

const char* shellExamples()
{
    return "  quiltpix --all -n archive/\n"
           "  quiltpix --all archive/\n"
           "  quiltpix --all -q *.mos\n"
           "  quiltpix --all *.bmp\n"
           "  quiltpix --all -q -o out/ *.mos\n"
           "  find archive -name '*.mos' -print0 | xargs -0 -n1 -P\"$(nproc)\" quiltpix -q\n";
}

} // namespace quiltpix
