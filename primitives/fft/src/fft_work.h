// Work buffer of one transform call: the caller's buffer aligned to 32 bytes, or a block
// allocated for the call when the caller passes none and the record needs one.
#pragma once

#include <cstdint>

#include "fft_core.h"
#include "sp/fft.h"

namespace sp::generic {

class spFftWorkBuffer {
 public:
  spFftWorkBuffer() = default;
  spFftWorkBuffer(const spFftWorkBuffer&) = delete;
  spFftWorkBuffer& operator=(const spFftWorkBuffer&) = delete;
  ~spFftWorkBuffer() {
    if (allocated_) spFree(work_);
  }

  spStatus Acquire(const spFftSpecHeader* spec, uint8* pBuffer) {
    if (spec->workBytes <= 0) return SP_OK;
    if (pBuffer != nullptr) {
      const auto a = reinterpret_cast<std::uintptr_t>(pBuffer);
      work_ = reinterpret_cast<float*>((a + 31) & ~std::uintptr_t{31});
      return SP_OK;
    }
    work_ = static_cast<float*>(spAllocateAligned(spec->workBytes));
    if (work_ == nullptr) return SP_ERROR_ALLOCATION;
    allocated_ = true;
    return SP_OK;
  }

  float* get() const { return work_; }

 private:
  float* work_ = nullptr;
  bool allocated_ = false;
};

}  // namespace sp::generic
