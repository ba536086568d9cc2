// Runs the program under test as a user would, from a shell in a fresh
// folder of the test's own, and gives back what it printed.
#pragma once

#include "picture.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace quiltpix::testkit;

namespace {

const std::string banner = "Quiltpix v1.0 by Wenderby\n";
// The emulator that runs the program on a cross build, or nothing.
const std::string runner = std::string(QUILTPIX_RUNNER).empty() ? "" : std::string(QUILTPIX_RUNNER) + " ";
const std::string usage = "Usage: quiltpix <mosfile>\nRun 'quiltpix --help' for the options and more forms.\n";

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string slurp(const fs::path& path)
{
    const Bytes b = readFile(path.string());
    return std::string(b.begin(), b.end());
}

// Each test works in a fresh directory of its own.
class Driver : public ScratchDir {
protected:
    // Runs the program in the test's directory; `prefix` is shell code run
    // first (limits, traps). Gives up after 20 s, so a hang fails the test.
    Outcome run(const std::vector<std::string>& args, const std::string& prefix = "", const char* exe = QUILTPIX_EXE)
    {
        std::string command = "cd " + quote(dir_.string()) + " && " + prefix + " exec timeout 20 " + runner + quote(exe);
        for (const std::string& a : args)
            command += " " + quote(a);
        command += " >" + quote((dir_ / ".out").string()) + " 2>" + quote((dir_ / ".err").string()) + " </dev/null";
        Outcome r;
        const int raw = std::system(("sh -c " + quote(command)).c_str());
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = slurp(dir_ / ".out");
        r.err = slurp(dir_ / ".err");
        fs::remove(dir_ / ".out");
        fs::remove(dir_ / ".err");
        return r;
    }

    fs::path put(const std::string& name, const Bytes& bytes)
    {
        const fs::path path = dir_ / name;
        fs::create_directories(path.parent_path());
        EXPECT_TRUE(writeFile(path.string(), bytes));
        return path;
    }

    // Names in the directory, to see that nothing was left behind (but the
    // record of what runs wrote, which is meant to stay).
    std::vector<std::string> listing()
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(dir_))
            if (entry.path().filename() != ".quiltpix-record")
                names.push_back(fs::relative(entry.path(), dir_).string());
        std::sort(names.begin(), names.end());
        return names;
    }

};

} // namespace
