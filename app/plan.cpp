#include "plan.h"

#include "picture_reader.h"
#include "console.h"
#include "output_name.h"
#include "fold_case.h"
#include "mos_reading.h"
#include "digest.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <system_error>

namespace quiltpix {
namespace fs = std::filesystem;

namespace {

std::string lower(const std::string& s)
{
    return foldCase(s);
}

// The names in folders, each read once however many files of the run are
// in it, by their lower-case form.
class Folders {
public:
    // The name in `folder` that is `name` in any case: the exact one if it
    // is there, else the first in name order.
    std::optional<fs::path> find(const fs::path& folder, const fs::path& name)
    {
        const auto& names = listing(folder);
        const auto range = names.equal_range(lower(name.u8string()));
        std::optional<fs::path> found;
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == name)
                return it->second;
            if (!found || it->second < *found)
                found = it->second;
        }
        return found;
    }

private:
    const std::multimap<std::string, fs::path>& listing(const fs::path& folder)
    {
        auto known = cache_.find(folder);
        if (known != cache_.end())
            return known->second;
        std::multimap<std::string, fs::path>& names = cache_[folder];
        std::error_code error;
        for (fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, error), end; !error && it != end;
             it.increment(error))
            names.emplace(lower(it->path().filename().u8string()), it->path().filename());
        return names;
    }

    std::map<fs::path, std::multimap<std::string, fs::path>> cache_;
};

// The way back's output: beside the input, or in -o's folder, named after it
// with the case of a MOS file already there (PIC010.MOS stays PIC010.MOS),
// else ".MOS" for an input whose extension is upper case.
fs::path backOutput(const Options& o, const fs::path& input, Folders& folders)
{
    if (o.output && !o.all && !namesFolder(*o.output))
        return *o.output;
    const fs::path derived = o.output ? outputNameInFolder(*o.output, input, ".mos") : makeOutputName(input, ".mos");
    const fs::path folder = derived.parent_path();
    if (const auto existing = folders.find(folder, derived.filename()))
        return folder / *existing;
    const std::string name = input.filename().u8string();
    const std::size_t dot = name.rfind('.');
    const std::string extension = dot == std::string::npos || dot == 0 ? "" : name.substr(dot + 1);
    const bool upper = !extension.empty() && std::none_of(extension.begin(), extension.end(), [](char c) {
        return std::islower(static_cast<unsigned char>(c));
    });
    if (!upper)
        return derived;
    fs::path renamed = derived;
    return renamed.replace_extension(".MOS");
}

// A key for a path whose folder cannot be reached: its text, made absolute,
// so that it still meets its own kind.
FileKey keyOf(const fs::path& path)
{
    if (const auto key = identify(path))
        return *key;
    std::error_code error;
    FileKey key;
    key.device = key.inode = ~std::uint64_t{0};
    key.name = fs::absolute(path, error).lexically_normal().u8string();
    return key;
}

} // namespace

bool isBitmap(InputFile& file)
{
    std::istream& in = file.stream();
    unsigned char head[8] = {};
    in.seekg(0);
    in.read(reinterpret_cast<char*>(head), 8);
    const bool bitmap = looksLikePicture(head, static_cast<std::size_t>(in.gcount()));
    in.clear();
    in.seekg(0);
    return bitmap;
}

bool isPictureName(const fs::path& name)
{
    const std::string e = lower(name.extension().u8string());
    return e == ".mos" || e == ".bmp" || e == ".png";
}

std::vector<fs::path> namedFiles(const Options& o)
{
    if (!o.all)
        return o.files;
    // A folder stands for the files in it (not in its folders) whose names
    // end in .mos, .bmp or .png, in any case, in name order.
    std::vector<fs::path> files;
    for (const fs::path& named : o.files) {
        std::error_code error;
        if (!fs::is_directory(named, error)) {
            files.push_back(named);
            continue;
        }
        std::vector<fs::path> inside;
        for (fs::directory_iterator it(named, error), end; !error && it != end; it.increment(error))
            if (isPictureName(it->path()) && !it->is_directory(error))
                inside.push_back(named / it->path().filename());
        std::sort(inside.begin(), inside.end());
        files.insert(files.end(), inside.begin(), inside.end());
    }
    return files;
}

std::vector<PlannedFile> makePlan(const Options& o)
{
    const std::vector<fs::path> named = namedFiles(o);
    const std::size_t n = named.size();
    std::vector<PlannedFile> plan(n);
    std::vector<FileKey> inputs(n), outputs(n);
    std::map<FileKey, std::size_t> firstNamed;
    Folders folders;
    for (std::size_t i = 0; i < n; ++i) {
        PlannedFile& p = plan[i];
        p.input = named[i];
        inputs[i] = keyOf(p.input);
        const auto [first, isNew] = firstNamed.emplace(inputs[i], i);
        p.repeated = !isNew;
        if (o.check || p.repeated)
            continue;
        // Opened to learn the direction; with --all, closed again.
        auto in = std::make_shared<InputFile>();
        const bool opens = in->open(p.input).empty();
        p.bitmap = opens && isBitmap(*in);
        if (opens && !o.all)
            p.opened = in;
        if (!p.bitmap) {
            // The format follows the name -o gives, or --png.
            const char* extension = o.png ? ".png" : ".bmp";
            if (o.output && !o.all && !namesFolder(*o.output)) {
                p.output = *o.output;
            } else {
                // Into the picture already there in any case (Y.Bmp stays
                // Y.Bmp), as the way back keeps a MOS file's case.
                p.output = o.output ? outputNameInFolder(*o.output, p.input, extension) : makeOutputName(p.input, extension);
                if (const auto existing = folders.find(p.output.parent_path(), p.output.filename()))
                    p.output = p.output.parent_path() / *existing;
            }
            p.png = lower(p.output.extension().u8string()) == ".png" || (o.png && p.output.extension().empty());
        } else {
            p.output = backOutput(o, p.input, folders);
            if (o.like && o.all) {
                const fs::path name = makeOutputName(p.input.filename(), ".mos");
                if (const auto match = folders.find(*o.like, name))
                    p.original = *o.like / *match;
                else
                    p.noOriginalIn = *o.like;
            } else if (o.like) {
                p.original = *o.like;
            } else if (!o.fresh) {
                // A whole MOS file under the output name is the original.
                InputFile there;
                MosPlan tables;
                const std::string problem = there.open(p.output);
                const std::string why = problem.empty() ? planMos(there.stream(), there.size(), tables) : "";
                if (problem.empty() && why.empty()) {
                    p.original = p.output;
                    p.originalAtOutput = true;
                } else {
                    p.notOriginal = why;
                }
            }
        }
        outputs[i] = keyOf(p.output);
        p.overwritesItself = outputs[i].sameFileAs(inputs[i]);
        // --like naming the output itself is the put-back in place too.
        if (p.original && !p.originalAtOutput && keyOf(*p.original) == outputs[i])
            p.originalAtOutput = true;
    }
    if (o.check)
        return plan;

    // Two inputs that would write one output, and an input whose output is
    // another input of the run (it would be read after it was replaced):
    // refused before any work, naming each other.
    // A MOS file and the picture that are each other's outputs, though, are
    // one job: the record says which side changed.
    for (std::size_t i = 0; i < n; ++i) {
        if (plan[i].repeated || plan[i].bitmap || plan[i].overwritesItself)
            continue;
        const auto other = firstNamed.find(outputs[i]);
        if (other == firstNamed.end() || other->second == i)
            continue;
        PlannedFile& picture = plan[other->second];
        if (picture.bitmap && !picture.inPair && outputs[other->second] == inputs[i]) {
            plan[i].partner = other->second;
            picture.inPair = true;
        }
    }
    std::map<FileKey, std::vector<std::size_t>> byOutput;
    for (std::size_t i = 0; i < n; ++i)
        if (!plan[i].repeated && !plan[i].overwritesItself && !plan[i].partner && !plan[i].inPair)
            byOutput[outputs[i]].push_back(i);
    for (const auto& [key, sharing] : byOutput) {
        if (sharing.size() > 1)
            for (std::size_t i : sharing) {
                // A few of the others by name, and how many more: ten
                // thousand inputs of one name must not print their square.
                std::string others;
                std::size_t shown = 0;
                for (std::size_t j : sharing) {
                    if (shown == 3)
                        break;
                    if (j != i) {
                        others += (others.empty() ? "" : ", ") + displayName(plan[j].input);
                        ++shown;
                    }
                }
                if (sharing.size() - 1 > shown)
                    others += " and " + std::to_string(sharing.size() - 1 - shown) + " more";
                plan[i].refusal = displayName(plan[i].output) + " would also be written from " + others +
                                  "; neither is converted";
            }
        const auto input = firstNamed.find(key);
        if (input == firstNamed.end())
            continue;
        for (std::size_t i : sharing)
            if (input->second != i && plan[i].refusal.empty())
                plan[i].refusal = "its output " + displayName(plan[i].output) + " is " +
                                  displayName(plan[input->second].input) +
                                  ", another file of this run, which would be read after it was replaced; "
                                  "convert them in separate runs";
    }
    return plan;
}

namespace {

// A file's pixels: as the record says while its stamp is the recorded one
// (and was not written in the entry's clock tick), else read.
std::optional<std::uint64_t> pixelsOf(InputFile& file, const RecordEntry* entry, const FileStamp* recorded,
                                      std::uint64_t recordedPixels, std::string& why)
{
    if (entry && entry->settled() && file.stamp().sameContent(*recorded))
        return recordedPixels;
    TileDigests digests;
    why = digestPicture(file.stream(), file.size(), digests);
    if (!why.empty())
        return std::nullopt;
    return digests.picture();
}

} // namespace

PairDecision decidePair(const PlannedFile& mos, const PlannedFile& picture, Records& records, bool dryRun)
{
    PairDecision d;
    InputFile mosFile, pictureFile;
    for (auto [file, name] : {std::pair<InputFile*, const fs::path*>{&mosFile, &mos.input}, {&pictureFile, &picture.input}}) {
        const std::string problem = file->open(*name);
        if (!problem.empty()) {
            d.why = displayName(*name) + ": " + problem;
            return d;
        }
    }
    std::optional<RecordEntry> entry = records.find(picture.input);
    if (entry && !namesFile(entry->source, mos.input, picture.input))
        entry.reset();
    const RecordEntry* e = entry ? &*entry : nullptr;
    std::string why;
    const auto pixels = pixelsOf(pictureFile, e, e ? &e->self : nullptr, e ? e->pixels : 0, why);
    if (!pixels) {
        d.why = displayName(picture.input) + ": " + why;
        return d;
    }
    const auto mosPixels = pixelsOf(mosFile, e, e ? &e->sourceStamp : nullptr, e ? e->input : 0, why);
    if (!mosPixels) {
        d.why = displayName(mos.input) + ": " + why;
        return d;
    }
    const std::string both = displayName(mos.input) + " and " + displayName(picture.input);
    const std::string ways = "convert the one that holds the change alone (quiltpix " + displayName(picture.input) +
                             " puts the picture back; quiltpix --force " + displayName(mos.input) +
                             " extracts it again)";
    if (!entry) {
        if (*pixels != *mosPixels) {
            d.why = both + " differ, and no record says which of them changed since they agreed; " + ways;
            return d;
        }
        d.way = PairDecision::Way::unchanged;
        if (!dryRun) {
            // They agree: said so, for the next run.
            RecordEntry agree;
            agree.source = recordedPath(mos.input, picture.input);
            agree.how = "picture";
            agree.pixels = agree.input = *pixels;
            agree.self = pictureFile.stamp();
            agree.sourceStamp = mosFile.stamp();
            records.put(picture.input, agree);
        }
        return d;
    }
    const bool pictureChanged = *pixels != entry->pixels, mosChanged = *mosPixels != entry->input;
    if (pictureChanged && mosChanged) {
        d.why = both + " both changed since they last agreed; " + ways;
        return d;
    }
    d.way = pictureChanged ? PairDecision::Way::back
            : mosChanged   ? PairDecision::Way::forward
                           : PairDecision::Way::unchanged;
    if (d.way == PairDecision::Way::unchanged && !dryRun && !entry->settled()) {
        // Read and found agreeing: the stamps now, so that the next run
        // need not read them.
        RecordEntry again = *entry;
        again.self = pictureFile.stamp();
        again.sourceStamp = mosFile.stamp();
        records.put(picture.input, again);
    }
    return d;
}

} // namespace quiltpix
