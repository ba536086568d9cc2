#pragma once

#include <filesystem>
#include <string>

namespace quiltpix {

// Makes `folder` and any of its parents that are missing, one at a time,
// following links on the way only under the rule the inputs and outputs
// follow (never another user's link in a shared folder). "" when the folder
// is there afterwards; otherwise why not.
std::string makeFolders(const std::filesystem::path& folder);

} // namespace quiltpix
