// The record of what runs wrote: one small hidden file per output folder,
// ".quiltpix-record", that says for each output the digest of the pixels
// it was given, the digest of the input it came from, and, tile by tile,
// what both looked like. It is what tells a user's edit from a file this
// program wrote, where file times cannot (a checkout, an archive, a copy or
// a coarse clock all give times that say nothing).
//
// Deleting it is safe: the next run is then more careful, keeping every
// output whose pixels differ from what it would write.
#pragma once

#include "input_file.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quiltpix {

extern const char* const recordName; // ".quiltpix-record"

struct RecordEntry {
    std::string source;            // the path of the input it came from (recordedPath)
    std::string how;               // the options that shaped its bytes ("png small", "mos dither")
    std::uint64_t pixels = 0;      // the digest of the pixels written
    std::uint64_t input = 0;       // the digest of the input's pixels then
    std::vector<std::uint64_t> tiles;       // each tile of the output, as written
    std::vector<std::uint64_t> sourceTiles; // each tile of the input then
    // The two files as they were then, and when the entry was made (in the
    // system's file-time units): while neither file's stamp has changed,
    // neither needs reading to know its pixels, unless it was changed
    // within the clock tick of the entry (see settled()).
    FileStamp self, sourceStamp;
    std::int64_t recordedAt = 0;

    // The same entry, whenever it was made.
    bool operator==(const RecordEntry& o) const
    {
        return source == o.source && how == o.how && pixels == o.pixels && input == o.input && tiles == o.tiles &&
               sourceTiles == o.sourceTiles && self == o.self && sourceStamp == o.sourceStamp;
    }
    // Whether the stamps are older than the entry by more than a coarse
    // file system's clock tick (2 s), so that a file whose stamp is
    // unchanged was not written to after the entry was made.
    bool settled() const;
};

// The path the record beside `entryFile` names `file` by: relative to that
// folder, so that a folder copied or moved whole keeps its record; and
// whether such a path names this file now.
std::string recordedPath(const std::filesystem::path& file, const std::filesystem::path& entryFile);
bool namesFile(const std::string& recorded, const std::filesystem::path& file, const std::filesystem::path& entryFile);

// One line of the record, and back. A line that is damaged, torn by a kill,
// or forged without the check that ends it reads as nothing.
std::string recordLine(const std::string& name, const RecordEntry& entry);
std::optional<std::pair<std::string, RecordEntry>> parseRecordLine(const std::string& line);
// Every entry of a record's text, the last line for a name winning.
std::map<std::string, RecordEntry> parseRecord(const std::string& text);

// The records of the folders one run touches, each read once.
class Records {
public:
    // What the record beside `file` says of it; nothing where there is no
    // record, no entry, or a record that cannot be trusted.
    std::optional<RecordEntry> find(const std::filesystem::path& file);
    // Records `entry` for `file` in its folder's record. False when it
    // could not be written (the next run is then more careful).
    bool put(const std::filesystem::path& file, const RecordEntry& entry);

private:
    std::map<std::string, RecordEntry>& folder(const std::filesystem::path& file);
    std::map<std::filesystem::path, std::map<std::string, RecordEntry>> folders_;
};

} // namespace quiltpix
