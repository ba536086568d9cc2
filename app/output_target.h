#pragma once

#include <filesystem>
#include <random>
#include <string>

namespace quiltpix {

// Follows a chain of symbolic links, dangling or not, to the name that a plain
// open for writing would create or truncate.
std::filesystem::path resolveLinks(std::filesystem::path path);

// A fresh hidden name beside the target for the finished bitmap to stand
// under until it is renamed into place: ".NAME.<16 hex digits>.part".
std::filesystem::path hiddenName(const std::filesystem::path& target, std::mt19937_64& random);

} // namespace quiltpix
