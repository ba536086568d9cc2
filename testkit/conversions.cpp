#include "conversions.h"

#include <algorithm>
#include <exception>

namespace quiltpix {

bool MemorySink::writeAt(std::uint64_t pos, const unsigned char* data, std::size_t n)
{
    const std::size_t at = static_cast<std::size_t>(pos);
    if (bytes.size() < at + n)
        bytes.resize(at + n);
    std::copy(data, data + n, bytes.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
}

bool convertMosStream(std::istream& in, std::uint64_t inputSize, std::ostream& out, std::ostream* progress,
                      std::string* reason, const RowProgress& onRow)
{
    BmpWriter bitmap(out);
    return convertMos(in, inputSize, bitmap, progress, reason, onRow);
}

BitmapCheck checkBitmapStream(std::istream& in, std::uint64_t size)
{
    BitmapCheck check;
    try {
        BitmapReader reader(in, size);
        check.reason = reader.open();
        check.format = reader.format();
        if (check.reason.empty()) {
            const BitmapFormat& f = reader.format();
            const std::size_t stride = 3 * static_cast<std::size_t>(f.width);
            std::vector<unsigned char> rows(stride * 64);
            for (int done = 0; done < f.height && check.reason.empty(); done += 64)
                check.reason = reader.readRows(rows.data(), static_cast<std::ptrdiff_t>(stride), std::min(64, f.height - done));
        }
    } catch (const std::exception&) {
        check.reason = "out of memory";
    }
    check.whole = check.reason.empty();
    return check;
}

} // namespace quiltpix
