#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quiltpix {

// What the command line asks for.
struct Options {
    bool quiet = false;
    bool check = false;
    bool help = false;
    bool version = false;
    bool dither = false;
    bool all = false;
    bool fresh = false; // the way back: a fresh layout, whatever the output name holds
    bool force = false; // replace an output even where that would lose an edit
    bool png = false;   // MOS files become PNG (STEM.png), not bitmaps
    bool small = false; // PNG: smaller and slower
    bool dryRun = false; // judge everything as the run would, write nothing
    std::optional<std::filesystem::path> output;
    std::optional<std::filesystem::path> like; // an original, or with --all a folder of them
    std::vector<std::filesystem::path> files;
    std::string error; // an unknown option, one without its value, or two that do not go together
};

// Options come first and combine; "--" ends them, and so does the first file.
// A file named like an option is reached as ./-x or after "--". Element 0 is
// the program's own path.
Options parse(const std::vector<std::filesystem::path>& arguments);

} // namespace quiltpix
