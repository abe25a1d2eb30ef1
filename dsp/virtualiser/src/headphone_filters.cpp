// The filter layout of the headphone convolver and its lookup.
#include "dsp/virtualiser/headphone_filters.h"

#include <bit>
#include <cstring>

#include "dsp/host.h"
#include "headphone_filter_file.h"

namespace {

// One group of the layout: the head tables of its codes, then one shared tail.
struct LayoutGroup {
  std::int32_t room;
  std::int32_t codes[4];
  std::int32_t codeCount;
  std::int32_t tailLength;
};

constexpr LayoutGroup kLayout[] = {
    {3, {24, 29, 34, 39}, 4, 7168}, {2, {24, 29, 34, 39}, 4, 3072}, {1, {24, 29, 34, 39}, 4, 3072},
    {3, {25, 30, 35, 40}, 4, 7168}, {2, {25, 30, 35, 40}, 4, 5120}, {1, {25, 30, 35, 40}, 4, 3072},
    {3, {31}, 1, 6144},             {2, {31}, 1, 6144},             {1, {31}, 1, 6144},
};

constexpr std::size_t LayoutFloats() {
  std::size_t n = 0;
  for (const LayoutGroup& g : kLayout)
    n += static_cast<std::size_t>(g.codeCount) * LPV_HEAD_TABLE_FLOATS + 2u * static_cast<std::size_t>(g.tailLength);
  return n;
}
static_assert(std::endian::native == std::endian::little, "the filter file is little-endian");
static_assert(LayoutFloats() == LPV_FILTER_DATA_FLOATS, "filter layout and its size disagree");

constexpr std::int32_t kCrosstalkAngles[LPV_CTC_SET_COUNT] = {5, 10, 15, 20, 30};

// The layout group of (room, code) and the code's index in it; null when none.
const LayoutGroup* FindGroup(std::int32_t room, std::int32_t code, std::size_t* headOffset, std::size_t* tailOffset) {
  std::size_t at = 0;
  for (const LayoutGroup& g : kLayout) {
    for (std::int32_t i = 0; i < g.codeCount; ++i) {
      if (g.room == room && g.codes[i] == code) {
        *headOffset = at + static_cast<std::size_t>(i) * LPV_HEAD_TABLE_FLOATS;
        *tailOffset = at + static_cast<std::size_t>(g.codeCount) * LPV_HEAD_TABLE_FLOATS;
        return &g;
      }
    }
    at += static_cast<std::size_t>(g.codeCount) * LPV_HEAD_TABLE_FLOATS + 2u * static_cast<std::size_t>(g.tailLength);
  }
  return nullptr;
}

const LpvFilterSource kEmptySource{};

std::uint32_t ReadU32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

LpvFilterSource LoadProductSource() {
  std::size_t size = 0;
  const unsigned char* bytes = LpvEmbeddedFilterFile(&size);
  LpvFilterSource source;
  const LpvFilterFileStatus status = LpvParseFilterFile(bytes, size, &source, nullptr);
  if (status != LpvFilterFileStatus::Ok) {
    DspPrint("LPV: embedded filter file refused (%d); the virtualiser is silent\n", static_cast<int>(status));
    return kEmptySource;
  }
  return source;
}

}  // namespace

std::uint32_t LpvCrc32(const void* bytes, std::size_t n) {
  static const auto kTable = [] {
    struct Table {
      std::uint32_t v[256];
    } t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t.v[i] = c;
    }
    return t;
  }();
  const auto* p = static_cast<const unsigned char*>(bytes);
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) crc = kTable.v[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

LpvFilterFileStatus LpvParseFilterFile(const unsigned char* bytes, std::size_t size, LpvFilterSource* source,
                                       LpvFilterFileHeader* header) {
  if (source != nullptr) *source = kEmptySource;
  if (bytes == nullptr || size < LPV_FILTER_FILE_HEADER_BYTES) return LpvFilterFileStatus::TooShort;
  if (std::memcmp(bytes, "LPVF", 4) != 0) return LpvFilterFileStatus::BadMagic;
  LpvFilterFileHeader h;
  std::uint32_t* const fields[] = {&h.version,      &h.headerBytes,   &h.headTables,      &h.headFilters,
                                   &h.headLength,   &h.tailTables,    &h.crosstalkSets,   &h.crosstalkLength,
                                   &h.filterFloats, &h.crosstalkFloats, &h.checksum};
  for (std::size_t i = 0; i < sizeof(fields) / sizeof(fields[0]); ++i) *fields[i] = ReadU32(bytes + 4 + 4 * i);
  if (header != nullptr) *header = h;
  if (h.version != LPV_FILTER_FILE_VERSION || h.headerBytes != LPV_FILTER_FILE_HEADER_BYTES || h.headTables != 27 ||
      h.headFilters != LPV_HEAD_FILTERS || h.headLength != LPV_HEAD_LENGTH || h.tailTables != 9 ||
      h.crosstalkSets != LPV_CTC_SET_COUNT || h.crosstalkLength != LPV_CTC_LENGTH ||
      h.filterFloats != LPV_FILTER_DATA_FLOATS || h.crosstalkFloats != LPV_CTC_DATA_FLOATS)
    return LpvFilterFileStatus::BadLayout;
  const std::size_t floatBytes = (LPV_FILTER_DATA_FLOATS + LPV_CTC_DATA_FLOATS) * sizeof(float);
  if (size - LPV_FILTER_FILE_HEADER_BYTES < floatBytes) return LpvFilterFileStatus::TooShort;
  const unsigned char* data = bytes + LPV_FILTER_FILE_HEADER_BYTES;
  if (LpvCrc32(data, floatBytes) != h.checksum) return LpvFilterFileStatus::BadChecksum;
  if (reinterpret_cast<std::uintptr_t>(data) % alignof(float) != 0) return LpvFilterFileStatus::Misaligned;
  if (source != nullptr) {
    // The file is little-endian, as is every processor this library builds for.
    source->filters = reinterpret_cast<const float*>(data);
    source->filterFloats = LPV_FILTER_DATA_FLOATS;
    source->crosstalk = source->filters + LPV_FILTER_DATA_FLOATS;
    source->crosstalkFloats = LPV_CTC_DATA_FLOATS;
  }
  return LpvFilterFileStatus::Ok;
}

const unsigned char* LpvFilterFileBytes(std::size_t* size) { return LpvEmbeddedFilterFile(size); }

const LpvFilterSource& LpvProductFilterSource() {
  static const LpvFilterSource source = LoadProductSource();
  return source;
}

bool LpvFilterOffsets(std::int32_t room, std::int32_t angleCode, std::size_t* headOffset, std::size_t* tailOffset) {
  std::size_t h = 0, t = 0;
  if (FindGroup(room, angleCode, &h, &t) == nullptr) return false;
  if (headOffset != nullptr) *headOffset = h;
  if (tailOffset != nullptr) *tailOffset = t;
  return true;
}

std::int32_t LpvTailLength(std::int32_t room, std::int32_t angleCode) {
  std::size_t h = 0, t = 0;
  const LayoutGroup* g = FindGroup(room, angleCode, &h, &t);
  return g != nullptr ? g->tailLength : 0;
}

LpvFilterLookup LpvFindFilterTables(const LpvFilterSource& source, std::int32_t room, std::int32_t angleCode,
                                    LpvFilterTables* tables) {
  if (room < 1 || room > 3) return LpvFilterLookup::UnknownRoom;
  std::size_t h = 0, t = 0;
  const LayoutGroup* g = FindGroup(room, angleCode, &h, &t);
  if (g == nullptr) return LpvFilterLookup::UnknownCode;
  if (source.filters == nullptr || source.filterFloats != LPV_FILTER_DATA_FLOATS) return LpvFilterLookup::NoData;
  if (tables != nullptr) {
    tables->head = source.filters + h;
    tables->tail = source.filters + t;
    tables->tailLength = g->tailLength;
  }
  return LpvFilterLookup::Found;
}

bool LpvFindCrosstalkSet(const LpvFilterSource& source, std::int32_t degrees, const float** t1, const float** t2) {
  for (std::int32_t i = 0; i < LPV_CTC_SET_COUNT; ++i) {
    if (kCrosstalkAngles[i] != degrees) continue;
    if (source.crosstalk == nullptr || source.crosstalkFloats != LPV_CTC_DATA_FLOATS) return false;
    const float* set = source.crosstalk + static_cast<std::size_t>(i) * LPV_CTC_SET_FLOATS;
    *t1 = set;
    *t2 = set + LPV_CTC_LENGTH;
    return true;
  }
  return false;
}
