// The filter layout of the headphone convolver and its lookup.
#include "dsp/virtualiser/headphone_filters.h"

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

}  // namespace

const LpvFilterSource& LpvProductFilterSource() { return kEmptySource; }

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
