#include "progress.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace quiltpix {

Progress::Progress(bool shown, std::string prefix, RunProgress* run)
    : shown_(shown), prefix_(std::move(prefix)), run_(run)
{
    if (const char* after = std::getenv("QUILTPIX_PROGRESS_AFTER"))
        after_ = std::atof(after);
}

void Progress::update(int done, int total, std::uint64_t pixels)
{
    if (!shown_)
        return;
    if (done >= total) {
        erase(); // the lines that follow take its place
        return;
    }
    const Clock::time_point now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - (run_ ? run_->start : start_)).count();
    Clock::time_point& drawn = run_ ? run_->drawn : drawn_;
    if (seconds < after_ || (drawn != Clock::time_point{} && now - drawn < std::chrono::milliseconds(200)))
        return;
    drawn = now;
    char figures[200];
    if (run_) {
        // The run's share done: the files before, and this one's rows.
        const double done_ = static_cast<double>(run_->bytesDone) +
                             static_cast<double>(run_->bytesNow) * done / std::max(total, 1);
        const double left = done_ > 0 ? seconds * (static_cast<double>(run_->bytes) - done_) / done_ : 0;
        std::snprintf(figures, sizeof figures, "tile row %d of %d; %d of %d files done, %.0f s left", done, total,
                      run_->filesDone, run_->files, std::max(left, 0.0));
    } else {
        const double left = done > 0 ? seconds * (total - done) / done : 0;
        std::snprintf(figures, sizeof figures, "tile row %d of %d, %.1f megapixels a second, %.0f s left", done,
                      total, static_cast<double>(pixels) / 1e6 / seconds, left);
    }
    const std::string line = prefix_ + figures;
    // Spaces over what a longer line left; no escape sequences, which not
    // every console obeys.
    std::cout << '\r' << line << std::string(width_ > line.size() ? width_ - line.size() : 0, ' ') << std::flush;
    width_ = std::max(width_, line.size());
}

void Progress::erase()
{
    if (width_ == 0)
        return;
    std::cout << '\r' << std::string(width_, ' ') << '\r' << std::flush;
    width_ = 0;
}

} // namespace quiltpix
