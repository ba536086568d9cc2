// libFuzzer's entry point for the PNG reader (properties.h): its own target,
// so that mutations spend their time inside PNG files.
#include "png_reader.h"
#include "properties.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (quiltpix::looksLikePng(data, size))
        fuzzPictureReader(data, size);
    return 0;
}
