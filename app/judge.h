// What may replace a file that already stands under an output name. File
// times decide nothing: the pixels do, and the record of what runs wrote.
#pragma once

#include "input_file.h"
#include "output_file.h"
#include "record.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace quiltpix {

enum class Verdict {
    none,    // nothing stands there
    same,    // it holds exactly the bytes this run made: left untouched
    replace, // nothing is lost by replacing it
    keep,    // it holds something of the user's: kept unless --force
};

struct Judgement {
    Verdict verdict = Verdict::none;
    std::optional<FileStamp> stamp; // the file judged, for the commit
    std::string why;                // for keep: why, and the way forward
};

// The file under `output` against what this run wrote to `file` (before its
// commit), made from `input`:
// - a picture (BMP or PNG name) is replaced when it holds no picture the
//   program reads, the pixels this run made (a re-save), or the pixels the
//   record says the program wrote there; otherwise it is the user's;
// - a MOS name is replaced when it holds a whole MOS file (the way back
//   writes into its original; --fresh and --like say to replace it), and
//   kept when it holds anything else (another program's file, a damaged
//   original).
struct Made {
    bool mos = false;            // the output is a MOS file
    std::uint64_t pixels = 0;    // the digest of the pixels this run made
    const std::filesystem::path* input = nullptr;
    bool bytesDiffer = false;    // compared already while it was made
};
Judgement judgeExisting(const std::filesystem::path& output, OutputFile& file, const Made& made,
                        const std::optional<RecordEntry>& record);

} // namespace quiltpix
