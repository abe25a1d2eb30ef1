// Vectors whose byte size does not fit 32 bits (4 GB and more) are processed in full.
// Long: each case writes more than 4 GB.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>

#include "core_test_support.h"

namespace {

constexpr int kLen = (1 << 30) + 4;  // len x 4 is 16 in 32-bit arithmetic
constexpr size_t kBytes = static_cast<size_t>(kLen) * 4;

class Huge {
 public:
  Huge() {
    void* p = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    data_ = p == MAP_FAILED ? nullptr : static_cast<uint8*>(p);
  }
  ~Huge() {
    if (data_) munmap(data_, kBytes);
  }
  uint8* data() { return data_; }

 private:
  uint8* data_ = nullptr;
};

TEST(WideCounts, ZeroAndSetReachTheLastElement) {
  for (const auto& b : sptest::SupportedBuilds()) {
    Huge mem;
    if (mem.data() == nullptr) GTEST_SKIP() << "no 4 GB mapping";
    float* f = reinterpret_cast<float*>(mem.data());
    std::memset(mem.data() + kBytes - 64, 0xFF, 64);
    ASSERT_EQ(b.set(2.0f, f, kLen), SP_OK);
    EXPECT_EQ(f[kLen - 1], 2.0f) << b.name;
    ASSERT_EQ(b.zero(f, kLen), SP_OK);
    EXPECT_EQ(sptest::Bits(f[kLen - 1]), 0u) << b.name;
    EXPECT_EQ(sptest::Bits(f[kLen / 2]), 0u) << b.name;
  }
}

}  // namespace
