// The input with nothing but the standard library: judged by name, then
// opened. (Between the two, the name could change; the systems above avoid
// that by judging the open file.)
#include "input_file.h"

#include <fstream>
#include <system_error>

namespace quiltpix {

struct InputFile::State {
    std::ifstream stream;
    std::uint64_t size = 0;
    std::int64_t modified = 0;
    std::filesystem::path path;
    FileStamp stamp;
};

namespace {

// The standard library tells no file's identity: its size and time must do.
std::optional<FileStamp> stampOf(const std::filesystem::path& path)
{
    std::error_code error;
    FileStamp s;
    s.size = static_cast<std::uint64_t>(std::filesystem::file_size(path, error));
    if (error)
        return std::nullopt;
    s.modified = static_cast<std::int64_t>(std::filesystem::last_write_time(path, error).time_since_epoch().count());
    if (error)
        return std::nullopt;
    s.changed = s.modified;
    return s;
}

} // namespace

InputFile::InputFile() : state_(std::make_unique<State>()) {}
InputFile::~InputFile() = default;

std::string InputFile::open(const std::filesystem::path& path)
{
    State& s = *state_;
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (error)
        return error.default_error_condition().message();
    if (std::filesystem::is_directory(status))
        return std::make_error_code(std::errc::is_a_directory).message();
    if (!std::filesystem::is_regular_file(status))
        return "not a regular file";
    s.stream.open(path, std::ios::binary);
    if (!s.stream)
        return std::make_error_code(std::errc::permission_denied).message();
    s.size = static_cast<std::uint64_t>(std::filesystem::file_size(path, error));
    if (!error)
        s.modified = static_cast<std::int64_t>(std::filesystem::last_write_time(path, error).time_since_epoch().count());
    if (error)
        return error.default_error_condition().message();
    s.path = path;
    if (const auto stamp = stampOf(path))
        s.stamp = *stamp;
    return "";
}

const FileStamp& InputFile::stamp() const
{
    return state_->stamp;
}

std::optional<FileStamp> InputFile::stampNow() const
{
    return state_->path.empty() ? std::nullopt : stampOf(state_->path);
}

void InputFile::close()
{
    state_->stream.close();
}

std::istream& InputFile::stream()
{
    return state_->stream;
}

std::uint64_t InputFile::size() const
{
    return state_->size;
}

std::int64_t InputFile::modified() const
{
    return state_->modified;
}

bool InputFile::nextData(std::uint64_t from, std::uint64_t& start, std::uint64_t& end) const
{
    start = from;
    end = state_->size;
    return from < end;
}

std::int64_t fileTimeNow()
{
    return static_cast<std::int64_t>(std::filesystem::file_time_type::clock::now().time_since_epoch().count());
}

std::int64_t fileTicksPerSecond()
{
    using Duration = std::filesystem::file_time_type::duration;
    return static_cast<std::int64_t>(Duration::period::den / Duration::period::num);
}

} // namespace quiltpix
