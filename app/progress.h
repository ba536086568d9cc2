#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace quiltpix {

// One line of a long conversion's progress, on a terminal only: drawn once
// the work has taken about a second (QUILTPIX_PROGRESS_AFTER, in seconds,
// changes that), redrawn in place a few times a second, and erased before
// any other line is printed, so that what stays on the screen, and all that
// a pipe or a file gets, is the program's ordinary lines.
// A run of many files, as the progress of one of them shows it: the files
// done, and the time left for the run, from the bytes of input done.
struct RunProgress {
    using Clock = std::chrono::steady_clock;
    Clock::time_point start = Clock::now();
    int filesDone = 0, files = 0;
    std::uint64_t bytesDone = 0, bytes = 0; // of the inputs
    std::uint64_t bytesNow = 0;             // the size of the file being converted
    Clock::time_point drawn{};              // when a line was last drawn, by any file
};

class Progress {
public:
    // `shown`: standard output is a terminal and the run is not quiet.
    // `prefix` goes before the figures ("[17/200] ", say). With `run`, the
    // line carries the run: it is drawn once the run has taken a second.
    Progress(bool shown, std::string prefix = "", RunProgress* run = nullptr);
    ~Progress() { erase(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // After each tile row: how many of how many, and the pixels done so far.
    void update(int done, int total, std::uint64_t pixels);
    // Takes the line off the screen, if it is there.
    void erase();

private:
    using Clock = std::chrono::steady_clock;
    bool shown_;
    std::string prefix_;
    RunProgress* run_;
    Clock::time_point start_ = Clock::now(), drawn_{};
    double after_ = 1.0;
    std::size_t width_ = 0; // of the line on the screen; 0 when none is
};

} // namespace quiltpix
