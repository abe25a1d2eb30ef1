// The read-only filter data of the headphone convolver, and the lookup of one filter set
// by filter room (1..3) and angle code.
//
// Head tables: ten 1024-tap filters one after the other (left ear, right ear of groups
// A..E). Tail tables: the left-ear tail followed by the right-ear tail. The tables lie in
// one array in this order:
//   room 3 narrow heads (codes 24, 29, 34, 39), then their shared tail (7168 taps);
//   room 2 narrow heads, tail (3072); room 1 narrow heads, tail (3072);
//   room 3 wide heads (codes 25, 30, 35, 40), tail (7168); room 2 wide heads, tail (5120);
//   room 1 wide heads, tail (3072);
//   code 31 head and tail (6144) for room 3, then room 2, then room 1.
// The crosstalk-cancellation sets (5, 10, 15, 20 and 30 degrees) are a second array: per
// angle t1 then t2, 256 taps each.
//
// A source whose data is null (or of the wrong size) holds no filters: every selection
// from it is silent.
//
// The product's source is the filter file embedded in the library
// (dsp/virtualiser/data/lpv_filters.bin, made by tools/gen_virtualiser_filters.py). Its
// values are designed substitutes built from a documented head, room and tail model:
// they keep the layout, lengths, mirror identities and given sample values of the
// original tables, so the virtualiser's output matches the original system in structure
// and in measured properties, not numerically. Its crosstalk sets are identities
// (t1 a unit impulse, t2 zero).
//
// File format (little-endian): a 64-byte header ("LPVF", layout version, header size,
// head tables, filters per head table, head length, tail tables, crosstalk sets,
// crosstalk length, filter floats, crosstalk floats, CRC-32 of the float bytes, four zero
// words), then the filter floats, then the crosstalk floats.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::int32_t LPV_HEAD_FILTERS = 10;
inline constexpr std::int32_t LPV_HEAD_LENGTH = 1024;
inline constexpr std::int32_t LPV_HEAD_TABLE_FLOATS = LPV_HEAD_FILTERS * LPV_HEAD_LENGTH;
inline constexpr std::int32_t LPV_MAX_TAIL_LENGTH = 7168;
inline constexpr std::int32_t LPV_CTC_LENGTH = 256;
inline constexpr std::int32_t LPV_CTC_SET_COUNT = 5;
inline constexpr std::int32_t LPV_CTC_SET_FLOATS = 2 * LPV_CTC_LENGTH;

// Floats of the whole filter array: 27 head tables and the 9 two-ear tails.
inline constexpr std::size_t LPV_FILTER_DATA_FLOATS =
    27u * LPV_HEAD_TABLE_FLOATS + 2u * (7168 + 3072 + 3072 + 7168 + 5120 + 3072 + 3 * 6144);
inline constexpr std::size_t LPV_CTC_DATA_FLOATS = std::size_t{LPV_CTC_SET_COUNT} * LPV_CTC_SET_FLOATS;

struct LpvFilterSource {
  const float* filters = nullptr;    // LPV_FILTER_DATA_FLOATS floats in the order above
  std::size_t filterFloats = 0;
  const float* crosstalk = nullptr;  // LPV_CTC_DATA_FLOATS floats
  std::size_t crosstalkFloats = 0;
};

inline constexpr std::uint32_t LPV_FILTER_FILE_VERSION = 1;
inline constexpr std::size_t LPV_FILTER_FILE_HEADER_BYTES = 64;

// The header of a filter file.
struct LpvFilterFileHeader {
  std::uint32_t version = 0;
  std::uint32_t headerBytes = 0;
  std::uint32_t headTables = 0;
  std::uint32_t headFilters = 0;
  std::uint32_t headLength = 0;
  std::uint32_t tailTables = 0;
  std::uint32_t crosstalkSets = 0;
  std::uint32_t crosstalkLength = 0;
  std::uint32_t filterFloats = 0;
  std::uint32_t crosstalkFloats = 0;
  std::uint32_t checksum = 0;
};

enum class LpvFilterFileStatus {
  Ok,
  TooShort,     // fewer bytes than the header, or than the header's counts need
  BadMagic,
  BadLayout,    // version, header size or counts other than this layout's
  BadChecksum,
  Misaligned,   // the float data does not start on a 4-byte boundary
};

// The CRC-32 (reflected polynomial 0xEDB88320, initial and final inversion) of n bytes.
std::uint32_t LpvCrc32(const void* bytes, std::size_t n);

// Checks a filter file of size bytes and, when it is sound, points source at its data
// (the bytes must outlive the source). header, when not null, receives what was read.
LpvFilterFileStatus LpvParseFilterFile(const unsigned char* bytes, std::size_t size, LpvFilterSource* source,
                                       LpvFilterFileHeader* header);

// The embedded filter file's bytes.
const unsigned char* LpvFilterFileBytes(std::size_t* size);

// The source the product's engines use: the embedded file, checked once; a file that
// fails its check (never expected) gives the empty source, so the convolution is silent
// and the failure is printed once.
const LpvFilterSource& LpvProductFilterSource();

enum class LpvFilterLookup {
  Found,
  UnknownCode,  // room 1..3, but the code is none of the table's
  UnknownRoom,  // room outside 1..3
  NoData,       // a valid pair, but the source holds no filters
};

struct LpvFilterTables {
  const float* head = nullptr;  // ten filters of LPV_HEAD_LENGTH taps
  const float* tail = nullptr;  // left tail, then right tail, tailLength taps each
  std::int32_t tailLength = 0;
};

// Finds the tables of (room, angle code) in the source.
LpvFilterLookup LpvFindFilterTables(const LpvFilterSource& source, std::int32_t room, std::int32_t angleCode,
                                    LpvFilterTables* tables);

// Tail length per ear of (room, code) by the table layout; 0 for a pair outside it.
std::int32_t LpvTailLength(std::int32_t room, std::int32_t angleCode);

// Offsets, in floats from the start of the filter array, of the head table and of the
// tail table of (room, code); false for a pair outside the layout. Tests build sources
// with it.
bool LpvFilterOffsets(std::int32_t room, std::int32_t angleCode, std::size_t* headOffset, std::size_t* tailOffset);

// The crosstalk set of an angle (5, 10, 15, 20 or 30 degrees): t1 and t2, or false when
// the angle has no set or the source holds none.
bool LpvFindCrosstalkSet(const LpvFilterSource& source, std::int32_t degrees, const float** t1, const float** t2);
