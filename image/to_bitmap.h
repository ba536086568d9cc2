#pragma once

#include "mos.h"
#include "mos_reading.h"
#include "row_writer.h"

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

namespace quiltpix {

extern const char* const writeFailed;

// Converts the MOS file in `in`, a seekable stream of inputSize bytes, into
// the writer's format, every row in the order the writer stores them.
// Prints the tile data base and "Done" to progress (nowhere when null).
// Returns false, having written nothing to out, for a file that is not a
// whole MOS file, and then says why in `reason` (the words --check uses);
// returns false too when writing to out fails, with the reason writeFailed.
// Nothing is thrown. (The driver opens the file: InputFile.)
bool convertMos(std::istream& in, std::uint64_t inputSize, RowWriter& out, std::ostream* progress,
                std::string* reason = nullptr, const RowProgress& onRow = {});

// The system's message for an error, in the portable words where it has them
// ("No such file or directory", "Permission denied").
std::string describe(const std::error_code& error);


// The size of the bitmap the MOS file in `in` makes, from its header alone;
// 0 when the header is not well-formed (the conversion will say why).
std::uint64_t bitmapSizeFor(std::istream& in, std::uint64_t inputSize);

} // namespace quiltpix
