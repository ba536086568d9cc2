// Fuzz entry point: converts the input in memory and checks the result
// against the independent reference reading. A whole file must convert to
// exactly the picture its bytes describe; anything else must fail having
// written nothing; and the check users run with --check must say "whole"
// exactly when the conversion succeeds. Any disagreement aborts, so the
// fuzzer keeps the input.
#include "convert.h"
#include "picture.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

using namespace quiltpix::testkit;

namespace {

[[noreturn]] void disagree(const char* what)
{
    std::fprintf(stderr, "fuzz: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::istringstream in(bytes);
    std::ostringstream out;
    const bool converted = quiltpix::convertMosStream(in, size, out, nullptr);

    std::istringstream again(bytes);
    if (quiltpix::checkMosStream(again, size).whole != converted)
        disagree(converted ? "the check refuses a file that converts" : "the check passes a file that does not convert");

    const auto expected = referenceDecode(Bytes(data, data + size));
    if (converted != expected.has_value())
        disagree(converted ? "converted a file that is not whole" : "refused a whole file");
    const std::string written = out.str();
    if (!converted) {
        if (!written.empty())
            disagree("failed but wrote bytes");
        return 0;
    }
    const auto actual = readBitmap(Bytes(written.begin(), written.end()));
    if (!actual)
        disagree("wrote a malformed bitmap");
    if (!firstDifference(*expected, *actual).empty())
        disagree("wrote the wrong picture");
    return 0;
}
