#pragma once

#include <memory>
#include <ostream>
#include <string>

namespace quiltpix {

// The output file. The bitmap is written where nobody else can reach it and
// appears under the output name only once it is complete, so that no
// half-written bitmap ever stands there, an existing file survives a failed
// conversion untouched, and a run that is killed leaves nothing behind.
//
// On Linux the file has no name at all until it is complete (O_TMPFILE); it
// is written through one descriptor from creation to commit, then linked under
// a fresh hidden name and renamed over the output. Where the file system
// refuses unnamed files, it is created under a fresh hidden name, exclusively
// and without following links, written through its descriptor only, and
// removed again if SIGINT, SIGTERM, SIGHUP or SIGQUIT ends the run.
//
// If the output name is a symbolic link, the file it points to is the one
// replaced. An existing file's permission bits are kept; a new file gets
// 0666 less the umask. Ownership and hard links of the old file are not kept.
class OutputFile {
public:
    OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile(); // discards the temporary file unless commit() succeeded

    // False when the output name cannot take a file: its directory is missing
    // or does not let us create a file, or it names a directory, a device or
    // a file we may not write.
    bool open(const std::string& outputName);
    std::ostream& stream();
    // Flushes, syncs and puts the file in place; false if any of it fails.
    bool commit();

    struct State;

private:
    std::unique_ptr<State> state_;
};

// A closed standard output (a reader that stopped early) or a file size limit
// must end in a failed write, never in the death of the process: ignores
// SIGPIPE and SIGXFSZ where the system has them.
void ignoreWriteSignals();

} // namespace quiltpix
