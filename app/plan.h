#pragma once

#include "identity.h"
#include "input_file.h"
#include "options.h"
#include "record.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quiltpix {

// One run's work, known whole before anything is written: each input, its
// direction, its output and its original, and what the run as a whole
// refuses. A single run, --all and --check share it.
struct PlannedFile {
    std::filesystem::path input;
    bool bitmap = false; // the way back (a bitmap or a PNG)
    bool png = false;    // a MOS file to be written as PNG
    std::filesystem::path output;
    // The way back: the MOS file the picture came from, its original, where
    // it has one: the file --like names (or its match in --like's folder),
    // else, unless --fresh, a whole MOS file under the output name (then
    // `originalAtOutput`: the put-back in place).
    std::optional<std::filesystem::path> original;
    bool originalAtOutput = false;
    // Why a file under the output name is not the original ("" when there
    // is none, or it is): it is then judged as any output is.
    std::string notOriginal;
    // With --like FOLDER: the folder in which no original was found.
    std::optional<std::filesystem::path> noOriginalIn;
    // A MOS file and its picture named in one run are one job, decided by
    // the record (decidePair): on the MOS file's entry, the picture's index
    // in the plan; the picture's own entry is `inPair`, done with it.
    std::optional<std::size_t> partner;
    bool inPair = false;
    // Why the run refuses it, before any work: "" to convert it.
    std::string refusal;
    bool overwritesItself = false; // the output is the input file itself
    bool repeated = false;         // the same file as one named before it: done once
    // A run of one file keeps the input open from the plan to its reading,
    // so that it is opened once; --all opens each again in its turn (and
    // refuses one whose kind changed meanwhile), holding few descriptors.
    std::shared_ptr<InputFile> opened;
};

std::vector<PlannedFile> makePlan(const Options& o);

// Which way a MOS file and its picture, named in one run, go: by what the
// record says they were when they last agreed, the side that changed since
// is the input. A pair whose pixels agree is unchanged (and recorded so,
// unless `dryRun`); both changed, or no record and pixels that differ, is
// refused, naming both.
struct PairDecision {
    enum class Way { forward, back, unchanged, refused } way = Way::refused;
    std::string why; // for refused
};
PairDecision decidePair(const PlannedFile& mos, const PlannedFile& picture, Records& records, bool dryRun);

// A file that begins with "BM" or the PNG signature goes the way back;
// anything else is read as a MOS file, whose first bytes are never examined.
bool isBitmap(InputFile& file);

} // namespace quiltpix
