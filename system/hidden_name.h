#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace quiltpix {

// A fresh hidden name for the bitmap to stand under, in the output's folder,
// until it is put in place: ".NAME.<16 hex digits>.part". NAME is the output's
// file name, cut short where needed so that the whole stays within nameMax
// (the file system's limit, in bytes or, on Windows, UTF-16 units); the cut
// never falls inside a character, so the name stays valid text.
std::filesystem::path hiddenName(const std::filesystem::path& fileName, std::uint64_t random, std::size_t nameMax);

// Whether `candidate` is one of the names hiddenName gives `fileName` under
// the same limit, whatever its digits: a temporary of that output.
bool isHiddenNameOf(const std::filesystem::path& candidate, const std::filesystem::path& fileName, std::size_t nameMax);

} // namespace quiltpix
