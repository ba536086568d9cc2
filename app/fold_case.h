#pragma once

#include <string>

namespace quiltpix {

// A UTF-8 name in lower case, beyond ASCII too (É and é, Ж and ж), as a
// folder that ignores case compares names; bytes that are not UTF-8 stay as
// they are.
std::string foldCase(const std::string& utf8);

} // namespace quiltpix
