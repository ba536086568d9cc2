// The output file with nothing but the standard library, for systems without
// the POSIX calls: a named temporary, renamed into place when complete. A
// run killed by a signal may leave the temporary behind here.
#include "output_file.h"
#include "output_target.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace quiltpix {
namespace fs = std::filesystem;

struct OutputFile::State {
    fs::path target;
    fs::path temporary;
    std::ofstream stream;
    bool committed = false;
};

namespace {

// Only a regular file may be replaced, and only one we could have written to.
bool canReplace(const fs::path& target)
{
    std::error_code error;
    const fs::file_status status = fs::symlink_status(target, error);
    if (status.type() == fs::file_type::not_found)
        return true;
    if (error || status.type() != fs::file_type::regular)
        return false;
    // Opening for appending changes nothing in the file.
    std::ofstream probe(target, std::ios::binary | std::ios::app);
    return static_cast<bool>(probe);
}

// Creates a new, empty file that no other process holds ("x": fail if it
// exists), under a hidden name beside the target.
bool createTemporary(const fs::path& target, fs::path& temporary)
{
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = hiddenName(target, random);
        errno = 0;
        if (std::FILE* file = std::fopen(temporary.string().c_str(), "wbx")) {
            std::fclose(file);
            return true;
        }
        if (errno != EEXIST)
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

bool OutputFile::open(const std::string& outputName)
{
    State& s = *state_;
    s.target = resolveLinks(outputName);
    if (!canReplace(s.target) || !createTemporary(s.target, s.temporary))
        return false;
    std::error_code error;
    const fs::file_status existing = fs::status(s.target, error);
    if (!error && fs::is_regular_file(existing))
        fs::permissions(s.temporary, existing.permissions(), error); // best effort
    s.stream.open(s.temporary, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(s.stream);
}

std::ostream& OutputFile::stream()
{
    return state_->stream;
}

bool OutputFile::commit()
{
    State& s = *state_;
    s.stream.close();
    if (s.stream.fail())
        return false;
    std::error_code error;
    fs::rename(s.temporary, s.target, error);
    s.committed = !error;
    return s.committed;
}

void ignoreWriteSignals() {}

} // namespace quiltpix
