// What the fuzz targets hold the program to, one reader or direction each,
// so that each runs at its own speed. Any disagreement aborts, so the fuzzer
// keeps the input.
#pragma once

#include <cstddef>
#include <cstdint>

// The MOS reader and the way to a bitmap: a whole file converts to exactly
// the picture its bytes describe (by the test kit's independent reading);
// anything else fails having written nothing; --check says "whole" exactly
// when the conversion succeeds.
void fuzzMos(const std::uint8_t* data, std::size_t size);

// A picture reader alone (the bitmap's, or PNG's for a file that begins
// with its signature): the headers judged, every row read as the way back
// reads them, and the check's verdict and reason the same.
void fuzzPictureReader(const std::uint8_t* data, std::size_t size);

// The whole way back, from a bitmap or a PNG: the check agrees with the
// conversion, the MOS file written is whole, and where no tile needed
// quantising it holds exactly the pixels the reader read.
void fuzzWayBack(const std::uint8_t* data, std::size_t size);

// The C interface over the same files: inspect agrees with the check; a
// MOS file that inspects whole decodes to the picture its bytes describe,
// into a buffer, row by row and as bitmap bytes alike, and goes back with
// itself as the original keeping every pixel; a picture that inspects whole
// goes to a whole MOS file of its size; anything else fails with the very
// reason inspect gave. The input lies in a buffer of exactly its size.
void fuzzLibrary(const std::uint8_t* data, std::size_t size);
