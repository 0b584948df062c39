// How fast four segment files are joined into one, through the platform's
// own file calls, for a few buffer sizes of a copy through user space and
// for File::CopyFrom as the join uses it. Runs on both builds (the Windows
// one under wine), so the join's buffer can be chosen by measurement.
//
//   join_bench DIR [MIB [ROUNDS]]
//
// Writes four segments of MIB/4 MiB each (default 256 MiB in all) into
// DIR, then per round and per method joins them into DIR/joined and prints
// the median time and rate of each method. Every file it made is removed.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/files.h"

namespace {

using vorn::platform::Env;
using vorn::platform::File;
using vorn::platform::FileSystem;
using vorn::platform::OpenMode;

constexpr int kSegments = 4;

std::string PathIn(const std::string& dir, const std::string& name) {
  char sep = dir.find('\\') != std::string::npos ? '\\' : '/';
  return dir + sep + name;
}

bool MakeSegment(FileSystem* fs, const std::string& path, int64_t bytes,
                 uint32_t seed) {
  std::unique_ptr<File> f = fs->Open(path, OpenMode::kCreateTruncate);
  if (!f) return false;
  std::vector<char> block(1 << 20);
  uint32_t x = seed;
  for (int64_t done = 0; done < bytes;) {
    for (char& c : block) {
      x = x * 1664525u + 1013904223u;
      c = static_cast<char>(x >> 24);
    }
    int64_t n = std::min<int64_t>(bytes - done, block.size());
    if (!f->Write(block.data(), n)) return false;
    done += n;
  }
  return f->Close();
}

// Joins the segments into `out_path`; `buffer_bytes` 0 means CopyFrom.
// Returns the seconds taken, or a negative value on a failure.
double Join(FileSystem* fs, const std::vector<std::string>& segments,
            const std::string& out_path, int64_t buffer_bytes) {
  auto start = std::chrono::steady_clock::now();
  std::unique_ptr<File> out = fs->Open(out_path, OpenMode::kCreateTruncate);
  if (!out) return -1;
  std::vector<char> buffer(static_cast<size_t>(std::max<int64_t>(1, buffer_bytes)));
  for (const std::string& path : segments) {
    std::unique_ptr<File> in = fs->Open(path, OpenMode::kRead);
    if (!in) return -1;
    int64_t length = in->Length();
    if (buffer_bytes == 0) {
      if (out->CopyFrom(in.get(), length) != length) return -1;
      continue;
    }
    for (int64_t done = 0; done < length;) {
      int64_t got = in->Read(buffer.data(), buffer_bytes);
      if (got <= 0 || !out->Write(buffer.data(), got)) return -1;
      done += got;
    }
  }
  if (!out->Close()) return -1;
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return took.count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: join_bench DIR [MIB [ROUNDS]]\n");
    return 2;
  }
  std::string dir = argv[1];
  int64_t mib = argc > 2 ? std::atoll(argv[2]) : 256;
  int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
  if (mib < kSegments || rounds < 1) {
    std::fprintf(stderr, "join_bench: MIB must be at least 4, ROUNDS 1 or more\n");
    return 2;
  }
  FileSystem* fs = Env::Default().files;
  int64_t segment_bytes = mib * (1 << 20) / kSegments;
  std::vector<std::string> segments;
  for (int i = 0; i < kSegments; ++i) {
    segments.push_back(PathIn(dir, "segment" + std::to_string(i)));
    if (!MakeSegment(fs, segments.back(), segment_bytes, 7u + i)) {
      std::fprintf(stderr, "join_bench: cannot write %s\n", segments.back().c_str());
      return 1;
    }
  }
  std::string out_path = PathIn(dir, "joined");

  struct Method {
    const char* name;
    int64_t buffer_bytes;
    std::vector<double> seconds;
  };
  std::vector<Method> methods = {{"read/write 64 KiB", 64 << 10, {}},
                                 {"read/write 256 KiB", 256 << 10, {}},
                                 {"read/write 1 MiB", 1 << 20, {}},
                                 {"CopyFrom", 0, {}}};
  int status = 0;
  for (int round = 0; round < rounds && status == 0; ++round) {
    for (size_t k = 0; k < methods.size(); ++k) {
      // The order rotates, so no method always meets a warm or cold cache.
      Method& m = methods[(k + round) % methods.size()];
      double s = Join(fs, segments, out_path, m.buffer_bytes);
      if (s < 0 || fs->FileLength(out_path) != segment_bytes * kSegments) {
        std::fprintf(stderr, "join_bench: %s failed\n", m.name);
        status = 1;
        break;
      }
      m.seconds.push_back(s);
      fs->RemoveFile(out_path);
    }
  }
  if (status == 0) {
    std::printf("join of %lld MiB in %d segments, median of %d rounds\n",
                static_cast<long long>(mib), kSegments, rounds);
    for (Method& m : methods) {
      std::sort(m.seconds.begin(), m.seconds.end());
      double median = m.seconds[m.seconds.size() / 2];
      std::printf("  %-20s %7.3f s  %8.0f MiB/s\n", m.name, median,
                  static_cast<double>(mib) / median);
    }
  }
  for (const std::string& path : segments) fs->RemoveFile(path);
  fs->RemoveFile(out_path);
  return status;
}
