// MD5 throughput against the system's md5sum on the same 256 MiB file.
//
//   md5_bench [file]   (default: a file made in $TMPDIR or /tmp and removed at the end)
//
// Both read from the page cache (one untimed warm-up pass first); each figure is the best
// of three runs. The stream figure is MD5::update(istream) with its 1024-byte reads, the
// way the desktop program digests a download; the goal is at least 0.9x md5sum.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/md5/md5.h"

namespace {

constexpr size_t kFileSize = 256u << 20;
constexpr int kRuns = 3;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

bool MakeFile(const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<uint32_t> chunk((1u << 20) / 4);
  uint32_t x = 2463534242u;
  for (size_t done = 0; done < kFileSize; done += chunk.size() * 4) {
    for (auto& w : chunk) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      w = x;
    }
    out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size() * 4));
  }
  return static_cast<bool>(out);
}

std::string RunMd5sum(const std::string& path) {
  std::string cmd = "md5sum '" + path + "'";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return "";
  char line[512] = {0};
  if (!std::fgets(line, sizeof line, p)) line[0] = 0;
  ::pclose(p);
  return std::string(line).substr(0, 32);
}

std::string StreamDigest(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  MD5 md5;
  md5.update(in);
  return md5.toString();
}

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  bool made = false;
  if (argc > 1) {
    path = argv[1];
  } else {
    const char* tmp = std::getenv("TMPDIR");
    path = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestyl-md5-bench-" + std::to_string(::getpid());
    std::printf("making %zu MiB file %s\n", kFileSize >> 20, path.c_str());
    if (!MakeFile(path)) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      ::unlink(path.c_str());
      return 1;
    }
    made = true;
  }
  const double mib = static_cast<double>(kFileSize) / (1 << 20);

  std::string expected = RunMd5sum(path);  // warm-up: the file is in the page cache afterwards
  if (expected.size() != 32) {
    std::fprintf(stderr, "md5sum failed\n");
    if (made) ::unlink(path.c_str());
    return 1;
  }

  double bestSum = 1e9, bestStream = 1e9;
  std::string got;
  for (int i = 0; i < kRuns; ++i) {
    auto t = std::chrono::steady_clock::now();
    RunMd5sum(path);
    bestSum = std::min(bestSum, Seconds(t));
    t = std::chrono::steady_clock::now();
    got = StreamDigest(path);
    bestStream = std::min(bestStream, Seconds(t));
  }

  // The compression function alone, from memory.
  std::vector<uint8_t> buf(1u << 20, 0xa5);
  auto t = std::chrono::steady_clock::now();
  MD5 mem;
  for (size_t done = 0; done < kFileSize; done += buf.size()) mem.update(buf.data(), buf.size());
  mem.toString();
  double memSecs = Seconds(t);

  std::printf("md5sum          %8.1f MiB/s  (%.3f s)\n", mib / bestSum, bestSum);
  std::printf("MD5 stream      %8.1f MiB/s  (%.3f s)  ratio %.2fx md5sum  digest %s\n", mib / bestStream,
              bestStream, bestSum / bestStream, got == expected ? "matches" : "DIFFERS");
  std::printf("MD5 from memory %8.1f MiB/s\n", mib / memSecs);
  std::printf("RESULT md5.stream_mibs=%.1f\nRESULT md5.md5sum_mibs=%.1f\nRESULT md5.memory_mibs=%.1f\n",
              mib / bestStream, mib / bestSum, mib / memSecs);
  std::printf("RESULT md5.digest_matches=%d\n", got == expected ? 1 : 0);
  if (made) ::unlink(path.c_str());
  return got == expected ? 0 : 1;
}
