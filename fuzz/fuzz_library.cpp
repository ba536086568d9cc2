// libFuzzer's entry point for one property (properties.h).
#include "properties.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzLibrary(data, size);
    return 0;
}
