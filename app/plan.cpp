#include "plan.h"

#include "picture_reader.h"
#include "console.h"
#include "output_name.h"
#include "mos_reading.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <system_error>

namespace quiltpix {
namespace fs = std::filesystem;

namespace {

std::string lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
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

std::vector<PlannedFile> makePlan(const Options& o)
{
    const std::size_t n = o.files.size();
    std::vector<PlannedFile> plan(n);
    std::vector<FileKey> inputs(n), outputs(n);
    std::map<FileKey, std::size_t> firstNamed;
    Folders folders;
    for (std::size_t i = 0; i < n; ++i) {
        PlannedFile& p = plan[i];
        p.input = o.files[i];
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
            if (!o.output)
                p.output = makeOutputName(p.input, extension);
            else if (o.all || namesFolder(*o.output))
                p.output = outputNameInFolder(*o.output, p.input, extension);
            else
                p.output = *o.output;
            p.png = lower(p.output.extension().u8string()) == ".png" || (o.png && p.output.extension().empty());
        } else {
            p.output = backOutput(o, p.input, folders);
            if (o.like && o.all) {
                const fs::path name = makeOutputName(p.input.filename(), ".mos");
                if (const auto match = folders.find(*o.like, name))
                    p.original = *o.like / *match;
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
        p.overwritesItself = outputs[i] == inputs[i];
        // --like naming the output itself is the put-back in place too.
        if (p.original && !p.originalAtOutput && keyOf(*p.original) == outputs[i])
            p.originalAtOutput = true;
    }
    if (o.check)
        return plan;

    // Two inputs that would write one output, and an input whose output is
    // another input of the run (it would be read after it was replaced):
    // refused before any work, naming each other.
    std::map<FileKey, std::vector<std::size_t>> byOutput;
    for (std::size_t i = 0; i < n; ++i)
        if (!plan[i].repeated && !plan[i].overwritesItself)
            byOutput[outputs[i]].push_back(i);
    for (const auto& [key, sharing] : byOutput) {
        if (sharing.size() > 1)
            for (std::size_t i : sharing) {
                std::string others;
                for (std::size_t j : sharing)
                    if (j != i)
                        others += (others.empty() ? "" : ", ") + displayName(plan[j].input);
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

} // namespace quiltpix
