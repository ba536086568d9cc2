// The output file with nothing but the standard library, for systems that
// have neither the POSIX calls nor Windows': a named temporary, renamed into
// place when complete. A run killed by a signal may leave the temporary
// behind here, and a link is replaced rather than followed.
#include "output_file.h"
#include "hidden_name.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <system_error>
#include <vector>

namespace quiltpix {
namespace fs = std::filesystem;

struct OutputFile::State {
    fs::path target;
    fs::path temporary;
    std::ofstream stream;
    bool committed = false;
    bool changedMeanwhile = false;
    std::string failure;
};

namespace {

std::string message(std::errc code)
{
    return std::make_error_code(code).message();
}

// Only a regular file may be replaced, and only one we could have written to.
std::string whyNotReplaceable(const fs::path& target)
{
    std::error_code error;
    const fs::file_status status = fs::symlink_status(target, error);
    if (status.type() == fs::file_type::not_found)
        return "";
    if (error)
        return error.message();
    if (status.type() == fs::file_type::directory)
        return message(std::errc::is_a_directory);
    if (status.type() != fs::file_type::regular)
        return "not a regular file";
    // Opening for appending changes nothing in the file.
    std::ofstream probe(target, std::ios::binary | std::ios::app);
    return probe ? "" : message(std::errc::permission_denied);
}

// Creates a new, empty file under a hidden name beside the target ("x": fail
// if it exists, where the C library honours it).
bool createTemporary(const fs::path& target, fs::path& temporary)
{
    std::mt19937_64 random(std::random_device{}());
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = target.parent_path() / hiddenName(target.filename(), random(), 255);
        if (std::FILE* file = std::fopen(temporary.string().c_str(), "wbx")) {
            std::fclose(file);
            return true;
        }
        std::error_code error;
        if (!fs::exists(temporary, error))
            break;
    }
    temporary.clear();
    return false;
}

} // namespace

OutputFile::OutputFile() : state_(std::make_unique<State>()) {}

OutputFile::~OutputFile()
{
    if (state_->committed || state_->temporary.empty())
        return;
    state_->stream.close();
    std::error_code error;
    fs::remove(state_->temporary, error);
}

bool OutputFile::open(const fs::path& outputName)
{
    State& s = *state_;
    s.target = outputName;
    s.failure = whyNotReplaceable(s.target);
    if (!s.failure.empty())
        return false;
    if (!createTemporary(s.target, s.temporary)) {
        s.failure = message(std::errc::permission_denied);
        return false;
    }
    std::error_code error;
    const fs::file_status existing = fs::status(s.target, error);
    if (!error && fs::is_regular_file(existing))
        fs::permissions(s.temporary, existing.permissions(), error); // best effort
    s.stream.open(s.temporary, std::ios::binary | std::ios::trunc);
    if (!s.stream)
        s.failure = message(std::errc::permission_denied);
    return static_cast<bool>(s.stream);
}

std::ostream& OutputFile::stream()
{
    return state_->stream;
}

bool OutputFile::writeAt(std::uint64_t pos, const unsigned char* data, std::size_t n)
{
    std::ofstream& out = state_->stream;
    out.seekp(static_cast<std::streamoff>(pos));
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
    return static_cast<bool>(out);
}

const std::string& OutputFile::failure() const
{
    return state_->failure;
}

bool OutputFile::changedMeanwhile() const
{
    return state_->changedMeanwhile;
}

bool OutputFile::commitChecked(const std::optional<FileStamp>* judged)
{
    State& s = *state_;
    if (judged) {
        // The last look before the rename: size and time are all the
        // standard library tells of a file.
        std::error_code error;
        const bool stands = fs::exists(s.target, error);
        bool same = stands && *judged;
        if (same) {
            const auto size = fs::file_size(s.target, error);
            const auto time = fs::last_write_time(s.target, error);
            same = !error && size == (*judged)->size &&
                   static_cast<std::int64_t>(time.time_since_epoch().count()) == (*judged)->modified;
        }
        if (stands && !same) {
            s.changedMeanwhile = true;
            s.failure = "it changed while this run worked, so it was left as it is; run again to judge it anew";
            return false;
        }
    }
    s.stream.close();
    if (s.stream.fail()) {
        s.failure = message(std::errc::io_error);
        return false;
    }
    std::error_code error;
    fs::rename(s.temporary, s.target, error);
    s.committed = !error;
    if (error)
        s.failure = error.message();
    return s.committed;
}

std::optional<std::uint64_t> OutputFile::freeSpace() const
{
    std::error_code error;
    const fs::space_info space = fs::space(fs::absolute(state_->target, error).parent_path(), error);
    if (error || space.available == static_cast<std::uintmax_t>(-1))
        return std::nullopt;
    return static_cast<std::uint64_t>(space.available);
}

OutputFile::Existing OutputFile::compareWithExisting()
{
    State& s = *state_;
    std::error_code error;
    if (!fs::is_regular_file(s.target, error) || !s.stream.flush())
        return Existing::none;
    if (fs::file_size(s.target, error) != fs::file_size(s.temporary, error) || error)
        return Existing::differs;
    std::ifstream a(s.temporary, std::ios::binary), b(s.target, std::ios::binary);
    std::vector<char> x(1 << 20), y(1 << 20);
    while (a && b) {
        a.read(x.data(), static_cast<std::streamsize>(x.size()));
        b.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (a.gcount() != b.gcount() || !std::equal(x.begin(), x.begin() + a.gcount(), y.begin()))
            return Existing::differs;
    }
    return Existing::same;
}

std::optional<std::int64_t> OutputFile::existingModified() const
{
    std::error_code error;
    const auto when = fs::last_write_time(state_->target, error);
    if (error)
        return std::nullopt;
    return static_cast<std::int64_t>(when.time_since_epoch().count());
}

// The console's Ctrl-C arrives on a thread of its own, and the system ends
// the process only after the handler returns; nothing to hold back here.
SignalsDeferred::SignalsDeferred() {}
SignalsDeferred::~SignalsDeferred() {}

void ignoreWriteSignals() {}

// The standard library has no way to learn of an interruption.
void setInterruptionLine(const std::string&) {}

} // namespace quiltpix
