#include "options.h"
#include "console.h"

namespace quiltpix {

Options parse(const std::vector<std::filesystem::path>& arguments)
{
    Options o;
    std::size_t i = 1;
    for (; i < arguments.size(); ++i) {
        const std::string a = displayName(arguments[i]);
        if (a == "--") {
            ++i;
            break;
        }
        if (a.size() < 2 || a[0] != '-')
            break;
        if (a == "-q" || a == "--quiet") {
            o.quiet = true;
        } else if (a == "--check") {
            o.check = true;
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "-o" || a == "--output") {
            if (i + 1 == arguments.size()) {
                o.error = "Option " + a + " needs a path";
                return o;
            }
            o.output = arguments[++i];
        } else if (a.rfind("--output=", 0) == 0) {
            o.output = std::filesystem::path(arguments[i].native().substr(9));
        } else if (a == "--dither") {
            o.dither = true;
        } else if (a == "--all") {
            o.all = true;
        } else if (a == "--fresh") {
            o.fresh = true;
        } else if (a == "--force") {
            o.force = true;
        } else if (a == "-n" || a == "--dry-run") {
            o.dryRun = true;
        } else if (a == "--png") {
            o.png = true;
        } else if (a == "--small") {
            o.small = true;
        } else if (a == "--like") {
            if (i + 1 == arguments.size()) {
                o.error = "Option --like needs a path";
                return o;
            }
            o.like = arguments[++i];
        } else if (a.rfind("--like=", 0) == 0) {
            o.like = std::filesystem::path(arguments[i].native().substr(7));
        } else {
            o.error = "Unknown option: " + a;
            return o;
        }
    }
    o.files.assign(arguments.begin() + static_cast<std::ptrdiff_t>(std::min(i, arguments.size())), arguments.end());
    if (o.like && o.fresh)
        o.error = "Options --like and --fresh ask for opposite things; give one";
    else if (o.all && o.like && !std::filesystem::exists(*o.like))
        o.error = displayName(*o.like) + ": no such folder (with --all, --like names a folder of originals)";
    else if (o.all && o.like && !std::filesystem::is_directory(*o.like))
        o.error = "With --all, --like names a folder of originals, matched to the bitmaps by name";
    return o;
}

} // namespace quiltpix
