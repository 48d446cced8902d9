#include "agent/media/convert/convert.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "agent/media/convert/jpeg_io.h"
#include "agent/media/convert/raster_reader.h"

namespace ks::media {
namespace {

// The one option list the converter knows; ParseConvertSwitches returns the index of the
// input file in it.
struct ConvertSwitches {
  const char* argv[3];
  int argc;
};

// First pass: the output name of "-outfile". Second pass (forReal): the compression
// settings for the colour space chosen by now: quality 75, baseline tables.
int ParseConvertSwitches(const ConvertSwitches& sw, j_compress_ptr cinfo, bool forReal,
                         const char** outfile) {
  int i = 0;
  for (; i < sw.argc && sw.argv[i][0] == '-'; ++i) {
    if (std::strcmp(sw.argv[i], "-outfile") == 0 && i + 1 < sw.argc) {
      if (outfile) *outfile = sw.argv[i + 1];
      ++i;
    }
  }
  if (forReal) jpeg_set_quality(cinfo, 75, TRUE);
  return i;
}

// Everything the libjpeg part of one conversion touches; plain data, so that a jump out of
// libjpeg skips no destructor.
struct ConvertJob {
  jpeg_compress_struct cinfo;
  JumpErrorManager err;
  MemoryDestination memory;
  FILE* outFile;             // null: memory output
  RasterReader* reader;
  uint8_t* row;              // width x components bytes
  const ConvertSwitches* switches;
  const char* readerError;   // set when the reader failed mid-way
};

// 1 when compressed, 0 on a libjpeg or reader error. Only POD locals: libjpeg may jump here.
int Compress(ConvertJob* job) {
  j_compress_ptr cinfo = &job->cinfo;
  if (setjmp(job->err.jump)) {
    jpeg_destroy_compress(cinfo);
    return 0;
  }
  if (job->reader->width() > JPEG_MAX_DIMENSION || job->reader->height() > JPEG_MAX_DIMENSION) {
    AbortJpeg(reinterpret_cast<j_common_ptr>(cinfo), "Maximum supported image dimension is 65500 pixels");
  }
  cinfo->image_width = job->reader->width();
  cinfo->image_height = job->reader->height();
  cinfo->input_components = job->reader->components();
  cinfo->in_color_space = job->reader->components() == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_default_colorspace(cinfo);
  ParseConvertSwitches(*job->switches, cinfo, true, nullptr);
  if (job->outFile) {
    jpeg_stdio_dest(cinfo, job->outFile);
  } else {
    UseMemoryDestination(cinfo, &job->memory);
  }
  jpeg_start_compress(cinfo, TRUE);
  JSAMPROW rows[1] = {job->row};
  while (cinfo->next_scanline < cinfo->image_height) {
    if (!job->reader->GetRow(job->row)) {
      job->readerError = job->reader->error().c_str();
      AbortJpeg(reinterpret_cast<j_common_ptr>(cinfo), job->readerError);
    }
    jpeg_write_scanlines(cinfo, rows, 1);
  }
  jpeg_finish_compress(cinfo);
  jpeg_destroy_compress(cinfo);
  return 1;
}

// Creates the compressor; 0 when libjpeg failed (cannot really happen).
int CreateCompressor(ConvertJob* job) {
  job->cinfo.err = InitJumpErrorManager(&job->err);
  if (setjmp(job->err.jump)) return 0;
  jpeg_create_compress(&job->cinfo);
  job->cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&job->cinfo);
  return 1;
}

enum ConvertOutcome { kFailed, kWarned, kClean };

// Runs the reader and the compressor; the job's output is set by the caller.
ConvertOutcome Convert(ByteSource* source, ConvertJob* job) {
  std::string error;
  std::unique_ptr<RasterReader> reader = SelectInputReader(source, &error);
  if (!reader || !reader->Start()) {
    if (reader) error = reader->error();
    ConsoleErr("%s%s", error.c_str(), error.empty() || error.back() != '\n' ? "\n" : "");
    jpeg_destroy_compress(&job->cinfo);
    return kFailed;
  }
  std::vector<uint8_t> row(size_t(reader->width()) * size_t(reader->components()));
  job->reader = reader.get();
  job->row = row.data();
  if (!Compress(job)) return kFailed;
  return job->err.pub.num_warnings == 0 ? kClean : kWarned;
}

}  // namespace

int ConvertToJpeg(const std::string& input, const std::string& output) {
  ConvertSwitches switches{{"-outfile", output.c_str(), input.c_str()}, 3};
  auto job = std::make_unique<ConvertJob>();
  std::memset(job.get(), 0, sizeof(ConvertJob));
  if (!CreateCompressor(job.get())) return 0;
  const char* outName = nullptr;
  int inputIndex = ParseConvertSwitches(switches, &job->cinfo, false, &outName);

  FILE* in = std::fopen(switches.argv[inputIndex], "rbe");
  if (!in) {
    ConsoleErr(" can't open infile %s\n", switches.argv[inputIndex]);
    jpeg_destroy_compress(&job->cinfo);
    return 0;
  }
  FILE* out = std::fopen(outName, "wbe");
  if (!out) {
    ConsoleErr("can't open outfile %s\n", outName);
    std::fclose(in);
    jpeg_destroy_compress(&job->cinfo);
    return 0;
  }
  FileSource source(in);
  job->switches = &switches;
  job->outFile = out;
  int result = Convert(&source, job.get()) == kClean ? 1 : 0;
  std::fclose(in);
  if (std::fclose(out) != 0) result = 0;
  return result;
}

namespace {

int ConvertSourceToMemory(ByteSource* source, std::vector<uint8_t>* out) {
  ConvertSwitches switches{{"-outfile", "", ""}, 3};
  auto job = std::make_unique<ConvertJob>();
  std::memset(job.get(), 0, sizeof(ConvertJob));
  if (!CreateCompressor(job.get())) return 0;
  job->switches = &switches;
  ConvertOutcome outcome = Convert(source, job.get());
  if (outcome != kFailed) out->assign(job->memory.data, job->memory.data + job->memory.size);
  FreeMemoryDestination(&job->memory);
  return outcome == kClean ? 1 : 0;
}

}  // namespace

int ConvertToJpegMemory(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
  out->clear();
  MemorySource source(data, size);
  return ConvertSourceToMemory(&source, out);
}

int ConvertToJpegMemory(const std::string& input, std::vector<uint8_t>* out) {
  out->clear();
  FILE* in = std::fopen(input.c_str(), "rbe");
  if (!in) {
    ConsoleErr(" can't open infile %s\n", input.c_str());
    return 0;
  }
  FileSource source(in);
  int result = ConvertSourceToMemory(&source, out);
  std::fclose(in);
  return result;
}

}  // namespace ks::media
