// Scheduler seeds across gtest repetitions: the listener that follows the repetitions
// and reports the seed of every failure (an abort among them), and the check that no two
// repetitions of one process ran the same seed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "support/kernel_fixture.h"

namespace platform::testing {
namespace {

int repetition = 0;
std::uint64_t testSeed = 0;
std::string testName = "*";

// The line an abort prints (a verifier stop, a failed assertion, a sanitizer's report):
// the test and the seed that replay it, written ahead of time, as a signal handler may
// only write.
char abortLine[1024];
volatile std::sig_atomic_t abortLineLength = 0;

void WriteAbortLine() {
  abortLineLength = 0;
  const auto seed = static_cast<unsigned long long>(testSeed);
  const int n = std::snprintf(abortLine, sizeof abortLine,
                              "[   SEED   ] aborted in %s under scheduler seed %llu; UA_SEED=%llu %s "
                              "--gtest_filter=%s replays it\n",
                              testName.c_str(), seed, seed, program_invocation_name, testName.c_str());
  abortLineLength = n < 0 ? 0 : std::min<int>(n, sizeof abortLine - 1);
}

void OnAbort(int signal) {
  if (abortLineLength > 0) {
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, abortLine, abortLineLength);
  }
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

class SeedListener : public ::testing::EmptyTestEventListener {
 public:
  void OnTestIterationStart(const ::testing::UnitTest&, int iteration) override {
    repetition = iteration;
    testSeed = RunSeed();
    if (sched::SeedFromEnvironment())
      std::printf("[   SEED   ] repetition %d: scheduler seed %llu\n", iteration + 1,
                  static_cast<unsigned long long>(testSeed));
    std::fflush(stdout);
  }

  void OnTestStart(const ::testing::TestInfo& info) override {
    testSeed = RunSeed();
    testName = std::string(info.test_suite_name()) + "." + info.name();
    WriteAbortLine();
  }

  // Heads each failure the result printer shows next.
  void OnTestPartResult(const ::testing::TestPartResult& result) override {
    if (!result.failed()) return;
    // (gtest holds its lock here: current_test_info() would deadlock.)
    const auto seed = static_cast<unsigned long long>(testSeed);
    std::printf("[   SEED   ] scheduler seed %llu; UA_SEED=%llu %s --gtest_filter=%s replays:\n", seed, seed,
                program_invocation_name, testName.c_str());
    std::fflush(stdout);
  }
};

}  // namespace

int Repetition() { return repetition; }

std::uint64_t RunSeed() {
  const std::uint64_t base = sched::SeedFromEnvironment();
  return base ? base + static_cast<std::uint64_t>(repetition) : 0;
}

void NoteTestSeed(std::uint64_t seed) {
  testSeed = seed;
  WriteAbortLine();
}

bool InstallSeedListener() {
  static const bool installed = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new SeedListener);
    std::signal(SIGABRT, OnAbort);
    return true;
  }();
  return installed;
}

namespace {

// Each repetition of a seeded run explores a schedule of its own: the seed the fixture
// configured here was not configured by any earlier repetition of this process.
class SchedulerSeeds : public KernelTest {};

TEST_F(SchedulerSeeds, NoTwoRepetitionsOfOneProcessRunTheSameSeed) {
  static std::map<std::uint64_t, int> firstRepetition;  // seed -> the repetition that ran it
  EXPECT_EQ(sched::Current().seed, seed());
  if (seed() == 0) GTEST_SKIP() << "no UA_SEED: every repetition runs the fixed order";
  const auto [it, fresh] = firstRepetition.emplace(seed(), Repetition());
  EXPECT_TRUE(fresh) << "repetition " << Repetition() + 1 << " runs seed " << seed() << ", as repetition "
                     << it->second + 1 << " did";
}

}  // namespace
}  // namespace platform::testing
