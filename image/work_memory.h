#pragma once

#include <cstddef>

namespace quiltpix {

// One block of working memory for a whole conversion, allocated once and
// never zeroed: in a fresh process every first touch of a page is a fault,
// so fewer, larger pages cost less. A block of 1 MiB or more is aligned to
// 2 MiB and offered to the system for huge pages (a hint it may ignore).
class WorkMemory {
public:
    explicit WorkMemory(std::size_t bytes); // throws std::bad_alloc
    ~WorkMemory();
    WorkMemory(const WorkMemory&) = delete;
    WorkMemory& operator=(const WorkMemory&) = delete;

    unsigned char* data() { return data_; }

private:
    unsigned char* data_ = nullptr;
};

} // namespace quiltpix
