#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace quiltpix {

// Makes `folder` and any of its parents that are missing, one at a time,
// following links on the way only under the rule the inputs and outputs
// follow (never another user's link in a shared folder). "" when the folder
// is there afterwards; otherwise why not.
std::string makeFolders(const std::filesystem::path& folder);

// The bytes an unprivileged writer may still put on the file system that
// holds `folder`; nothing when the system cannot say.
std::optional<std::uint64_t> freeBytes(const std::filesystem::path& folder);

} // namespace quiltpix
