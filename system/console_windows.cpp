// The command line and the console on Windows: the wide arguments, with
// wildcards expanded as Windows programs do, and lines to a console as
// UTF-16, so that names of any script survive both ways.
#include "console.h"
#include "printable.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <iostream>
#include <streambuf>
#include <string>

namespace quiltpix {
namespace {

// The files a pattern with * or ? matches, in name order, with the
// pattern's folder in front; the pattern itself when nothing matches, so
// that it is reported as missing.
std::vector<std::filesystem::path> expand(const std::wstring& pattern)
{
    std::vector<std::filesystem::path> found;
    if (pattern.empty() || pattern[0] == L'-' || pattern.find_first_of(L"*?") == std::wstring::npos)
        return {pattern};
    const std::size_t cut = pattern.find_last_of(L"\\/:");
    const std::wstring folder = cut == std::wstring::npos ? L"" : pattern.substr(0, cut + 1);
    WIN32_FIND_DATAW entry;
    const HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..")
                found.emplace_back(folder + name);
        } while (::FindNextFileW(search, &entry));
        ::FindClose(search);
    }
    std::sort(found.begin(), found.end());
    if (found.empty())
        found.emplace_back(pattern);
    return found;
}

// Lines to a console: UTF-8 in, UTF-16 out through WriteConsoleW, which
// shows every script whatever the console's code page; a line goes out
// whole when it ends or the stream is flushed.
class ConsoleBuffer : public std::streambuf {
public:
    explicit ConsoleBuffer(HANDLE console) : console_(console) {}

protected:
    int_type overflow(int_type c) override
    {
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            pending_ += traits_type::to_char_type(c);
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* data, std::streamsize n) override
    {
        pending_.append(data, static_cast<std::size_t>(n));
        return n;
    }
    int sync() override
    {
        if (pending_.empty())
            return 0;
        const int length = static_cast<int>(pending_.size());
        std::wstring wide(static_cast<std::size_t>(::MultiByteToWideChar(CP_UTF8, 0, pending_.data(), length, nullptr, 0)), L'\0');
        ::MultiByteToWideChar(CP_UTF8, 0, pending_.data(), length, wide.data(), static_cast<int>(wide.size()));
        pending_.clear();
        // A console takes a line feed as the end of a line, return included.
        DWORD written = 0;
        return ::WriteConsoleW(console_, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) ? 0 : -1;
    }

private:
    HANDLE console_;
    std::string pending_;
};

} // namespace

std::vector<std::filesystem::path> commandLine(int argc, char* argv[])
{
    std::vector<std::filesystem::path> arguments;
    int count = 0;
    if (LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i) {
            const std::wstring argument = wide[i];
            if (i == 0) {
                arguments.emplace_back(argument);
            } else if (argument == L"/?") {
                arguments.emplace_back("--help"); // the Windows way to ask
            } else {
                for (std::filesystem::path& match : expand(argument))
                    arguments.push_back(std::move(match));
            }
        }
        ::LocalFree(wide);
        return arguments;
    }
    for (int i = 0; i < argc; ++i) // only if the system could not split it
        arguments.emplace_back(argv[i]);
    return arguments;
}

std::string displayName(const std::filesystem::path& path)
{
    return printableName(path.u8string(), false); // the separator
}

void prepareConsole()
{
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out != INVALID_HANDLE_VALUE && ::GetConsoleMode(out, &mode)) {
        static ConsoleBuffer console(out);
        std::cout.rdbuf(&console);
        return;
    }
    // A pipe or a file: UTF-8 bytes, as on other systems.
    ::SetConsoleOutputCP(CP_UTF8);
}

bool outputIsTerminal()
{
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

const char* shellExamples()
{
    return "  quiltpix --all -n archive\\\n"
           "  quiltpix --all archive\\\n"
           "  quiltpix --all -q *.mos\n"
           "  quiltpix --all *.bmp\n"
           "  quiltpix --all -q -o out\\ *.mos\n"
           "  cmd:        for %f in (*.mos) do quiltpix -q -o out\\ \"%f\"\n"
           "  batch file: for %%f in (*.mos) do quiltpix -q -o out\\ \"%%f\"\n"
           "  PowerShell: Get-ChildItem *.mos | ForEach-Object { quiltpix -q -o out\\ $_.FullName }\n"
           "Quote a folder without its last backslash, or double it: -o \"my out\\\\\" or\n"
           "-o \"my out/\"; Windows reads \"out\\\" as out\" followed by a quote.\n";
}

} // namespace quiltpix
