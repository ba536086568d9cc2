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
class Progress {
public:
    // `shown`: standard output is a terminal and the run is not quiet.
    // `prefix` goes before the figures ("[17/200] ", say).
    Progress(bool shown, std::string prefix = "");
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
    Clock::time_point start_ = Clock::now(), drawn_{};
    double after_ = 1.0;
    std::size_t width_ = 0; // of the line on the screen; 0 when none is
};

} // namespace quiltpix
