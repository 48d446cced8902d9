// BMP and PPM/PGM to JPEG conversion, so that the thumbnailer, which reads only JPEG, can
// make thumbnails of these pictures.
//
// The settings are always those of the fixed option list "-outfile <output> <input>":
// quality 75 (baseline tables), the library's default DCT, no optimisation, not
// progressive, no smoothing, no restart markers, colour kept (RGB input gives a colour JPEG,
// gray input a grayscale one). Inputs are read by the readers of raster_reader.h.
// Progress and error texts go to the standard error stream (see SetConsoleMessages).
// A bad picture or a libjpeg error fails the conversion and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ks::media {

// 1 when the JPEG was written without warnings; 0 when a file could not be opened
// (" can't open infile %s\n" / "can't open outfile %s\n"), the input was refused, libjpeg
// failed, or libjpeg warned (the file is then complete). A partly written output file is
// left to the caller.
int ConvertToJpeg(const std::string& input, const std::string& output);

// The same from a picture in memory into memory. On 0 after warnings *out holds the complete
// JPEG; on any other 0 it is empty.
int ConvertToJpegMemory(const uint8_t* data, size_t size, std::vector<uint8_t>* out);
// The same from a file into memory (" can't open infile %s\n" when it cannot be opened).
int ConvertToJpegMemory(const std::string& input, std::vector<uint8_t>* out);

}  // namespace ks::media
