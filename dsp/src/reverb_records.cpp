// The reverb's five records, as tabled for the network, with the generated diffusers.
#include "dsp/reverb_records.h"

#include "dsp/reverb_diffusers.h"

namespace {

// Values every record shares.
#define REVERB_INPUT_MIX \
  { -0.551703155f, 0.618946493f, 0.551703155f, 0.618946493f, 0.565151811f, 0.32964623f, 0.565151811f, 0.32964623f }
#define REVERB_SIDE_GAINS \
  { 1.0f, 1.0f, 0.840663314f, 1.0f, 0.840663314f, 0.820007324f, 0.820007324f, 0.909973145f, 1.0f, 0.909973145f, 1.0f }
#define REVERB_DIFFUSER_MIX \
  { 0.5f, 0.5f, 0.5f, -0.5f, 0.5f, 0.5f, 0.5f, -0.5f, 0.5f, 0.5f, 0.5f, -0.5f }
#define REVERB_DIFFUSER_SUMS \
  { {1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f}, {1.0f, 1.0f, -1.0f, 1.0f, -1.0f, 1.0f, -1.0f} }
#define REVERB_FEEDBACK_ROWS                              \
  {                                                       \
    {-0.152466f, -0.100342f, 0.298096f, 0.93689f},        \
    {-0.905762f, 0.21106f, -0.367432f, -0.00787354f},     \
    {0.0162964f, 0.882202f, 0.467712f, -0.0516968f},      \
    {-0.395081f, -0.408752f, 0.746582f, -0.345642f},      \
  }
// Left and right output filters are equal: 0.5, 1, 0.5 on w0 or w1, then twelve by mode.
#define REVERB_OUTPUT_FILTER(...) { {0.5f, 1.0f, 0.5f, __VA_ARGS__}, {0.5f, 1.0f, 0.5f, __VA_ARGS__} }

const CDspReverbRecord kMode0 = {
    2,
    {599, 871, 778, 1032},
    {{0.380371094f, 0.380371094f}, {0.33605957f, 0.33605957f}, {0.350585938f, 0.350585938f},
     {0.312255859f, 0.312255859f}},
    REVERB_INPUT_MIX,
    {0.490661621f, -0.981262207f, 0.490661621f, 0.981018066f, -0.4815979f},
    REVERB_SIDE_GAINS,
    REVERB_DIFFUSER_MIX,
    {16, 16, 16, 20, 20, 18, 18},
    REVERB_DIFFUSERS_MODE0,
    REVERB_DIFFUSER_SUMS,
    REVERB_OUTPUT_FILTER(0.278351f, 0.00827026f, -0.147308f, 0.412476f, -0.019043f, -0.127808f, 0.501892f,
                         -0.0055542f, -0.0502319f, 0.428223f, -0.0499268f, -0.026062f),
    REVERB_FEEDBACK_ROWS,
    {601, 873, 780},
};

const CDspReverbRecord kMode1 = {
    2,
    {550, 800, 715, 948},
    {{0.507263184f, 0.253601074f}, {0.448059082f, 0.224060059f}, {0.467407227f, 0.233703613f},
     {0.416381836f, 0.208190918f}},
    REVERB_INPUT_MIX,
    {0.489837646f, -0.979614258f, 0.489837646f, 0.979248047f, -0.479980469f},
    REVERB_SIDE_GAINS,
    REVERB_DIFFUSER_MIX,
    {15, 15, 15, 19, 19, 17, 17},
    REVERB_DIFFUSERS_MODE1,
    REVERB_DIFFUSER_SUMS,
    REVERB_OUTPUT_FILTER(0.288147f, -0.0181885f, -0.0695496f, 0.432251f, -0.0688477f, -0.0119629f, 0.507385f,
                         -0.0272217f, -0.0474243f, 0.417847f, -0.0422363f, -0.0427856f),
    REVERB_FEEDBACK_ROWS,
    {552, 802, 717},
};

const CDspReverbRecord kMode2 = {
    3,
    {399, 580, 518, 687},
    {{0.629760742f, 0.144836426f, -0.0138549805f},
     {0.55645752f, 0.127990723f, -0.0122680664f},
     {0.580566406f, 0.133544922f, -0.0127563477f},
     {0.517211914f, 0.11895752f, -0.0113525391f}},
    REVERB_INPUT_MIX,
    {0.486022949f, -0.971893311f, 0.486022949f, 0.971282959f, -0.472625732f},
    REVERB_SIDE_GAINS,
    REVERB_DIFFUSER_MIX,
    {10, 10, 10, 13, 13, 12, 12},
    REVERB_DIFFUSERS_MODE2,
    REVERB_DIFFUSER_SUMS,
    REVERB_OUTPUT_FILTER(0.319397f, -0.101288f, 0.21701f, 0.423279f, -0.0933838f, 0.222168f, 0.509827f,
                         -0.0512695f, 0.0494995f, 0.423645f, -0.0696411f, -0.00598145f),
    REVERB_FEEDBACK_ROWS,
    {402, 583, 521},
};

const CDspReverbRecord kMode16 = {
    4,
    {1199, 1743, 1557, 2064},
    {{0.227111816f, 0.204406738f, 0.227111816f, 0.102172852f},
     {0.200622559f, 0.180541992f, 0.200622559f, 0.0902709961f},
     {0.209289551f, 0.188354492f, 0.209289551f, 0.0941772461f},
     {0.186462402f, 0.16784668f, 0.186462402f, 0.0839233398f}},
    REVERB_INPUT_MIX,
    {0.495315552f, -0.990615845f, 0.495315552f, 0.990539551f, -0.490692139f},
    REVERB_SIDE_GAINS,
    REVERB_DIFFUSER_MIX,
    {34, 34, 34, 42, 42, 38, 38},
    REVERB_DIFFUSERS_MODE16,
    REVERB_DIFFUSER_SUMS,
    REVERB_OUTPUT_FILTER(0.205536f, 0.0769043f, 0.0506592f, 0.295837f, 0.105652f, 0.0637817f, 0.33606f,
                         0.136536f, 0.0855103f, 0.36499f, 0.02948f, 0.0212402f),
    REVERB_FEEDBACK_ROWS,
    {1203, 1747, 1561},
};

const CDspReverbRecord kMode17 = {
    4,
    {1102, 1602, 1430, 1897},
    {{0.237731934f, 0.225830078f, 0.237731934f, 0.0594482422f},
     {0.209960938f, 0.199462891f, 0.209960938f, 0.0524902344f},
     {0.219116211f, 0.208190918f, 0.219116211f, 0.0548095703f},
     {0.19519043f, 0.185424805f, 0.19519043f, 0.0487670898f}},
    REVERB_INPUT_MIX,
    {0.494903564f, -0.98979187f, 0.494903564f, 0.989715576f, -0.489898682f},
    REVERB_SIDE_GAINS,
    REVERB_DIFFUSER_MIX,
    {32, 32, 32, 40, 40, 36, 36},
    REVERB_DIFFUSERS_MODE17,
    REVERB_DIFFUSER_SUMS,
    REVERB_OUTPUT_FILTER(0.209869f, 0.0811157f, 0.0454102f, 0.30188f, 0.111023f, 0.0545044f, 0.343689f,
                         0.14447f, 0.0814209f, 0.367432f, 0.0308838f, 0.0206299f),
    REVERB_FEEDBACK_ROWS,
    {1106, 1606, 1434},
};

#undef REVERB_INPUT_MIX
#undef REVERB_SIDE_GAINS
#undef REVERB_DIFFUSER_MIX
#undef REVERB_DIFFUSER_SUMS
#undef REVERB_FEEDBACK_ROWS
#undef REVERB_OUTPUT_FILTER

const CDspReverbRecord* const kModeTable[REVERB_MODE_COUNT] = {
    &kMode0, &kMode1, &kMode2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &kMode16, &kMode17,
};

const std::int32_t kBufferLengthTable[REVERB_MODE_COUNT] = {
    3588, 3307, 2408, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7155, 6595,
};

}  // namespace

const CDspReverbRecord* ReverbRecordForMode(std::int32_t mode) {
  if (mode < 0 || mode >= REVERB_MODE_COUNT) return nullptr;
  return kModeTable[mode];
}

std::int32_t ReverbBufferLengthForMode(std::int32_t mode) {
  if (mode < 0 || mode >= REVERB_MODE_COUNT) return 0;
  return kBufferLengthTable[mode];
}

std::int32_t ReverbModeForRate(std::int32_t rate) {
  switch (rate) {
    case 48000: return 0;
    case 32000: return 2;
    case 96000: return 16;
    case 88200: return 17;
    default: return 1;  // 44100 and every rate not listed
  }
}

CDspReverbLayout ReverbLayoutOf(const CDspReverbRecord& r, std::int32_t bufferLength) {
  CDspReverbLayout l{};
  const std::int32_t t = r.lineTaps;
  std::int32_t pos = r.lineDelay[0];
  for (int k = 0; k < REVERB_LINES; ++k) {
    if (k > 0) pos += t + r.lineDelay[k];
    l.lineStart[k] = pos;
  }
  l.biquadStart = pos + t;
  pos = l.biquadStart + 3 * 6 + 6;  // four sections of six cells, the last one's six below
  for (int j = 0; j < REVERB_DIFFUSERS; ++j) {
    l.diffuserStart[j] = pos;
    pos += 2 * r.diffuserTaps[j] + 1;
  }
  l.outputStart = pos;
  l.lastCell = pos + 20;
  std::int32_t cell = l.lastCell;
  for (int k = 0; k < REVERB_LINES; ++k) {
    if (k > 0) cell += r.feedbackOffsets[k - 1];
    l.feedbackCell[k] = bufferLength > 0 ? cell % bufferLength : cell;
  }
  return l;
}
