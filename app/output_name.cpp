#include "output_name.h"

namespace quiltpix {

std::string makeOutputName(const std::string& inputPath)
{
    // The search deliberately does not stop at a path separator: names like
    // "maps.old/tiles" become "maps.bmp", as users of earlier versions know.
    const std::string::size_type dot = inputPath.rfind('.');
    std::string name = (dot != std::string::npos && dot > 0) ? inputPath.substr(0, dot) : inputPath;
    return name + ".bmp";
}

} // namespace quiltpix
