#include "agent/media/thumb/thumb.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/log/log.h"
#include "agent/media/convert/convert.h"
#include "agent/media/convert/jpeg_io.h"

namespace ks::media {

struct JpegThumb {
  // input
  std::string path;
  FILE* in = nullptr;
  const uint8_t* memory = nullptr;
  size_t memorySize = 0;
  uint64_t mtime = 0;
  jpeg_decompress_struct dinfo;
  JumpErrorManager derr;
  DecoderGuard guard;
  bool dinfoCreated = false;
  JpegThumbHeader header;
  // output
  int wantWidth = 0;
  int wantHeight = 0;
  int quality = 75;
  bool comments = false;
  std::string outPath;  // empty: memory
  FILE* out = nullptr;
  MemoryDestination memoryOut;
  size_t outputSize = 0;
  jpeg_compress_struct cinfo;
  JumpErrorManager cerr;
  bool cinfoCreated = false;
  bool encoding = false;
  // pixels: the kept rows, components x pixelWidth bytes each, one after the other
  int components = 3;
  uint8_t* pixels = nullptr;
  uint8_t** rows = nullptr;  // one pointer per row of pixels
  int pixelWidth = 0;   // decoded width, then the wanted width
  int pixelHeight = 0;  // the wanted height
  int decodedWidth = 0;
  int decodedHeight = 0;
  bool decoded = false;
  bool scaled = false;
};

namespace {

constexpr const char* kModule = "Intranet tran";
constexpr size_t kMaxApp7 = 1024;

JpegThumb* NewThumb() {
  auto* t = new JpegThumb();
  std::memset(&t->dinfo, 0, sizeof t->dinfo);
  std::memset(&t->cinfo, 0, sizeof t->cinfo);
  std::memset(&t->memoryOut, 0, sizeof t->memoryOut);
  return t;
}

void DestroyDecompressor(JpegThumb* t) {
  if (t->dinfoCreated) jpeg_destroy_decompress(&t->dinfo);
  t->dinfoCreated = false;
}

void DestroyCompressor(JpegThumb* t) {
  if (t->cinfoCreated) jpeg_destroy_compress(&t->cinfo);
  t->cinfoCreated = false;
}

J_COLOR_SPACE LibColorSpace(int code) {
  switch (code) {
    case kThumbGray: return JCS_GRAYSCALE;
    case kThumbCmyk: return JCS_CMYK;
    default: return JCS_RGB;
  }
}

// libjpeg part of reading the header; false on a libjpeg error. POD locals only.
bool ReadHeaderJpeg(JpegThumb* t) {
  j_decompress_ptr d = &t->dinfo;
  d->err = InitJumpErrorManager(&t->derr);
  if (setjmp(t->derr.jump)) return false;
  jpeg_create_decompress(d);
  t->dinfoCreated = true;
  ConsoleOut("jpeg_create_decompress sucess!!!\n");
  InstallDecoderGuard(d, &t->guard);
  jpeg_save_markers(d, JPEG_APP0 + 7, kMaxApp7);
  jpeg_save_markers(d, JPEG_COM, 0xFFFF);
  if (t->in) {
    UseLargeFileSource(d, t->in);
  } else {
    jpeg_mem_src(d, t->memory, static_cast<unsigned long>(t->memorySize));
  }
  jpeg_read_header(d, TRUE);
  return true;
}

// Decimal text as an int, out-of-range values clamped (atoi's overflow is undefined).
int ParseInt(const char* text) {
  long v = std::strtol(text, nullptr, 10);
  return int(std::clamp<long>(v, INT32_MIN, INT32_MAX));
}

// One "Thumb::<key>\n<value>" APP7 marker, copied into a bounded NUL-terminated buffer.
void ParseThumbMarker(JpegThumbHeader* h, const JOCTET* data, unsigned length) {
  char text[kMaxApp7 + 1];
  size_t n = std::min<size_t>(length, kMaxApp7);
  std::memcpy(text, data, n);
  text[n] = '\0';
  if (std::strncmp(text, "Thumb::", 7) != 0) return;
  char* value = std::strchr(text, '\n');
  if (!value) return;
  *value++ = '\0';
  if (std::strcmp(text, "Thumb::URI") == 0) {
    h->uri = value;
  } else if (std::strcmp(text, "Thumb::MTime") == 0) {
    h->mtime = std::strtoull(value, nullptr, 10);
  } else if (std::strcmp(text, "Thumb::Image::Width") == 0) {
    h->thumbImageWidth = ParseInt(value);
  } else if (std::strcmp(text, "Thumb::Image::Height") == 0) {
    h->thumbImageHeight = ParseInt(value);
  } else if (std::strcmp(text, "Thumb::Mimetype") == 0) {
    h->mimetype = value;
  }
}

bool ReadHeader(JpegThumb* t) {
  if (!ReadHeaderJpeg(t)) return false;
  j_decompress_ptr d = &t->dinfo;
  if (d->image_width == 0 || d->image_height == 0) return false;
  JpegThumbHeader& h = t->header;
  h.width = int(d->image_width);
  h.height = int(d->image_height);
  if (d->num_components == 1) {
    h.colorSpace = kThumbGray;
  } else if (d->jpeg_color_space == JCS_CMYK || d->jpeg_color_space == JCS_YCCK) {
    h.colorSpace = kThumbCmyk;
  } else {
    h.colorSpace = kThumbRgb;
  }
  t->wantWidth = h.width;
  t->wantHeight = h.height;
  for (jpeg_saved_marker_ptr m = d->marker_list; m; m = m->next) {
    if (m->marker == JPEG_COM) {
      h.comment.assign(reinterpret_cast<const char*>(m->data), m->data_length);
    } else if (m->marker == JPEG_APP0 + 7 && m->data_length > 7) {
      ParseThumbMarker(&h, m->data, m->data_length);
    }
  }
  return true;
}

// Decodes at the DCT scale and keeps, of the decoded rows, the ones nearest-neighbour
// scaling picks for the wanted height (source row = i x decoded height / wanted height), so
// memory stays at decoded width x wanted height.
// 0 decoded; 1 nothing to do, too large or no memory; 2 libjpeg error. POD locals only.
int Decode(JpegThumb* t) {
  if (t->decoded || t->wantWidth < 1 || t->wantHeight < 1) return 1;
  j_decompress_ptr d = &t->dinfo;
  int n = std::min(t->header.width / t->wantWidth, t->header.height / t->wantHeight);
  n = std::clamp(n, 1, 8);
  if (setjmp(t->derr.jump)) return 2;
  d->scale_num = 1;
  d->scale_denom = unsigned(n);
  d->dct_method = JDCT_IFAST;
  d->do_fancy_upsampling = FALSE;
  d->do_block_smoothing = FALSE;
  d->out_color_space = LibColorSpace(t->header.colorSpace);
  jpeg_calc_output_dimensions(d);
  const uint64_t decodedHeight = d->output_height;
  const uint64_t wantHeight = uint64_t(t->wantHeight);
  uint64_t pixels = uint64_t(d->output_width) * decodedHeight;
  if (pixels == 0 || pixels > kMaxDecodedPixels || decodedHeight < wantHeight) return 1;
  const size_t rowBytes = size_t(d->output_width) * size_t(d->output_components);
  t->pixels = static_cast<uint8_t*>(std::malloc(rowBytes * wantHeight));
  t->rows = static_cast<uint8_t**>(std::malloc(sizeof(uint8_t*) * wantHeight));
  if (!t->pixels || !t->rows) return 1;
  for (uint64_t i = 0; i < wantHeight; ++i) t->rows[i] = t->pixels + rowBytes * i;
  t->components = d->output_components;
  jpeg_start_decompress(d);
  // One strip of decoded rows, from libjpeg's pool so that a jump out frees it too.
  JSAMPARRAY strip = (*d->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(d), JPOOL_IMAGE,
                                             JDIMENSION(rowBytes), JDIMENSION(d->rec_outbuf_height));
  uint64_t kept = 0;
  while (d->output_scanline < d->output_height) {
    uint64_t first = d->output_scanline;
    JDIMENSION got = jpeg_read_scanlines(d, strip, JDIMENSION(d->rec_outbuf_height));
    if (got == 0) {
      jpeg_abort_decompress(d);
      return 1;
    }
    while (kept < wantHeight && kept * decodedHeight / wantHeight < first + got) {
      std::memcpy(t->rows[kept], strip[kept * decodedHeight / wantHeight - first], rowBytes);
      ++kept;
    }
  }
  jpeg_finish_decompress(d);
  t->decodedWidth = t->pixelWidth = int(d->output_width);
  t->decodedHeight = int(d->output_height);
  t->pixelHeight = t->wantHeight;
  t->decoded = true;
  return 0;
}

// Nearest neighbour across, to exactly the wanted width (the rows were picked while
// decoding). 0 or 1 (no memory).
int Scale(JpegThumb* t) {
  if (t->scaled || t->pixelWidth == t->wantWidth) return 0;
  const size_t c = size_t(t->components);
  const size_t w = size_t(t->wantWidth), h = size_t(t->pixelHeight);
  const size_t srcW = size_t(t->pixelWidth);
  auto* scaled = static_cast<uint8_t*>(std::malloc(w * h * c));
  auto* columns = static_cast<size_t*>(std::malloc(w * sizeof(size_t)));
  auto* rows = static_cast<uint8_t**>(std::malloc(h * sizeof(uint8_t*)));
  if (!scaled || !columns || !rows) {
    std::free(scaled);
    std::free(columns);
    std::free(rows);
    return 1;
  }
  for (size_t j = 0; j < w; ++j) columns[j] = (uint64_t(j) * srcW / w) * c;
  for (size_t i = 0; i < h; ++i) {
    const uint8_t* src = t->rows[i];
    uint8_t* dst = scaled + i * w * c;
    rows[i] = dst;
    if (c == 3) {
      for (size_t j = 0; j < w; ++j, dst += 3) std::memcpy(dst, src + columns[j], 3);
    } else {
      for (size_t j = 0; j < w; ++j, dst += c) std::memcpy(dst, src + columns[j], c);
    }
  }
  std::free(columns);
  std::free(t->pixels);
  std::free(t->rows);
  t->pixels = scaled;
  t->rows = rows;
  t->pixelWidth = t->wantWidth;
  t->scaled = true;
  return 0;
}

void WriteThumbMarkers(JpegThumb* t) {
  char text[4200];
  const auto put = [&](int n) {
    if (n > 0) {
      unsigned length = unsigned(std::min<size_t>(size_t(n), sizeof text - 1));
      jpeg_write_marker(&t->cinfo, JPEG_APP0 + 7, reinterpret_cast<const JOCTET*>(text), length);
    }
  };
  put(std::snprintf(text, sizeof text, "Thumb::URI\nfile://%s", t->path.c_str()));
  put(std::snprintf(text, sizeof text, "Thumb::MTime\n%llu", static_cast<unsigned long long>(t->mtime)));
  put(std::snprintf(text, sizeof text, "Thumb::Image::Width\n%i", t->header.width));
  put(std::snprintf(text, sizeof text, "Thumb::Image::Height\n%i", t->header.height));
  put(std::snprintf(text, sizeof text, "Thumb::Mimetype\nimage/jpeg"));
}

// libjpeg part of encoding; 0 or 1 on a libjpeg error. POD locals only.
int EncodeJpeg(JpegThumb* t) {
  j_compress_ptr c = &t->cinfo;
  c->err = InitJumpErrorManager(&t->cerr);
  if (setjmp(t->cerr.jump)) return 1;
  jpeg_create_compress(c);
  t->cinfoCreated = true;
  c->image_width = JDIMENSION(t->pixelWidth);
  c->image_height = JDIMENSION(t->pixelHeight);
  c->input_components = t->components;
  c->in_color_space = LibColorSpace(t->header.colorSpace);
  jpeg_set_defaults(c);
  jpeg_set_quality(c, t->quality, TRUE);
  if (t->quality > 89) {
    for (int i = 0; i < 3 && i < c->num_components; ++i) {
      c->comp_info[i].h_samp_factor = 1;
      c->comp_info[i].v_samp_factor = 1;
    }
  }
  if (t->out) {
    jpeg_stdio_dest(c, t->out);
  } else {
    UseMemoryDestination(c, &t->memoryOut);
  }
  jpeg_start_compress(c, TRUE);
  if (t->comments) WriteThumbMarkers(t);
  while (c->next_scanline < c->image_height) {
    JSAMPROW row = t->rows[c->next_scanline];
    jpeg_write_scanlines(c, &row, 1);
  }
  jpeg_finish_compress(c);
  return 0;
}

// 0 encoded; 1 nothing to encode, output not opened, or libjpeg error.
int EncodeImage(JpegThumb* t) {
  if (t->wantWidth < 1 || t->wantHeight < 1 || t->encoding || !t->rows) return 1;
  t->encoding = true;
  if (!t->outPath.empty()) {
    t->out = std::fopen(t->outPath.c_str(), "wbe");
    if (!t->out) {
      ConsoleErr("can't open outfile %s\n", t->outPath.c_str());
      return 1;
    }
  }
  int rc = EncodeJpeg(t);
  DestroyDecompressor(t);
  DestroyCompressor(t);
  if (t->in) {
    std::fclose(t->in);
    t->in = nullptr;
  }
  if (t->out) {
    if (std::fclose(t->out) != 0) rc = 1;
    t->out = nullptr;
  }
  if (rc == 0 && t->outPath.empty()) t->outputSize = t->memoryOut.size;
  return rc;
}

JpegThumb* Open(JpegThumb* t) {
  t->quality = 75;
  if (!ReadHeader(t)) {
    JpegThumb_Close(t);
    return nullptr;
  }
  return t;
}

}  // namespace

JpegThumb* JpegThumb_OpenFile(const char* path) {
  if (!path) return nullptr;
  JpegThumb* t = NewThumb();
  t->path = path;
  t->in = std::fopen(path, "rbe");
  if (!t->in) {
    JpegThumb_Close(t);
    return nullptr;
  }
  struct stat st;
  if (::fstat(fileno(t->in), &st) == 0) t->mtime = uint64_t(st.st_mtime);
  return Open(t);
}

JpegThumb* JpegThumb_OpenMemory(const uint8_t* data, size_t size, const char* uri, uint64_t mtime) {
  if (!data || size == 0) return nullptr;
  JpegThumb* t = NewThumb();
  t->path = uri ? uri : "";
  t->memory = data;
  t->memorySize = size;
  t->mtime = mtime;
  return Open(t);
}

const JpegThumbHeader& JpegThumb_Header(const JpegThumb* t) { return t->header; }

void JpegThumb_DecodedSize(const JpegThumb* t, int* width, int* height) {
  *width = t->decodedWidth;
  *height = t->decodedHeight;
}

void JpegThumb_SetDecodeSize(JpegThumb* t, int width, int height) {
  if (t->decoded) return;
  t->wantWidth = std::clamp(width, 1, t->header.width);
  t->wantHeight = std::clamp(height, 1, t->header.height);
}

void JpegThumb_SetQuality(JpegThumb* t, int quality) { t->quality = std::clamp(quality, 0, 100); }

void JpegThumb_EnableComments(JpegThumb* t, bool on) { t->comments = on; }

void JpegThumb_SetOutputFile(JpegThumb* t, const char* path) { t->outPath = path ? path : ""; }

int JpegThumb_Encode(JpegThumb* t) {
  int rc = Decode(t);
  if (rc != 0) return rc == 2 ? kThumbDecodeJpegError : kThumbDecodeFailed;
  if (Scale(t) != 0) return kThumbScaleFailed;
  if (EncodeImage(t) != 0) return kThumbEncodeFailed;
  return kThumbOk;
}

const uint8_t* JpegThumb_Output(const JpegThumb* t, size_t* size) {
  *size = t->outputSize;
  return t->outputSize ? t->memoryOut.data : nullptr;
}

void JpegThumb_Close(JpegThumb* t) {
  if (!t) return;
  DestroyDecompressor(t);
  DestroyCompressor(t);
  if (t->in) std::fclose(t->in);
  if (t->out) std::fclose(t->out);
  std::free(t->pixels);
  std::free(t->rows);
  FreeMemoryDestination(&t->memoryOut);
  delete t;
}

namespace {

bool HasBmpExtension(const std::string& path) {
  size_t dot = path.rfind('.');
  if (dot == std::string::npos) return false;
  std::string ext = path.substr(dot + 1);
  return ext == "bmp" || ext == "BMP";
}

}  // namespace

bool ThunmbNailIt(const std::string& source, int height, int width, std::vector<uint8_t>* out,
                  const std::string& typeName) {
  out->clear();
  std::vector<uint8_t> converted;
  JpegThumb* t;
  if (HasBmpExtension(typeName.empty() ? source : typeName)) {
    if (ConvertToJpegMemory(source, &converted) != 1) return false;
    struct stat st;
    uint64_t mtime = ::stat(source.c_str(), &st) == 0 ? uint64_t(st.st_mtime) : 0;
    t = JpegThumb_OpenMemory(converted.data(), converted.size(), source.c_str(), mtime);
  } else {
    t = JpegThumb_OpenFile(source.c_str());
  }
  if (!t) {
    KS_LOG_DEBUG(kModule, "open jpeg %s error", source.c_str());
    return false;
  }
  JpegThumb_SetDecodeSize(t, width, height);
  JpegThumb_SetQuality(t, 75);
  JpegThumb_EnableComments(t, true);
  JpegThumb_SetOutputFile(t, nullptr);
  if (JpegThumb_Encode(t) == kThumbOk) {
    size_t size = 0;
    const uint8_t* data = JpegThumb_Output(t, &size);
    if (data && size) out->assign(data, data + size);
  }
  JpegThumb_Close(t);
  return !out->empty();
}

}  // namespace ks::media
