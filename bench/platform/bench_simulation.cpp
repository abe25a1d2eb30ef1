// What one virtual second of streaming costs the simulation: render and capture at once
// through the whole driver (the engine client on both wave pins, the isochronous engines,
// the simulated bus and device) with the platform's default timing and every default
// check on, on the built-in UAC 2.0 headset and on a UAC 1.0 full-speed device.
//
// Counters, from one run of each:
//   x_real_time     virtual seconds per wall-clock second;
//   x_cpu_time      virtual seconds per second of the process's processor time (user plus
//                   system, all threads): the speed on one quiet core, whatever the load;
//   vcsw_per_vs     the process's voluntary context switches (getrusage) per virtual second;
//   ivcsw_per_vs    involuntary ones, for the machine's load;
//   syscalls_per_vs system calls of the process per virtual second, counted by the kernel's
//                   raw_syscalls:sys_enter tracepoint through perf_event_open on every
//                   thread of the process. Where that is not permitted (it needs
//                   tracefs and a perf_event_paranoid that allows tracepoints, or root) the
//                   counter is -1: count with `strace -f -c` around the binary instead.
// UA_BENCH_SIM_SECONDS sets the virtual length (default 10 s).
#include <benchmark/benchmark.h>
#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "driver_host.h"
#include "endpoints.h"
#include "kernel/clock.h"
#include "stream_session.h"
#include "tool_common.h"

namespace {

namespace clk = platform::clock;

// Counts the process's system calls from Start on: one counter on each of its threads
// (an inherited count is added to its parent's only when the child ends, and the
// platform's threads live on), each inheriting to the threads it starts. Threads started
// in the interval and still alive at its end are not counted. -1 when the kernel refuses.
class SyscallCounter {
 public:
  ~SyscallCounter() { Stop(); }
  void Start() {
    Stop();
    std::ifstream idFile("/sys/kernel/tracing/events/raw_syscalls/sys_enter/id");
    long long id = -1;
    if (!(idFile >> id)) return;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      perf_event_attr attr{};
      attr.type = PERF_TYPE_TRACEPOINT;
      attr.size = sizeof attr;
      attr.config = static_cast<unsigned long long>(id);
      attr.inherit = 1;
      const int tid = std::atoi(task.path().filename().c_str());
      const int fd = static_cast<int>(syscall(SYS_perf_event_open, &attr, tid, -1, -1, PERF_FLAG_FD_CLOEXEC));
      if (fd < 0) return Stop();
      fds_.push_back(fd);
    }
  }
  // Calls since Start, of this run's threads; -1 when not counted.
  long long Read() const {
    if (fds_.empty()) return -1;
    long long total = 0;
    for (int fd : fds_) {
      long long value = 0;
      if (read(fd, &value, sizeof value) != sizeof value) return -1;
      total += value;
    }
    return total;
  }

 private:
  void Stop() {
    for (int fd : fds_) close(fd);
    fds_.clear();
  }
  std::vector<int> fds_;
};

struct Usage {
  long voluntary = 0, involuntary = 0;
  double cpuSeconds = 0;
  long long syscalls = -1;
  std::chrono::steady_clock::time_point wall;
};

Usage Take(const SyscallCounter& syscalls) {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return {r.ru_nvcsw, r.ru_nivcsw, seconds(r.ru_utime) + seconds(r.ru_stime), syscalls.Read(),
          std::chrono::steady_clock::now()};
}

LONGLONG VirtualSeconds() {
  const char* text = std::getenv("UA_BENCH_SIM_SECONDS");
  const long long seconds = text ? std::atoll(text) : 10;
  return seconds > 0 ? seconds : 10;
}

// Starts the driver on `file` (empty: the built-in headset), opens its first render and
// first capture endpoint at 48 kHz (or their first format) and runs both for the virtual
// length; the counters cover the streaming only.
void RunRenderCapture(benchmark::State& state, const std::string& file) {
  for (auto _ : state) {
    std::string error;
    std::unique_ptr<sim::device::SimDevice> device;
    if (!tools::LoadDevice(file, true, device, error)) return state.SkipWithError(error.c_str());
    tools::DriverHost host;
    if (!NT_SUCCESS(host.StartDriver(std::move(device)))) return state.SkipWithError("the driver did not start");
    const auto endpoints = tools::ListEndpoints(host.hal());
    std::unique_ptr<sim::engine::FilterClient> filters[2];
    std::unique_ptr<sim::engine::Stream> streams[2];
    for (int capture = 0; capture < 2; ++capture) {
      const tools::Endpoint* endpoint = tools::FindEndpoint(endpoints, capture != 0, "", error);
      const tools::PcmFormat* format = endpoint ? tools::FindFormat(*endpoint, 0, 0, 0, error) : nullptr;
      sim::engine::StreamOptions options;
      options.checkCapturePattern = false;  // the devices' signal is a tone
      if (!format || !tools::OpenEndpointStream(host, *endpoint, *format, options, filters[capture], streams[capture], error))
        return state.SkipWithError(error.c_str());
    }
    for (auto& s : streams)
      if (!NT_SUCCESS(s->Start())) return state.SkipWithError("a stream did not start");
    const LONGLONG seconds = VirtualSeconds();
    SyscallCounter syscalls;
    syscalls.Start();
    const Usage before = Take(syscalls);
    clk::SleepFor(seconds * clk::kTicksPerSecond);
    const Usage after = Take(syscalls);
    for (auto& s : streams) s->Stop();
    for (auto& s : streams)
      if (!s->Findings().empty()) error = "engine finding: " + s->Findings().front().detail;
    for (auto& s : streams) s.reset();
    for (auto& f : filters) f.reset();
    host.Stop();
    if (!host.reports().empty()) error = host.reports().front();
    if (!error.empty()) return state.SkipWithError(error.c_str());
    const double wall = std::chrono::duration<double>(after.wall - before.wall).count();
    const auto perSecond = [&](double n) { return n / static_cast<double>(seconds); };
    state.SetIterationTime(wall);
    state.counters["x_real_time"] = static_cast<double>(seconds) / wall;
    state.counters["x_cpu_time"] = static_cast<double>(seconds) / (after.cpuSeconds - before.cpuSeconds);
    state.counters["vcsw_per_vs"] = perSecond(static_cast<double>(after.voluntary - before.voluntary));
    state.counters["ivcsw_per_vs"] = perSecond(static_cast<double>(after.involuntary - before.involuntary));
    state.counters["syscalls_per_vs"] =
        after.syscalls < 0 ? -1.0 : perSecond(static_cast<double>(after.syscalls - before.syscalls));
  }
}

void BM_HeadsetRenderCapture(benchmark::State& state) { RunRenderCapture(state, ""); }
void BM_Uac1FullSpeedRenderCapture(benchmark::State& state) {
  RunRenderCapture(state, std::string(UA_DEVICE_DUMPS_DIR) + "/uac1-soundcard-D.txt");
}

BENCHMARK(BM_HeadsetRenderCapture)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Uac1FullSpeedRenderCapture)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
