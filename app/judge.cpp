#include "judge.h"

#include "console.h"
#include "digest.h"
#include "mos_reading.h"
#include "output_name.h"

#include <system_error>

namespace quiltpix {

namespace fs = std::filesystem;

namespace {

// The command that puts a picture back into the MOS file it came from.
std::string putBackCommand(const fs::path& picture, const fs::path& mos)
{
    std::error_code e1, e2;
    const fs::path derived = makeOutputName(picture, ".mos");
    if (fs::equivalent(derived, mos, e1) && !e1)
        return "quiltpix " + displayName(picture);
    (void)e2;
    return "quiltpix -o " + displayName(mos) + " " + displayName(picture);
}

} // namespace

Judgement judgeExisting(const fs::path& output, OutputFile& file, const Made& made,
                        const std::optional<RecordEntry>& record)
{
    Judgement j;
    InputFile existing;
    const std::string problem = existing.open(output);
    if (!problem.empty()) {
        std::error_code error;
        if (!fs::exists(fs::status(output, error)))
            return j;
        j.verdict = Verdict::keep;
        j.why = "it cannot be read to tell whether it holds an edit (" + problem + "); use --force to replace it";
        return j;
    }
    j.stamp = existing.stamp();
    if (!made.bytesDiffer && file.compareWithExisting() == OutputFile::Existing::same) {
        j.verdict = Verdict::same;
        return j;
    }
    if (made.mos) {
        MosPlan plan;
        const std::string why = planMos(existing.stream(), existing.size(), plan);
        if (why.empty()) {
            j.verdict = Verdict::replace;
        } else {
            j.verdict = Verdict::keep;
            j.why = "not a whole MOS file (" + why +
                    "): another program's file or a damaged original, so it is kept; use --force to replace it";
        }
        return j;
    }
    TileDigests held;
    if (!digestPicture(existing.stream(), existing.size(), held).empty() ||
        held.picture() == made.pixels || (record && record->pixels == held.picture())) {
        j.verdict = Verdict::replace;
        return j;
    }
    j.verdict = Verdict::keep;
    const std::string way = made.input ? "put it back first (" + putBackCommand(output, *made.input) + ")" : "";
    j.why = std::string(record ? "edited since quiltpix wrote it" : "its pixels differ from what quiltpix would write, and no record says quiltpix wrote them") +
            ", so it is kept as an edit; " + (way.empty() ? "" : way + ", or ") + "use --force to replace it";
    return j;
}

} // namespace quiltpix
