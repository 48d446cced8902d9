// libjpeg glue shared by the BMP/PPM converter and the thumbnailer.
//
// - JumpErrorManager: libjpeg's own error manager ends the process; this one jumps back to
//   the setjmp of the caller, so a bad picture fails one piece of work and nothing else.
//   Functions that call setjmp keep only trivially destructible locals, and nothing between
//   them and libjpeg holds C++ objects, so the jump never skips a destructor.
// - MemoryDestination: compressed output into one malloc'ed block that grows in 64 KB steps
//   (by half its size once large); the block belongs to the caller after term_destination.
// - Large file source: libjpeg's stdio source reads 4 KB at a time, too little for
//   libjpeg-turbo's fast Huffman path (it wants a few KB per MCU in the buffer); this one
//   reads 256 KB at a time and, like the stdio source, ends a short file with a warning and
//   a fake EOI marker.
// - DecoderGuard: bounds what one decompression may cost (memory of whole-image buffers,
//   number of progressive scans), so a crafted header cannot allocate gigabytes.
// - Console messages: the converter and the thumbnailer write their progress and errors to
//   the console; benchmarks and fuzz targets turn that off.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <jpeglib.h>

namespace ks::media {

void SetConsoleMessages(bool on);
bool ConsoleMessages();
// printf to standard output / standard error while console messages are on.
void ConsoleOut(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ConsoleErr(const char* format, ...) __attribute__((format(printf, 1, 2)));

struct JumpErrorManager {
  jpeg_error_mgr pub;   // first: libjpeg sees only this
  jmp_buf jump;         // where error_exit returns to
  const char* reason;   // our own reason for an abort (null: libjpeg's message)
};
// Fills m and returns the pointer to store in cinfo.err.
jpeg_error_mgr* InitJumpErrorManager(JumpErrorManager* m);
// Ends the current libjpeg work with our own reason (jumps; never returns).
[[noreturn]] void AbortJpeg(j_common_ptr cinfo, const char* reason);

struct MemoryDestination {
  jpeg_destination_mgr pub;  // first
  unsigned char* data;       // malloc'ed; free with FreeMemoryDestination or take it
  size_t capacity;
  size_t size;               // valid after jpeg_finish_compress
};
void UseMemoryDestination(j_compress_ptr cinfo, MemoryDestination* dest);
void FreeMemoryDestination(MemoryDestination* dest);

// Whole-image buffers of one decompression (progressive or multi-scan files) may take at
// most this much memory; libjpeg fails the picture above it.
constexpr long kMaxDecoderMemory = 512L << 20;
// More scans than any real progressive file has; each costs a pass over the whole picture.
constexpr int kMaxProgressiveScans = 500;

// Reads the open file (not owned) through a buffer from libjpeg's pool.
void UseLargeFileSource(j_decompress_ptr cinfo, FILE* file);

struct DecoderGuard {
  jpeg_progress_mgr pub;  // first
};
// Call right after jpeg_create_decompress.
void InstallDecoderGuard(j_decompress_ptr cinfo, DecoderGuard* guard);

}  // namespace ks::media
