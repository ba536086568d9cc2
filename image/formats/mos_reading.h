// How a MOS file is read, judged before a pixel is: the header, the tables
// and every tile row's run within the file. Both directions use it: the way
// to a bitmap to read, and the way back to keep an original's bytes.
#pragma once

#include "mos.h"

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace quiltpix {

// What a conversion needs to know before it reads a pixel: the header, and
// the absolute position of each tile row's run (only the first tile of a
// tile row says where its run starts).
struct MosPlan {
    MosHeader header;
    std::vector<std::uint64_t> runStart;
};

// Reads the header and the offset table and checks that every region lies
// within the file: "" when the file can be converted, else why not.
std::string planMos(std::istream& in, std::uint64_t inputSize, MosPlan& plan);

// planMos in its two halves, for a converter that says where the tile data
// begins in between: the header and the tables (reading the offset table),
// then every tile row's run within the file.
std::string readMosTables(std::istream& in, std::uint64_t inputSize, MosPlan& plan);
std::string checkMosRuns(const MosPlan& plan, std::uint64_t inputSize);

// Whether a MOS file would convert, judged by the very checks the converter
// makes before it writes anything. For a whole file, its header; otherwise
// the first reason it cannot be converted, in words a user can act on.
struct MosCheck {
    bool whole = false;
    std::string reason;
    MosHeader header;
};

MosCheck checkMosStream(std::istream& in, std::uint64_t inputSize);

} // namespace quiltpix
