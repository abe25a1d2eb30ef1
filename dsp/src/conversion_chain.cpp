// Format checks, the stage plan and the stage pass of the conversion containers.
#include "dsp/conversion_chain.h"

#include "dsp/host.h"

namespace {

constexpr std::uint32_t kRates[6] = {44100, 48000, 88200, 96000, 176400, 192000};

int RateIndex(std::uint32_t rate) {
  for (int i = 0; i < 6; ++i)
    if (kRates[i] == rate) return i;
  return -1;
}

enum Kind : std::uint8_t { kNone, k2x, k4x, kPoly };
struct Step {
  Kind kind;
  bool up;
};
struct Plan {
  Step first;
  Step second;
};

constexpr Step N{kNone, false};
constexpr Step P_UP{kPoly, true};
constexpr Step P_DOWN{kPoly, false};
constexpr Step X2_UP{k2x, true};
constexpr Step X2_DOWN{k2x, false};
constexpr Step X4_UP{k4x, true};
constexpr Step X4_DOWN{k4x, false};

// Stages by (input rate, output rate), in processing order: down in rate decimates by
// the integer factor first, then takes the 147:160 step; up takes the 147:160 step first.
constexpr Plan kPlan[6][6] = {
    // to 44100        48000              88200              96000               176400             192000
    {{N, N},           {P_UP, N},         {X2_UP, N},        {P_UP, X2_UP},      {X4_UP, N},        {P_UP, X4_UP}},
    {{P_DOWN, N},      {N, N},            {P_DOWN, X2_UP},   {X2_UP, N},         {P_DOWN, X4_UP},   {X4_UP, N}},
    {{X2_DOWN, N},     {X2_DOWN, P_UP},   {N, N},            {P_UP, N},          {X2_UP, N},        {P_UP, X2_UP}},
    {{X2_DOWN, P_DOWN},{X2_DOWN, N},      {P_DOWN, N},       {N, N},             {P_DOWN, X2_UP},   {X2_UP, N}},
    {{X4_DOWN, N},     {X4_DOWN, P_UP},   {X2_DOWN, N},      {X2_DOWN, P_UP},    {N, N},            {P_UP, N}},
    {{X4_DOWN, P_DOWN},{X4_DOWN, N},      {X2_DOWN, P_DOWN}, {X2_DOWN, N},       {P_DOWN, N},       {N, N}},
};

bool ValidBits(const dsp::WAVEFORMATEXTENSIBLE& f) {
  if (dsp::EffectiveFormatTag(f) == dsp::WAVE_FORMAT_IEEE_FLOAT) return f.Format.wBitsPerSample == 32;
  const auto bits = f.Format.wBitsPerSample;
  return bits == 16 || bits == 24 || bits == 32;
}

bool ValidTag(const dsp::WAVEFORMATEXTENSIBLE& f) {
  const auto tag = dsp::EffectiveFormatTag(f);
  return tag == dsp::WAVE_FORMAT_PCM || tag == dsp::WAVE_FORMAT_IEEE_FLOAT;
}

bool ValidChannels(const dsp::WAVEFORMATEXTENSIBLE& f) {
  return f.Format.nChannels >= 1 && f.Format.nChannels <= MAX_SOFTWARE_DSP_PROCESS_CHANNELS;
}

// Frames are read and written as nChannels samples of wBitsPerSample / 8 bytes.
bool ConsistentBlockAlign(const dsp::WAVEFORMATEXTENSIBLE& f) {
  return f.Format.nBlockAlign == f.Format.nChannels * (f.Format.wBitsPerSample / 8);
}

}  // namespace

CDspConversionChain::~CDspConversionChain() {
  DspDelete(m_pFormatBlock);
  m_pFormatBlock = nullptr;
  DspDelete(m_pPolyphase);
  m_pPolyphase = nullptr;
  DspDelete(m_p4x);
  m_p4x = nullptr;
  DspDelete(m_p2x);
  m_p2x = nullptr;
}

bool CDspConversionChain::CreateBlocks(bool formatBlockFirst) {
  const auto format = [this] {
    m_pFormatBlock = DspNew<CDspSplitBlock>(DSP_POOL_TAG_DSPS);
    return m_pFormatBlock != nullptr && m_pFormatBlock->Init();
  };
  if (formatBlockFirst && !format()) return false;
  m_p2x = DspNew<CFirResampler2x>(DSP_POOL_TAG_DSPS);
  if (m_p2x == nullptr || !m_p2x->Init()) return false;
  m_p4x = DspNew<CFirResampler4x>(DSP_POOL_TAG_DSPS);
  if (m_p4x == nullptr || !m_p4x->Init()) return false;
  m_pPolyphase = DspNew<CPolyphaseResampler>(DSP_POOL_TAG_DSPS);
  if (m_pPolyphase == nullptr || !m_pPolyphase->Init()) return false;
  if (!formatBlockFirst && !format()) return false;
  return true;
}

bool CDspConversionChain::Reset() {
  if (m_p2x != nullptr) m_p2x->Reset();
  if (m_p4x != nullptr) m_p4x->Reset();
  if (m_pPolyphase != nullptr) m_pPolyphase->Reset();
  if (m_pFormatBlock != nullptr) m_pFormatBlock->Reset();
  return true;
}

int CDspConversionChain::StageCount() const {
  int n = 0;
  while (n < 3 && m_pChain[n] != nullptr) ++n;
  return n;
}

bool CDspConversionChain::Validate(const dsp::WAVEFORMATEXTENSIBLE& in, const dsp::WAVEFORMATEXTENSIBLE& out,
                                   bool printOutputBits) const {
  const char* who = m_pszWho;
  if (!ValidTag(in)) {
    DspPrint("%s Tag not PCM\n", who);
    return false;
  }
  if (!ValidChannels(in)) {
    DspPrint("%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n", who);
    return false;
  }
  if (RateIndex(in.Format.nSamplesPerSec) < 0) {
    DspPrint("%s InFormat.Format.nSamplesPerSec not in List\n", who);
    return false;
  }
  if (!ValidBits(in)) {
    DspPrint("%s InFormat.Format.wBitsPerSample not in List\n", who);
    return false;
  }
  if (!ConsistentBlockAlign(in)) {
    DspPrint("%s InFormat.Format.nBlockAlign not consistent\n", who);
    return false;
  }
  if (!ValidTag(out)) {
    DspPrint("%s Output Tag not PCM\n", who);
    return false;
  }
  if (!ValidChannels(out) || out.Format.nChannels != in.Format.nChannels) {
    DspPrint("%s Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n", who);
    return false;
  }
  if (RateIndex(out.Format.nSamplesPerSec) < 0) {
    DspPrint("%s OutFormat.Format.nSamplesPerSec not in List\n", who);
    return false;
  }
  if (!ValidBits(out)) {
    if (printOutputBits) DspPrint("%s OutFormat.Format.wBitsPerSample not in List\n", who);
    return false;
  }
  if (!ConsistentBlockAlign(out)) {
    DspPrint("%s OutFormat.Format.nBlockAlign not consistent\n", who);
    return false;
  }
  return true;
}

void CDspConversionChain::Unconfigure() {
  m_InFormat = {};
  m_OutFormat = {};
  for (auto& stage : m_pChain) stage = nullptr;
}

bool CDspConversionChain::Configure(const dsp::WAVEFORMATEXTENSIBLE* pInFormat,
                                    const dsp::WAVEFORMATEXTENSIBLE* pOutFormat, bool printOutputBits) {
  Unconfigure();
  if (!m_bInitialised || pInFormat == nullptr || pOutFormat == nullptr) return false;
  if (!Validate(*pInFormat, *pOutFormat, printOutputBits)) return false;
  const dsp::WAVEFORMATEXTENSIBLE in = *pInFormat;
  const dsp::WAVEFORMATEXTENSIBLE out = *pOutFormat;
  if (!m_pFormatBlock->SetFormat(&in, &out)) {
    DspPrint("%s %s->SetFormat False\n", m_pszWho, m_pszFormatBlockName);
    return false;
  }
  m_InFormat = in;
  m_OutFormat = out;
  Reset();
  PlaceStages();
  return true;
}

void CDspConversionChain::PlaceStages() {
  const Plan& plan = kPlan[RateIndex(m_InFormat.Format.nSamplesPerSec)][RateIndex(m_OutFormat.Format.nSamplesPerSec)];
  m_pChain[0] = m_pFormatBlock;
  int next = 1;
  for (const Step& step : {plan.first, plan.second}) {
    CDspBlock* block = step.kind == k2x ? static_cast<CDspBlock*>(m_p2x)
                       : step.kind == k4x ? static_cast<CDspBlock*>(m_p4x)
                       : step.kind == kPoly ? static_cast<CDspBlock*>(m_pPolyphase)
                                            : nullptr;
    if (block == nullptr) continue;
    block->SetDirection(step.up);
    block->Reset();
    m_pChain[next++] = block;
  }
}

CDspBlock* CDspConversionChain::LastStage() const {
  const int n = StageCount();
  return n == 0 ? nullptr : m_pChain[n - 1];
}

void CDspConversionChain::RunStages() {
  const int channels = m_OutFormat.Format.nChannels;
  for (int c = 0; c < channels; ++c) {
    for (int j = 1; j < 3 && m_pChain[j] != nullptr; ++j) {
      CDspBlock* from = m_pChain[j - 1];
      std::int32_t count = from->Fill(c);
      if (count == 0) continue;
      m_pChain[j]->Process(c, from->Buffer(c), &count);
      from->Consume(c, count);
    }
  }
}

std::int32_t CDspConversionChain::Ready(std::int32_t limit) const {
  const CDspBlock* last = LastStage();
  if (last == nullptr) return 0;
  const std::int32_t held = last->Fill(m_OutFormat.Format.nChannels - 1);
  return held < limit ? held : limit;
}

void CDspConversionChain::ConsumeOutput(std::int32_t n) {
  CDspBlock* last = LastStage();
  for (int c = 0; c < m_OutFormat.Format.nChannels; ++c) last->Consume(c, n);
}
