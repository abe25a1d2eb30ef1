// Basic types, status codes and the processor dispatch mechanism shared by every
// primitive of the signal-processing library.
#pragma once

#include <cstdint>

// Result of every primitive: 0 success, negative error (nothing written), positive
// warning (the whole output was produced).
using spStatus = std::int32_t;

enum : spStatus {
  SP_OK = 0,
  SP_ERROR_LENGTH = -6,
  SP_ERROR_NULL = -8,
  SP_ERROR_ALLOCATION = -9,
  SP_ERROR_ZERO_DIVISOR = -10,
  SP_ERROR_TRANSFORM_ORDER = -15,
  SP_ERROR_TRANSFORM_FLAG = -16,
  SP_ERROR_WRONG_RECORD = -17,
  SP_ERROR_FILTER_ORDER = -25,
  SP_ERROR_TAP_COUNT = -26,
  SP_ERROR_RATE_PHASE = -28,
  SP_ERROR_RATE_FACTOR = -29,
  SP_ERROR_CHANNEL_COUNT = -53,
  SP_ERROR_OVERLAP = -54,
  SP_WARNING_UNALIGNED = 2,
  SP_WARNING_NEGATIVE_ROOT = 3,
  SP_WARNING_DIVIDED_BY_ZERO = 6,
  SP_WARNING_LOG_OF_ZERO = 7,
  SP_WARNING_LOG_OF_NEGATIVE = 8,
  SP_WARNING_POWER_DOMAIN = 19,
  SP_WARNING_PROCESSOR_PROBE = 20,
  SP_WARNING_UNKNOWN_PROCESSOR = 21,
};

// Processor class: the slot of a dispatch table and the build that fills it.
enum spProcessorClass : std::int32_t {
  SP_CLASS_GENERIC = 0,  // baseline x86-64 (SSE2), namespace sp::generic
  SP_CLASS_SSE3 = 1,     // processor build 1, namespace sp::sse3
  SP_CLASS_SSSE3 = 2,    // processor build 2, namespace sp::ssse3
  SP_CLASS_SSE41 = 3,    // processor build 3, namespace sp::sse41
};

// Global processor-class index read by every dispatch entry. Zero at load; only
// values 0..3 select their build (see spDispatchSlot).
extern std::int32_t spDispatchIndex;

// Four entry addresses of one dispatch entry, in slot order [generic, SSE3, SSSE3, SSE4.1].
using spEntryAddress = void (*)();
struct spDispatchTable {
  spEntryAddress slot[4];
};

// Builds a table from four bodies of the same signature (a compile error otherwise).
// Written as a macro so that a table of them is constant data, initialised before any
// code runs.
#define SP_DISPATCH_TABLE(s0, s1, s2, s3)                                                \
  spDispatchTable {                                                                      \
    {                                                                                    \
      reinterpret_cast<spEntryAddress>(s0),                                              \
          reinterpret_cast<spEntryAddress>(static_cast<decltype(s0)>(s1)),               \
          reinterpret_cast<spEntryAddress>(static_cast<decltype(s0)>(s2)),               \
          reinterpret_cast<spEntryAddress>(static_cast<decltype(s0)>(s3))                \
    }                                                                                    \
  }

// The same as a function, for tables built at run time (tests).
template <class Fn>
inline spDispatchTable spMakeDispatchTable(Fn* s0, Fn* s1, Fn* s2, Fn* s3) {
  return SP_DISPATCH_TABLE(s0, s1, s2, s3);
}

// The slot of the current index. spDispatchIndex is a writable global, so a value
// outside 0..3 selects the generic slot, which runs on every processor, instead of
// reading an address past the table. One compare and a conditional move: the entry
// stays a plain indexed jump.
inline std::uint32_t spDispatchSlot() {
  const auto index = static_cast<std::uint32_t>(spDispatchIndex);
  return index < 4 ? index : static_cast<std::uint32_t>(SP_CLASS_GENERIC);
}

// The body an entry transfers to: the table's slot for the current index.
template <class Fn>
inline Fn* spDispatchBody(const spDispatchTable& table) {
  return reinterpret_cast<Fn*>(table.slot[spDispatchSlot()]);
}

using int8 = std::int8_t;
using uint8 = std::uint8_t;
using int16 = std::int16_t;
using uint16 = std::uint16_t;
using int32 = std::int32_t;
using uint32 = std::uint32_t;
using int64 = std::int64_t;
using uint64 = std::uint64_t;
