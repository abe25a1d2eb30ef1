// The floating-point environment of the calling thread: MXCSR of the SSE unit and the
// control and status words of the x87 unit.
#include <atomic>
#include <cstring>

#include <xmmintrin.h>

#include "sp/core.h"

namespace {

constexpr uint32 kMxcsrDefault = 0x1F80;
constexpr uint32 kRoundingField = 0x6000;

// Every MXCSR load keeps to the bits the processor implements: loading any other bit
// faults. The mask of the FXSAVE image names them (0x0000FFFF on some processors,
// 0x0002FFFF on those with the misaligned-exception mask); a mask that reads 0 means the
// processor's default mask, which lacks denormals-are-zero.
constexpr uint32 kDefaultMxcsrMask = 0xFFBF;

std::atomic<spMxcsrMaskReader> g_mxcsrMaskReader{&spReadHardwareMxcsrMask};

void WriteMxcsr(uint32 value) { _mm_setcsr(value & spMxcsrLoadableBits()); }

uint16 ReadControlWord() {
  uint16 cw;
  asm volatile("fnstcw %0" : "=m"(cw));
  return cw;
}

void WriteControlWord(uint16 cw) { asm volatile("fldcw %0" : : "m"(cw)); }

uint16 ReadStatusWord() {
  uint16 sw;
  asm volatile("fnstsw %0" : "=m"(sw));
  return sw;
}

void WaitPending() { asm volatile("fwait"); }
void ClearFlags() { asm volatile("fnclex"); }

// Exception bits of the x87 words (bit 0..5) and their spFpControlWord bits.
struct ExceptionBit {
  uint16 x87;
  uint32 portable;
};
constexpr ExceptionBit kExceptionBits[] = {
    {1u << 0, SP_FP_INVALID},   {1u << 1, SP_FP_DENORMAL}, {1u << 2, SP_FP_ZERODIVIDE},
    {1u << 3, SP_FP_OVERFLOW},  {1u << 4, SP_FP_UNDERFLOW}, {1u << 5, SP_FP_INEXACT},
};

uint32 ExceptionsToPortable(uint16 word) {
  uint32 out = 0;
  for (const ExceptionBit& e : kExceptionBits) {
    if (word & e.x87) out |= e.portable;
  }
  return out;
}

uint16 ExceptionsToX87(uint32 word) {
  uint16 out = 0;
  for (const ExceptionBit& e : kExceptionBits) {
    if (word & e.portable) out = static_cast<uint16>(out | e.x87);
  }
  return out;
}

spFpControlWord ControlToPortable(uint16 cw) {
  uint32 out = ExceptionsToPortable(cw);
  out |= (cw & 0xC00u) >> 2;
  switch ((cw >> 8) & 3) {
    case 0: out |= SP_FP_PRECISION_24; break;
    case 2: out |= SP_FP_PRECISION_53; break;
    default: break;  // 11 (64-bit) and the reserved 01
  }
  if (cw & 0x1000) out |= SP_FP_INFINITY_AFFINE;
  return out;
}

uint16 PortableToControl(spFpControlWord word) {
  uint32 cw = ExceptionsToX87(word);
  cw |= (word & SP_FP_ROUND_MASK) << 2;
  switch (word & SP_FP_PRECISION_MASK) {
    case SP_FP_PRECISION_64: cw |= 0x300; break;
    case SP_FP_PRECISION_53: cw |= 0x200; break;
    default: break;  // 24-bit: PC = 00
  }
  if (word & SP_FP_INFINITY_AFFINE) cw |= 0x1000;
  return static_cast<uint16>(cw);
}

}  // namespace

uint32 spReadHardwareMxcsrMask() {
  alignas(16) uint8 image[512];
  std::memset(image, 0, sizeof image);
  asm volatile("fxsave %0" : "=m"(image));
  uint32 mask;
  std::memcpy(&mask, image + 28, sizeof mask);
  return mask;
}

spMxcsrMaskReader spSetMxcsrMaskReader(spMxcsrMaskReader reader) {
  return g_mxcsrMaskReader.exchange(reader ? reader : &spReadHardwareMxcsrMask);
}

uint32 spReadMxcsrMask() { return g_mxcsrMaskReader.load(std::memory_order_relaxed)(); }

uint32 spMxcsrLoadableBits() {
  const uint32 mask = spReadMxcsrMask();
  return mask != 0 ? mask : kDefaultMxcsrMask;
}

uint32 spGetMxcsr() { return _mm_getcsr(); }

void spLoadMxcsr(uint32 value) { WriteMxcsr(value); }

uint32 spResetMxcsr() {
  const uint32 old = _mm_getcsr();
  _mm_setcsr(kMxcsrDefault);
  return old;
}

uint32 spSetMxcsr(uint32 value, uint32 mask) {
  const uint32 old = _mm_getcsr();
  WriteMxcsr((old & ~mask) | (value & mask));
  return old;
}

uint32 spSetMxcsrRounding(uint32 rounding) {
  const uint32 old = _mm_getcsr();
  if ((old & kRoundingField) != rounding) WriteMxcsr((old & ~kRoundingField) | rounding);
  return old;
}

int spHasDenormalsAreZero() {
  const uint32 mask = spReadMxcsrMask();
  return mask != 0 && (mask & 0x40) != 0 ? 1 : 0;
}

uint16 spSetX87ControlWord(uint32 value, uint32 mask) {
  const uint16 old = ReadControlWord();
  WriteControlWord(static_cast<uint16>((old & ~mask) | (value & mask)));
  return old;
}

uint16 spGetX87ControlWord() { return ReadControlWord(); }
uint16 spGetX87StatusWord() { return ReadStatusWord(); }

uint16 spClearX87StatusWord() {
  const uint16 sw = ReadStatusWord();
  ClearFlags();
  return sw;
}

void spUpdateX87ControlWord(uint32 value, uint32 mask) {
  WaitPending();
  const uint16 cw = ReadControlWord();
  if ((cw & mask) != value) WriteControlWord(static_cast<uint16>((cw & ~mask) | value));
}

void spLoadX87ControlWord(uint32 value) { WriteControlWord(static_cast<uint16>(value & 0xFFFF)); }

spFpControlWord spControlX87(spFpControlWord value, spFpControlWord mask) {
  WaitPending();
  const spFpControlWord current = ControlToPortable(ReadControlWord());
  const spFpControlWord merged = (value & mask) | (current & ~mask);
  WriteControlWord(PortableToControl(merged));
  return merged;
}

spFpControlWord spGetX87Exceptions() {
  WaitPending();
  return ExceptionsToPortable(ReadStatusWord());
}

spFpControlWord spClearX87Exceptions() {
  const uint16 sw = ReadStatusWord();
  ClearFlags();
  return ExceptionsToPortable(sw);
}

int spIsNan_64f(double x) {
  uint64 bits;
  std::memcpy(&bits, &x, sizeof bits);
  return ((bits >> 52) & 0x7FF) == 0x7FF && (bits & 0xFFFFFFFFFFFFFull) != 0 ? 1 : 0;
}

int spIsFinite_64f(double x) {
  uint64 bits;
  std::memcpy(&bits, &x, sizeof bits);
  return ((bits >> 52) & 0x7FF) == 0x7FF ? 0 : 1;
}
