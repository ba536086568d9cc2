#pragma once

#include "mos.h"

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

namespace quiltpix {

// Converts the MOS file at inputPath into a 24-bit bitmap written to out, which
// must be open for binary writing at its start. Prints the tile data base and
// "Done" on standard output. Returns false, having written nothing to out, for
// a file that is not a regular file, cannot be read, or is not a whole MOS file;
// returns false too when writing to out fails. Nothing is thrown.
bool convertToBitmap(const std::string& inputPath, std::ostream& out);

// The same conversion from any seekable stream of inputSize bytes. The two
// progress lines go to progress, or nowhere when it is null.
bool convertMosStream(std::istream& in, std::uint64_t inputSize, std::ostream& out, std::ostream* progress);

// Whether a MOS file would convert, judged by the very checks the converter
// makes before it writes anything. For a whole file, its header; otherwise
// the first reason it cannot be converted, in words a user can act on.
struct MosCheck {
    bool whole = false;
    std::string reason;
    MosHeader header;
};

MosCheck checkMosFile(const std::string& inputPath);
MosCheck checkMosStream(std::istream& in, std::uint64_t inputSize);

} // namespace quiltpix
