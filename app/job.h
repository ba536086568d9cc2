// One job of the plan, from opening its input to its outcome: a MOS file
// made a picture, or a picture put back.
#pragma once

#include "options.h"
#include "plan.h"
#include "record.h"

#include <filesystem>
#include <functional>
#include <string>

namespace quiltpix {

enum class Result { converted, unchanged, failed };

// What a job tells. A run of one file prints its lines as they come (the
// Part of the command line users know); --all and the dry run print one
// line a file, made of its outcome and a few details; -q prints only what
// failed, as "NAME: REASON".
class Teller {
public:
    Teller(const Options& o, bool oneLine) : o_(o), oneLine_(oneLine) {}

    bool oneLine() const { return oneLine_; }
    // A line of a run of one file (nothing under -q or in the one line).
    void say(const std::string& line) const;
    // A detail of the one line: "3 of 40 tiles changed: …".
    void detail(const std::string& text);
    // A failure: "NAME: REASON", then, in a run of one file, `finalLine`.
    Result failed(const std::filesystem::path& name, const std::string& reason,
                  const std::string& finalLine = "Conversion failed!");

    // Told the moment an output is put in place (the run counts it then).
    std::function<void()> committed;

    const std::string& details() const { return details_; }
    const std::string& why() const { return why_; }

private:
    const Options& o_;
    bool oneLine_;
    std::string details_;
    std::string why_;
};

// Converts one planned file; `prefix` goes before its line of progress.
struct RunProgress;
Result convertFile(const Options& o, const PlannedFile& p, Records& records, Teller& t,
                   const std::string& prefix = "", RunProgress* run = nullptr);

// Prints a line on standard output and flushes it.
void say(const std::string& line);

} // namespace quiltpix
