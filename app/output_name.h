#pragma once

#include <string>

namespace quiltpix {

// The input path cut at its last '.' (anywhere in the path, unless that '.' is
// its first character), with ".bmp" appended.
std::string makeOutputName(const std::string& inputPath);

} // namespace quiltpix
