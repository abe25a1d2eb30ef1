// Copy, set (fill), zero and move of every build against the C library at 2 KB, 64 KB,
// 1 MB, 8 MB and 64 MB, and interleaving of 2, 3, 6 and 8 channels.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sp/core_bodies.h"
#include "sp/sp.h"

namespace {

struct Build {
  const char* name;
  bool (*supported)();
  decltype(&sp::generic::spCopy_32f) copy;
  decltype(&sp::generic::spSet_32f) set;
  decltype(&sp::generic::spZero_32f) zero;
  decltype(&sp::generic::spMove_32f) move;
  decltype(&sp::generic::spInterleave_32f) interleave;
  decltype(&sp::generic::spDeinterleave_32f) deinterleave;
};

#define BUILD(ns, feature)                                                                    \
  Build {                                                                                     \
    #ns, []() -> bool { return feature; }, &sp::ns::spCopy_32f, &sp::ns::spSet_32f, &sp::ns::spZero_32f, \
        &sp::ns::spMove_32f, &sp::ns::spInterleave_32f, &sp::ns::spDeinterleave_32f           \
  }

const Build kBuilds[] = {
    BUILD(generic, true),
    BUILD(sse3, __builtin_cpu_supports("sse3")),
    BUILD(ssse3, __builtin_cpu_supports("ssse3")),
    BUILD(sse41, __builtin_cpu_supports("sse4.1")),
};

// 64-byte aligned float buffer.
struct Buffer {
  explicit Buffer(size_t floats) : p(static_cast<float*>(std::aligned_alloc(64, (floats * 4 + 63) / 64 * 64))) {
    std::memset(p, 0x3F, floats * 4);
  }
  ~Buffer() { std::free(p); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  float* p;
};

// 2 KB sits in the first-level cache, 64 KB in the second, 1 MB in the last-level cache of
// most machines; 8 MB stays in many last-level caches, 64 MB is past them all.
constexpr size_t kSizes[] = {2 * 1024, 64 * 1024, 1024 * 1024, 8 * 1024 * 1024, 64 * 1024 * 1024};

std::string SizeName(size_t bytes) {
  return bytes >= 1024 * 1024 ? std::to_string(bytes >> 20) + "MB" : std::to_string(bytes >> 10) + "KB";
}

template <class Body>
void Run(benchmark::State& state, size_t bytes, Body body) {
  for (auto _ : state) {
    body();
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

void RegisterMemory() {
  for (size_t bytes : kSizes) {
    const int len = static_cast<int>(bytes / 4);
    const std::string size = SizeName(bytes);
    // The C library first, then every build, so that the figures stand side by side.
    benchmark::RegisterBenchmark(("copy/" + size + "/memcpy").c_str(), [=](benchmark::State& s) {
      Buffer a(len), b(len);
      Run(s, bytes, [&] { std::memcpy(b.p, a.p, bytes); });
    });
    for (const Build& build : kBuilds) {
      if (!build.supported()) continue;
      benchmark::RegisterBenchmark(("copy/" + size + "/" + build.name).c_str(), [=](benchmark::State& s) {
        Buffer a(len), b(len);
        Run(s, bytes, [&] { build.copy(a.p, b.p, len); });
      });
    }
    benchmark::RegisterBenchmark(("set/" + size + "/memset").c_str(), [=](benchmark::State& s) {
      Buffer a(len);
      Run(s, bytes, [&] { std::memset(a.p, 0x3F, bytes); });
    });
    for (const Build& build : kBuilds) {
      if (!build.supported()) continue;
      benchmark::RegisterBenchmark(("set/" + size + "/" + build.name).c_str(), [=](benchmark::State& s) {
        Buffer a(len);
        Run(s, bytes, [&] { build.set(0.75f, a.p, len); });
      });
    }
    benchmark::RegisterBenchmark(("zero/" + size + "/memset").c_str(), [=](benchmark::State& s) {
      Buffer a(len);
      Run(s, bytes, [&] { std::memset(a.p, 0, bytes); });
    });
    for (const Build& build : kBuilds) {
      if (!build.supported()) continue;
      benchmark::RegisterBenchmark(("zero/" + size + "/" + build.name).c_str(), [=](benchmark::State& s) {
        Buffer a(len);
        Run(s, bytes, [&] { build.zero(a.p, len); });
      });
    }
    // Move by 16 elements up within one buffer: overlapping, copied from the end.
    benchmark::RegisterBenchmark(("move/" + size + "/memmove").c_str(), [=](benchmark::State& s) {
      Buffer a(len + 16);
      Run(s, bytes, [&] { std::memmove(a.p + 16, a.p, bytes); });
    });
    for (const Build& build : kBuilds) {
      if (!build.supported()) continue;
      benchmark::RegisterBenchmark(("move/" + size + "/" + build.name).c_str(), [=](benchmark::State& s) {
        Buffer a(len + 16);
        Run(s, bytes, [&] { build.move(a.p, a.p + 16, len); });
      });
    }
  }
}

void RegisterInterleave() {
  constexpr int kFrames = 4096;
  for (int channels : {2, 3, 6, 8}) {
    const size_t bytes = static_cast<size_t>(kFrames) * channels * 4;
    for (const Build& build : kBuilds) {
      if (!build.supported()) continue;
      const std::string suffix = std::to_string(channels) + "ch/" + build.name;
      benchmark::RegisterBenchmark(("interleave/" + suffix).c_str(), [=](benchmark::State& s) {
        std::vector<Buffer*> planes;
        std::vector<const float*> src;
        for (int c = 0; c < channels; ++c) {
          planes.push_back(new Buffer(kFrames));
          src.push_back(planes.back()->p);
        }
        Buffer out(static_cast<size_t>(kFrames) * channels);
        Run(s, bytes, [&] { build.interleave(src.data(), channels, kFrames, out.p); });
        for (Buffer* p : planes) delete p;
      });
      benchmark::RegisterBenchmark(("deinterleave/" + suffix).c_str(), [=](benchmark::State& s) {
        std::vector<Buffer*> planes;
        std::vector<float*> dst;
        for (int c = 0; c < channels; ++c) {
          planes.push_back(new Buffer(kFrames));
          dst.push_back(planes.back()->p);
        }
        Buffer in(static_cast<size_t>(kFrames) * channels);
        Run(s, bytes, [&] { build.deinterleave(in.p, channels, kFrames, dst.data()); });
        for (Buffer* p : planes) delete p;
      });
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  __builtin_cpu_init();
  RegisterMemory();
  RegisterInterleave();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
