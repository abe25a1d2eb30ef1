// Generic build of zeroing, copying, moving and filling.
#include <cstdint>
#include <cstring>

#include "sp/core_bodies.h"

namespace sp::generic {
namespace {

inline std::uintptr_t Addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

inline void CopyWord(uint8* d, const uint8* s) { std::memcpy(d, s, 4); }

inline bool Disjoint(const void* a, const void* b, uint64 n) {
  return Addr(a) + n <= Addr(b) || Addr(b) + n <= Addr(a);
}

// One block of N bytes, read completely before it is written.
template <unsigned N>
inline void MoveBlock(uint8* d, const uint8* s) {
  uint8 tmp[N];
  std::memcpy(tmp, s, N);
  std::memcpy(d, tmp, N);
}

// Overlapping ranges with the source above the destination: from the first byte up.
// Each block is read before it is written and the writes stay below the reads still to
// come, so the move is correct for any distance.
void MoveForward(const uint8* s, uint8* d, uint64 n) {
  uint64 i = 0;
  for (; i + 32 <= n; i += 32) MoveBlock<32>(d + i, s + i);
  for (; i + 16 <= n; i += 16) MoveBlock<16>(d + i, s + i);
  for (; i + 4 <= n; i += 4) MoveBlock<4>(d + i, s + i);
  for (; i < n; ++i) d[i] = s[i];
}

// Overlapping ranges with the destination above the source: from the last byte down.
void MoveBackward(const uint8* s, uint8* d, uint64 n) {
  uint64 i = n;
  for (; i >= 32; i -= 32) MoveBlock<32>(d + i - 32, s + i - 32);
  for (; i >= 16; i -= 16) MoveBlock<16>(d + i - 16, s + i - 16);
  for (; i >= 4; i -= 4) MoveBlock<4>(d + i - 4, s + i - 4);
  while (i > 0) {
    --i;
    d[i] = s[i];
  }
}

}  // namespace

void* spZeroBytes(void* p, int64 n) {
  if (n < 1) return p;
  uint8* b = static_cast<uint8*>(p);
  uint64 left = static_cast<uint64>(n);
  while ((Addr(b) & 3) != 0 && left != 0) {
    *b++ = 0;
    --left;
  }
  const uint32 zero = 0;
  for (; left >= 32; left -= 32, b += 32) {
    for (int w = 0; w < 8; ++w) std::memcpy(b + 4 * w, &zero, 4);
  }
  while (left != 0) {
    if ((Addr(b) & 15) == 0 && left >= 16) {
      std::memset(b, 0, 16);
      b += 16;
      left -= 16;
    } else {
      *b++ = 0;
      --left;
    }
  }
  return p;
}

spStatus spZero_32f(float* pDst, int len) {
  if (pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spZeroBytes(pDst, static_cast<int64>(len) * 4);
  return SP_OK;
}

void* spCopyBytes(const void* pSrc, void* pDst, int64 bytes) {
  if (bytes < 1) return pDst;
  const uint8* s = static_cast<const uint8*>(pSrc);
  uint8* d = static_cast<uint8*>(pDst);
  uint64 left = static_cast<uint64>(bytes);
  while ((Addr(d) & 3) != 0) {
    *d++ = *s++;
    if (--left == 0) return pDst;
  }
  const uint64 blocks = left & ~uint64{31};
  if (Disjoint(s, d, blocks)) {
    // Disjoint ranges: the same bytes in wider moves.
    for (uint64 i = 0; i < blocks; i += 32) std::memcpy(d + i, s + i, 32);
  } else {
    // Overlapping ranges keep the word order of increasing addresses.
    for (uint64 i = 0; i < blocks; i += 32) {
      for (int w = 0; w < 8; ++w) CopyWord(d + i + 4 * w, s + i + 4 * w);
    }
  }
  s += blocks;
  d += blocks;
  left -= blocks;
  for (; left != 0; --left) *d++ = *s++;
  return pDst;
}

spStatus spCopy_32f(const float* pSrc, float* pDst, int len) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spCopyBytes(pSrc, pDst, static_cast<int64>(len) * 4);
  return SP_OK;
}

spStatus spMove_32f(const float* pSrc, float* pDst, int len) {
  if (pSrc == nullptr || pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  const uint64 n = static_cast<uint64>(len) * 4;
  const uint8* s = reinterpret_cast<const uint8*>(pSrc);
  uint8* d = reinterpret_cast<uint8*>(pDst);
  if (s == d) return SP_OK;
  if (Disjoint(s, d, n)) {
    spCopyBytes(s, d, static_cast<int64>(n));
  } else if (Addr(s) > Addr(d)) {
    MoveForward(s, d, n);
  } else {
    MoveBackward(s, d, n);
  }
  return SP_OK;
}

void* spSetKernel_32s(uint32 value, void* pDst, int len) {
  if (len < 1) return pDst;
  uint8* d = static_cast<uint8*>(pDst);
  uint64 left = static_cast<uint64>(len);
  uint32 block[8];
  for (uint32& w : block) w = value;
  for (; left >= 8; left -= 8, d += 32) std::memcpy(d, block, 32);
  for (; left != 0; --left, d += 4) std::memcpy(d, &value, 4);
  return pDst;
}

spStatus spSet_32f(float value, float* pDst, int len) {
  if (pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  uint32 bits;
  std::memcpy(&bits, &value, 4);
  spSetKernel_32s(bits, pDst, len);
  return SP_OK;
}

spStatus spSet_32s(int32 value, int32* pDst, int len) {
  if (pDst == nullptr) return SP_ERROR_NULL;
  if (len < 1) return SP_ERROR_LENGTH;
  spSetKernel_32s(static_cast<uint32>(value), pDst, len);
  return SP_OK;
}

}  // namespace sp::generic
