#include "record.h"

#include "digest.h"
#include "record_file.h"

#include <algorithm>
#include <cstring>

namespace quiltpix {

const char* const recordName = ".quiltpix-record";

namespace {

namespace fs = std::filesystem;

const char* const header = "quiltpix record 1: what quiltpix last wrote here; safe to delete\n";
// Far more than a folder of pictures needs; a larger file is read no
// further (its later lines are lost, which only makes runs more careful).
constexpr std::uint64_t readLimit = std::uint64_t{256} << 20;
constexpr std::uint64_t compactAbove = std::uint64_t{1} << 20;

const char hexDigits[] = "0123456789abcdef";

void putHex(std::string& out, std::uint64_t v)
{
    for (int shift = 60; shift >= 0; shift -= 4)
        out += hexDigits[(v >> shift) & 15];
}

void putBytes(std::string& out, const std::string& bytes)
{
    if (bytes.empty())
        out += '-';
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        out += hexDigits[c >> 4];
        out += hexDigits[c & 15];
    }
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool getHex(const std::string& field, std::uint64_t& v)
{
    if (field.size() != 16)
        return false;
    v = 0;
    for (char c : field) {
        const int d = hexValue(c);
        if (d < 0)
            return false;
        v = v << 4 | static_cast<std::uint64_t>(d);
    }
    return true;
}

bool getBytes(const std::string& field, std::string& bytes)
{
    bytes.clear();
    if (field == "-")
        return true;
    if (field.size() % 2 != 0 || field.size() > 2 * 65536)
        return false;
    for (std::size_t i = 0; i < field.size(); i += 2) {
        const int hi = hexValue(field[i]), lo = hexValue(field[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes += static_cast<char>(hi << 4 | lo);
    }
    return true;
}

void putStamp(std::string& out, const FileStamp& s)
{
    for (std::uint64_t v : {s.device, s.inode, s.size, static_cast<std::uint64_t>(s.modified), static_cast<std::uint64_t>(s.changed)})
        putHex(out, v);
}

bool getStamps(const std::string& field, FileStamp& self, FileStamp& source, std::int64_t& at)
{
    if (field.size() != 11 * 16)
        return false;
    std::uint64_t v[11];
    for (int i = 0; i < 11; ++i)
        if (!getHex(field.substr(16 * static_cast<std::size_t>(i), 16), v[i]))
            return false;
    self = {v[0], v[1], v[2], static_cast<std::int64_t>(v[3]), static_cast<std::int64_t>(v[4])};
    source = {v[5], v[6], v[7], static_cast<std::int64_t>(v[8]), static_cast<std::int64_t>(v[9])};
    at = static_cast<std::int64_t>(v[10]);
    return true;
}

void putList(std::string& out, const std::vector<std::uint64_t>& list)
{
    if (list.empty())
        out += '-';
    for (std::uint64_t v : list)
        putHex(out, v);
}

bool getList(const std::string& field, std::vector<std::uint64_t>& list)
{
    list.clear();
    if (field == "-")
        return true;
    if (field.size() % 16 != 0)
        return false;
    list.resize(field.size() / 16);
    for (std::size_t i = 0; i < list.size(); ++i)
        if (!getHex(field.substr(16 * i, 16), list[i]))
            return false;
    return true;
}

// The check that ends a line: a digest of all before it, so that a torn or
// hand-damaged line is not taken for a true one.
std::uint64_t lineCheck(const std::string& body)
{
    return tileRowDigest(-1, -1, reinterpret_cast<const unsigned char*>(body.data()), body.size());
}

} // namespace

namespace {

fs::path folderOf(const fs::path& file)
{
    std::error_code error;
    return fs::absolute(file.has_parent_path() ? file.parent_path() : fs::path("."), error).lexically_normal();
}

} // namespace

std::string recordedPath(const fs::path& file, const fs::path& entryFile)
{
    std::error_code error;
    const fs::path absolute = fs::absolute(file, error).lexically_normal();
    const fs::path relative = absolute.lexically_relative(folderOf(entryFile));
    return (relative.empty() ? absolute : relative).generic_u8string();
}

bool namesFile(const std::string& recorded, const fs::path& file, const fs::path& entryFile)
{
    fs::path named = fs::u8path(recorded);
    if (named.is_relative())
        named = folderOf(entryFile) / named;
    std::error_code error;
    return fs::equivalent(named, file, error) && !error;
}

std::string recordLine(const std::string& name, const RecordEntry& e)
{
    std::string line;
    putBytes(line, name);
    line += ' ';
    putBytes(line, e.source);
    line += ' ';
    putBytes(line, e.how);
    line += ' ';
    putHex(line, e.pixels);
    line += ' ';
    putHex(line, e.input);
    line += ' ';
    putList(line, e.tiles);
    line += ' ';
    if (!e.tiles.empty() && e.sourceTiles == e.tiles)
        line += '=';
    else
        putList(line, e.sourceTiles);
    line += ' ';
    putStamp(line, e.self);
    putStamp(line, e.sourceStamp);
    putHex(line, static_cast<std::uint64_t>(e.recordedAt));
    line += ' ';
    putHex(line, lineCheck(line));
    line += '\n';
    return line;
}

std::optional<std::pair<std::string, RecordEntry>> parseRecordLine(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (;;) {
        const std::size_t space = line.find(' ', from);
        fields.push_back(line.substr(from, space == std::string::npos ? std::string::npos : space - from));
        if (space == std::string::npos || fields.size() > 9)
            break;
        from = space + 1;
    }
    if (fields.size() != 9)
        return std::nullopt;
    std::uint64_t check = 0;
    const std::size_t bodyLength = line.size() - fields[8].size();
    if (!getHex(fields[8], check) || check != lineCheck(line.substr(0, bodyLength)))
        return std::nullopt;
    std::pair<std::string, RecordEntry> result;
    RecordEntry& e = result.second;
    if (!getBytes(fields[0], result.first) || result.first.empty() || !getBytes(fields[1], e.source) ||
        !getBytes(fields[2], e.how) || !getHex(fields[3], e.pixels) || !getHex(fields[4], e.input) ||
        !getList(fields[5], e.tiles) || !getStamps(fields[7], e.self, e.sourceStamp, e.recordedAt))
        return std::nullopt;
    if (fields[6] == "=")
        e.sourceTiles = e.tiles;
    else if (!getList(fields[6], e.sourceTiles))
        return std::nullopt;
    return result;
}

std::map<std::string, RecordEntry> parseRecord(const std::string& text)
{
    std::map<std::string, RecordEntry> entries;
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t end = text.find('\n', from);
        if (end == std::string::npos)
            break; // a last line without its end was torn
        if (auto parsed = parseRecordLine(text.substr(from, end - from)))
            entries[parsed->first] = std::move(parsed->second);
        from = end + 1;
    }
    return entries;
}

std::map<std::string, RecordEntry>& Records::folder(const fs::path& file)
{
    const fs::path where = file.has_parent_path() ? file.parent_path() : fs::path(".");
    std::error_code error;
    const fs::path key = fs::absolute(where, error).lexically_normal();
    auto known = folders_.find(key);
    if (known != folders_.end())
        return known->second;
    const RecordText text = readRecordFile(where / recordName, readLimit);
    return folders_[key] = text.trusted ? parseRecord(text.text) : std::map<std::string, RecordEntry>{};
}

std::optional<RecordEntry> Records::find(const fs::path& file)
{
    const auto& entries = folder(file);
    const auto it = entries.find(file.filename().u8string());
    if (it == entries.end())
        return std::nullopt;
    return it->second;
}

bool RecordEntry::settled() const
{
    // The clock tick of the file system that stamped the file: two seconds
    // where times come in whole seconds (FAT, exFAT, old ones), else the
    // kernel's coarse clock, well within 50 ms.
    const std::int64_t second = fileTicksPerSecond();
    const auto tick = [second](const FileStamp& s) { return s.modified % second == 0 ? 2 * second : second / 20; };
    return recordedAt - self.modified > tick(self) && recordedAt - sourceStamp.modified > tick(sourceStamp);
}

bool Records::put(const fs::path& file, const RecordEntry& given)
{
    auto& entries = folder(file);
    const std::string name = file.filename().u8string();
    const auto it = entries.find(name);
    // Said already, and long enough ago to be believed.
    if (it != entries.end() && it->second == given && it->second.settled())
        return true;
    RecordEntry entry = given;
    entry.recordedAt = fileTimeNow();
    entries[name] = entry;
    const fs::path where = file.has_parent_path() ? file.parent_path() : fs::path(".");
    // Rewritten without the lines later ones overrule once it holds twice
    // what is live (as far as this run knows).
    std::uint64_t live = 0;
    for (const auto& [n, e] : entries)
        live += 64 + 2 * n.size() + 2 * e.source.size() + 16 * (e.tiles.size() + e.sourceTiles.size());
    return appendRecordFile(where / recordName, header, recordLine(name, entry), std::max(compactAbove, 2 * live), readLimit,
                            [](const std::string& all) {
                                std::string text = header;
                                for (const auto& [n, e] : parseRecord(all))
                                    text += recordLine(n, e);
                                return text;
                            });
}

} // namespace quiltpix
