#include "agent/media/convert/jpeg_io.h"

#include <atomic>
#include <cstdarg>
#include <cstdlib>

#include <jerror.h>

namespace ks::media {
namespace {

std::atomic<bool> g_console{true};

void JumpErrorExit(j_common_ptr cinfo) {
  auto* m = reinterpret_cast<JumpErrorManager*>(cinfo->err);
  if (m->reason) {
    ConsoleErr("%s\n", m->reason);
  } else {
    (*cinfo->err->output_message)(cinfo);
  }
  longjmp(m->jump, 1);
}

void ConsoleOutputMessage(j_common_ptr cinfo) {
  if (!ConsoleMessages()) return;
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  std::fprintf(stderr, "%s\n", text);
}

constexpr size_t kGrowStep = 64 * 1024;

void InitMemory(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
  if (!d->data) {
    d->data = static_cast<unsigned char*>(std::malloc(kGrowStep));
    if (!d->data) AbortJpeg(reinterpret_cast<j_common_ptr>(cinfo), "Insufficient memory");
    d->capacity = kGrowStep;
  }
  d->size = 0;
  d->pub.next_output_byte = d->data;
  d->pub.free_in_buffer = d->capacity;
}

// Called when the whole block is full.
boolean GrowMemory(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
  size_t step = d->capacity / 2 > kGrowStep ? (d->capacity / 2) & ~(kGrowStep - 1) : kGrowStep;
  auto* bigger = static_cast<unsigned char*>(std::realloc(d->data, d->capacity + step));
  if (!bigger) AbortJpeg(reinterpret_cast<j_common_ptr>(cinfo), "Insufficient memory");
  d->data = bigger;
  d->pub.next_output_byte = bigger + d->capacity;
  d->pub.free_in_buffer = step;
  d->capacity += step;
  return TRUE;
}

void TermMemory(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
  d->size = d->capacity - d->pub.free_in_buffer;
}

constexpr size_t kFileSourceBuffer = 256 * 1024;

struct LargeFileSource {
  jpeg_source_mgr pub;  // first
  FILE* file;
  JOCTET* buffer;
  bool started;  // some data was read
};

void InitFileSource(j_decompress_ptr cinfo) {
  reinterpret_cast<LargeFileSource*>(cinfo->src)->started = false;
}

boolean FillFileSource(j_decompress_ptr cinfo) {
  auto* s = reinterpret_cast<LargeFileSource*>(cinfo->src);
  size_t n = std::fread(s->buffer, 1, kFileSourceBuffer, s->file);
  if (n == 0) {
    if (!s->started) ERREXIT(cinfo, JERR_INPUT_EMPTY);
    WARNMS(cinfo, JWRN_JPEG_EOF);
    s->buffer[0] = 0xFF;
    s->buffer[1] = JPEG_EOI;
    n = 2;
  }
  s->pub.next_input_byte = s->buffer;
  s->pub.bytes_in_buffer = n;
  s->started = true;
  return TRUE;
}

void SkipFileSource(j_decompress_ptr cinfo, long count) {
  if (count <= 0) return;
  jpeg_source_mgr* src = cinfo->src;
  while (count > long(src->bytes_in_buffer)) {
    count -= long(src->bytes_in_buffer);
    (*src->fill_input_buffer)(cinfo);
  }
  src->next_input_byte += count;
  src->bytes_in_buffer -= size_t(count);
}

void TermFileSource(j_decompress_ptr) {}

void GuardProgress(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number > kMaxProgressiveScans) AbortJpeg(cinfo, "Too many scans in JPEG file");
}

}  // namespace

void SetConsoleMessages(bool on) { g_console.store(on); }
bool ConsoleMessages() { return g_console.load(); }

void ConsoleOut(const char* format, ...) {
  if (!ConsoleMessages()) return;
  va_list ap;
  va_start(ap, format);
  std::vprintf(format, ap);
  va_end(ap);
  std::fflush(stdout);
}

void ConsoleErr(const char* format, ...) {
  if (!ConsoleMessages()) return;
  va_list ap;
  va_start(ap, format);
  std::vfprintf(stderr, format, ap);
  va_end(ap);
}

jpeg_error_mgr* InitJumpErrorManager(JumpErrorManager* m) {
  jpeg_std_error(&m->pub);
  m->pub.error_exit = JumpErrorExit;
  m->pub.output_message = ConsoleOutputMessage;
  m->reason = nullptr;
  return &m->pub;
}

void AbortJpeg(j_common_ptr cinfo, const char* reason) {
  auto* m = reinterpret_cast<JumpErrorManager*>(cinfo->err);
  m->reason = reason;
  (*cinfo->err->error_exit)(cinfo);
  std::abort();  // error_exit jumps; it never comes back
}

void UseMemoryDestination(j_compress_ptr cinfo, MemoryDestination* dest) {
  dest->pub.init_destination = InitMemory;
  dest->pub.empty_output_buffer = GrowMemory;
  dest->pub.term_destination = TermMemory;
  dest->pub.next_output_byte = nullptr;
  dest->pub.free_in_buffer = 0;
  cinfo->dest = &dest->pub;
}

void FreeMemoryDestination(MemoryDestination* dest) {
  std::free(dest->data);
  dest->data = nullptr;
  dest->capacity = dest->size = 0;
}

void UseLargeFileSource(j_decompress_ptr cinfo, FILE* file) {
  auto* s = static_cast<LargeFileSource*>(
      (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(LargeFileSource)));
  s->buffer = static_cast<JOCTET*>(
      (*cinfo->mem->alloc_large)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, kFileSourceBuffer));
  s->file = file;
  s->started = false;
  s->pub.init_source = InitFileSource;
  s->pub.fill_input_buffer = FillFileSource;
  s->pub.skip_input_data = SkipFileSource;
  s->pub.resync_to_restart = jpeg_resync_to_restart;
  s->pub.term_source = TermFileSource;
  s->pub.next_input_byte = nullptr;
  s->pub.bytes_in_buffer = 0;
  cinfo->src = &s->pub;
}

void InstallDecoderGuard(j_decompress_ptr cinfo, DecoderGuard* guard) {
  cinfo->mem->max_memory_to_use = kMaxDecoderMemory;
  guard->pub.progress_monitor = GuardProgress;
  guard->pub.pass_counter = guard->pub.pass_limit = 0;
  guard->pub.completed_passes = guard->pub.total_passes = 0;
  cinfo->progress = &guard->pub;
}

}  // namespace ks::media
