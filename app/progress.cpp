#include "progress.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace quiltpix {

Progress::Progress(bool shown, std::string prefix) : shown_(shown), prefix_(std::move(prefix))
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
    const double seconds = std::chrono::duration<double>(now - start_).count();
    if (seconds < after_ || (width_ > 0 && now - drawn_ < std::chrono::milliseconds(200)))
        return;
    drawn_ = now;
    const double left = done > 0 ? seconds * (total - done) / done : 0;
    char figures[160];
    std::snprintf(figures, sizeof figures, "tile row %d of %d, %.1f megapixels a second, %.0f s left", done, total,
                  static_cast<double>(pixels) / 1e6 / seconds, left);
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
