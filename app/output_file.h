#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "input_file.h"

namespace quiltpix {

// The output file. The bitmap is written where nobody else can reach it and
// appears under the output name only once it is complete, so that no
// half-written bitmap ever stands there, an existing file survives a failed
// conversion untouched, and a run that is killed leaves nothing behind.
//
// The output's folder is opened once; every later step works relative to it,
// so a long path works and nobody can swap the folder during the run.
//
// On Linux the file has no name at all until it is complete (O_TMPFILE). A
// new output is then linked straight under the output name; an existing one
// is replaced by linking under a fresh hidden name and renaming over it.
// Where the file system refuses unnamed files, the file is created under a
// fresh hidden name, exclusively and without following links, written
// through its descriptor only, and removed again if any catchable signal
// ends the run. On Windows the hidden file is marked for deletion until the
// commit, so the system removes it however the process ends.
//
// If the output name is a symbolic link the user owns (or the folder's owner
// does, or the folder is not a shared sticky one), the file it points to is
// the one replaced; another user's link in a shared sticky folder is refused.
// An existing file's owner and group are kept where the system lets us
// (root keeps both, a member of the old group the group), and its permission
// bits for those who still hold them: group bits go when the group changes,
// the umask applies when the owner does. A new file gets 0666 less the umask.
// Hard links to the old file keep the old picture. In a sticky folder that
// everybody may write to, another user's file is not replaced, not even by
// root (the kernel's fs.protected_regular=1 rule, whatever the setting).
class OutputFile {
public:
    OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile(); // discards the temporary file unless commit() succeeded

    // False when the output name cannot take a file, known before any work:
    // its folder is missing or does not let us create a file, it names a
    // directory, a device, a file we may not write or replace, or another
    // user's link in a shared folder.
    bool open(const std::filesystem::path& outputName);
    std::ostream& stream();
    // Writes n bytes at position pos of the new file, which grows to hold
    // them; for outputs whose every position is known in advance. False once
    // a write has failed (failure() says why).
    bool writeAt(std::uint64_t pos, const unsigned char* data, std::size_t n);
    // Flushes and puts the file in place, over whatever stands under the
    // output name; false if any of it fails.
    bool commit() { return commitChecked(nullptr); }
    // The same, over exactly the file that was judged to stand there
    // (`judged`; nothing when no file stood there). Where another file
    // stands there at the commit — one that appeared meanwhile, another
    // file, or the judged one written to since — nothing is replaced: false,
    // and changedMeanwhile() is true. The check and the replacement are one
    // step where the system can exchange two names (the exchange is undone
    // when the file exchanged out is not the one judged).
    bool commitOver(const std::optional<FileStamp>& judged) { return commitChecked(&judged); }
    bool changedMeanwhile() const;
    // Once open: the bytes an ordinary user may still write on the output's
    // file system; nothing when the system does not say.
    std::optional<std::uint64_t> freeSpace() const;

    // Once written, before commit(): whether a file stands under the output
    // name and holds exactly the bytes written. Then there is nothing to
    // replace, and not committing leaves it untouched (its inode and times).
    enum class Existing { none, same, differs };
    Existing compareWithExisting();
    // When the file under the output name was last changed, in the system's
    // units (comparable with InputFile::modified()); nothing for a new output.
    std::optional<std::int64_t> existingModified() const;

    // Why open, a write or commit failed, in the system's words ("No space
    // left on device") or a sentence of ours; empty while nothing has.
    const std::string& failure() const;

    struct State;

private:
    bool commitChecked(const std::optional<FileStamp>* judged);
    std::unique_ptr<State> state_;
};

// The line a run of many files ends with when SIGINT or SIGTERM (Ctrl-C on
// Windows) stops it: kept ready, so that it can be written from the signal
// handler, which then ends the process by the signal as before. Empty: none.
void setInterruptionLine(const std::string& line);

// Holds back SIGINT, SIGTERM and the other ending signals for its lifetime
// (nothing where the system has none), so that a step and the run's
// account of it happen together: an output put in place is counted in the
// interruption line before a Ctrl-C can end the run.
class SignalsDeferred {
public:
    SignalsDeferred();
    ~SignalsDeferred();
    SignalsDeferred(const SignalsDeferred&) = delete;
    SignalsDeferred& operator=(const SignalsDeferred&) = delete;
};

// A closed standard output (a reader that stopped early) or a file size limit
// must end in a failed write, never in the death of the process: ignores
// SIGPIPE and SIGXFSZ where the system has them.
void ignoreWriteSignals();

} // namespace quiltpix
