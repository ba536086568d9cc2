#pragma once

#include <filesystem>

namespace quiltpix {

// The input path cut at its last '.' (anywhere in the path, unless that '.' is
// its first character), with the extension (".bmp", or ".mos" for the way
// back) appended.
std::filesystem::path makeOutputName(const std::filesystem::path& inputPath, const char* extension = ".bmp");

// The output for `-o FOLDER`: the input's file name alone, cut and extended by
// the same rule, inside that folder.
std::filesystem::path outputNameInFolder(const std::filesystem::path& folder, const std::filesystem::path& inputPath,
                                         const char* extension = ".bmp");

// Whether `-o PATH` names a folder: one that exists, or a path that ends in a
// separator.
bool namesFolder(const std::filesystem::path& path);

} // namespace quiltpix
