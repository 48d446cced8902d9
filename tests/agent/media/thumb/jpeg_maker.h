// Test pictures made with libjpeg: JPEGs of a known size, colour space and markers, and a
// decoder that reports what a JPEG holds. Shared by the thumbnailer and handler tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <jpeglib.h>

#include "agent/media/convert/jpeg_io.h"

namespace ks::test {

struct JpegSpec {
  int width = 64;
  int height = 48;
  J_COLOR_SPACE space = JCS_RGB;  // JCS_GRAYSCALE, JCS_RGB or JCS_CMYK
  int quality = 85;
  bool progressive = false;
  std::vector<std::pair<int, std::string>> markers;  // written after the start

  JpegSpec& Size(int w, int h) { width = w; height = h; return *this; }
  JpegSpec& Space(J_COLOR_SPACE s) { space = s; return *this; }
  JpegSpec& Progressive() { progressive = true; return *this; }
  JpegSpec& Quality(int q) { quality = q; return *this; }
  JpegSpec& Marker(int code, const std::string& data) { markers.emplace_back(code, data); return *this; }
};

// Sample of the test pattern at (x, y), component c: gradients that tell left from right
// and top from bottom, so that scaled results can be checked.
inline uint8_t PatternSample(int x, int y, int c, int width, int height) {
  switch (c) {
    case 0: return uint8_t(x * 255 / (width > 1 ? width - 1 : 1));
    case 1: return uint8_t(y * 255 / (height > 1 ? height - 1 : 1));
    case 2: return uint8_t(255 - x * 255 / (width > 1 ? width - 1 : 1));
    default: return 40;
  }
}

inline std::vector<uint8_t> MakeJpeg(const JpegSpec& shape) {
  jpeg_compress_struct c;
  media::JumpErrorManager err;
  c.err = media::InitJumpErrorManager(&err);
  unsigned char* data = nullptr;
  unsigned long size = 0;
  const int components = shape.space == JCS_GRAYSCALE ? 1 : shape.space == JCS_CMYK ? 4 : 3;
  std::vector<uint8_t> row(size_t(shape.width) * size_t(components));  // outlives any jump
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&c);
    std::free(data);
    return {};
  }
  jpeg_create_compress(&c);
  jpeg_mem_dest(&c, &data, &size);
  c.image_width = JDIMENSION(shape.width);
  c.image_height = JDIMENSION(shape.height);
  c.in_color_space = shape.space;
  c.input_components = components;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, shape.quality, TRUE);
  if (shape.progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  for (const auto& m : shape.markers) {
    jpeg_write_marker(&c, m.first, reinterpret_cast<const JOCTET*>(m.second.data()), unsigned(m.second.size()));
  }
  while (c.next_scanline < c.image_height) {
    int y = int(c.next_scanline);
    for (int x = 0; x < shape.width; ++x) {
      for (int k = 0; k < c.input_components; ++k) {
        row[size_t(x) * size_t(c.input_components) + size_t(k)] =
            PatternSample(x, y, shape.space == JCS_GRAYSCALE ? 0 : k, shape.width, shape.height);
      }
    }
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<uint8_t> out(data, data + size);
  std::free(data);
  return out;
}

inline std::string AsString(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

struct DecodedJpeg {
  int width = 0;
  int height = 0;
  int components = 0;
  J_COLOR_SPACE jpegSpace = JCS_UNKNOWN;
  bool progressive = false;
  int hSamp0 = 0;                 // sampling factors of the first component
  int vSamp0 = 0;
  std::vector<std::string> app7;  // in file order
  std::string comment;
  std::vector<uint8_t> pixels;    // components x width x height, as stored (gray/RGB/CMYK)
  long warnings = 0;
};

// False when libjpeg failed.
inline bool DecodeJpeg(const std::vector<uint8_t>& data, DecodedJpeg* out) {
  jpeg_decompress_struct d;
  media::JumpErrorManager err;
  d.err = media::InitJumpErrorManager(&err);
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&d);
    return false;
  }
  jpeg_create_decompress(&d);
  jpeg_save_markers(&d, JPEG_APP0 + 7, 0xFFFF);
  jpeg_save_markers(&d, JPEG_COM, 0xFFFF);
  jpeg_mem_src(&d, data.data(), static_cast<unsigned long>(data.size()));
  jpeg_read_header(&d, TRUE);
  for (jpeg_saved_marker_ptr m = d.marker_list; m; m = m->next) {
    std::string text(reinterpret_cast<const char*>(m->data), m->data_length);
    if (m->marker == JPEG_COM) {
      out->comment = text;
    } else {
      out->app7.push_back(text);
    }
  }
  out->jpegSpace = d.jpeg_color_space;
  out->progressive = d.progressive_mode;
  out->hSamp0 = d.comp_info[0].h_samp_factor;
  out->vSamp0 = d.comp_info[0].v_samp_factor;
  jpeg_start_decompress(&d);
  out->width = int(d.output_width);
  out->height = int(d.output_height);
  out->components = d.output_components;
  size_t rowBytes = size_t(d.output_width) * size_t(d.output_components);
  out->pixels.assign(rowBytes * d.output_height, 0);
  while (d.output_scanline < d.output_height) {
    JSAMPROW r = out->pixels.data() + rowBytes * d.output_scanline;
    jpeg_read_scanlines(&d, &r, 1);
  }
  jpeg_finish_decompress(&d);
  out->warnings = err.pub.num_warnings;
  jpeg_destroy_decompress(&d);
  return true;
}

}  // namespace ks::test
