// The record file with nothing but the standard library: no lock, so two
// runs at once in one folder can interleave their lines; a line that does
// not read back whole is ignored, which only makes the next run careful.
#include "record_file.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>

namespace quiltpix {

RecordText readRecordFile(const std::filesystem::path& path, std::uint64_t limit)
{
    RecordText result;
    std::error_code error;
    result.exists = std::filesystem::exists(path, error);
    if (!result.exists || !std::filesystem::is_regular_file(path, error))
        return result;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return result;
    result.text.resize(static_cast<std::size_t>(std::min<std::uint64_t>(limit, std::filesystem::file_size(path, error))));
    in.read(&result.text[0], static_cast<std::streamsize>(result.text.size()));
    result.text.resize(static_cast<std::size_t>(in.gcount()));
    result.trusted = true;
    return result;
}

bool appendRecordFile(const std::filesystem::path& path, const std::string& header, const std::string& lines,
                      std::uint64_t compactAbove, std::uint64_t limit,
                      const std::function<std::string(const std::string&)>& compact)
{
    std::error_code error;
    const bool fresh = !std::filesystem::exists(path, error) || std::filesystem::file_size(path, error) == 0;
    {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        if (!(out << (fresh ? header : std::string()) << lines))
            return false;
    }
    if (std::filesystem::file_size(path, error) > compactAbove && !error) {
        const RecordText all = readRecordFile(path, limit);
        std::filesystem::path next = path;
        next += ".new";
        std::ofstream out(next, std::ios::binary | std::ios::trunc);
        if (out << compact(all.text)) {
            out.close();
            std::filesystem::rename(next, path, error);
        }
    }
    return true;
}

} // namespace quiltpix
