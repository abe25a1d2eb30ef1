// The headphone virtualiser wrapper.
#include "dsp/virtualiser/lpv_effect.h"

#include <climits>

#include "dsp/virtualiser/channel_copy.h"
#include "dsp/virtualiser/engine_support.h"
#include "dsp/virtualiser/headphone_app.h"

namespace {

constexpr std::int32_t kChannels = 8;
constexpr std::int32_t kOutputs = 2;
constexpr std::int32_t kRequestedLength = 256;
constexpr float kFoldDivisor = 2.0f;
constexpr std::uint32_t kCtcAngles[] = {5, 10, 15, 20, 30};

}  // namespace

std::int32_t MapSpeakerAngle(std::int32_t wide, std::uint32_t angle) {
  std::int32_t code = -1;
  switch (angle) {
    case 0: case 25: code = 25; break;
    case 1: case 30: code = 30; break;
    case 2: case 35: code = 35; break;
    case 3: case 40: code = 40; break;
    case 31: return 31;
    default: return -1;
  }
  // The narrow codes are the wide ones minus one.
  return wide != 0 ? code : code - 1;
}

CLpvEffect::CLpvEffect()
    : m_pEngine(LpvNew<CHeadphoneApp>()), m_ctcEnabled(0), m_enabled(0), m_speakerRoom(1), m_headphoneRoom(1),
      m_speakerAngle(30), m_headphoneAngle(30), m_ctcAngle(20), m_speakerWide(0), m_headphoneWide(0),
      // The engine comes configured by its own construction.
      m_engineFormatted(m_pEngine != nullptr && m_pEngine->IsConfigured()) {}

CLpvEffect::~CLpvEffect() {
  DspDelete(m_pEngine);
  m_pEngine = nullptr;
}

std::int32_t CLpvEffect::SetFormat(const dsp::WAVEFORMATEX* format) {
  if (m_pEngine == nullptr) return -1;
  if (format == nullptr) return 0;
  const std::uint32_t rate = format->nSamplesPerSec;
  // Two outputs whatever the stream's channel count: the convolver makes exactly two,
  // and Process hands the engine two output buffers.
  const std::int32_t result = m_pEngine->SetFormat(rate > INT32_MAX ? 0 : static_cast<std::int32_t>(rate), kChannels,
                                                   kOutputs, kRequestedLength);
  m_engineFormatted = result == 1;
  return result;
}

void CLpvEffect::SetCtcEnable(std::int32_t value) {
  m_ctcEnabled = value;
  if (m_pEngine != nullptr) m_pEngine->Fir().SetCtcAngle(value != 0 ? static_cast<std::int32_t>(m_ctcAngle) : 0);
}

void CLpvEffect::SetCtcAngle(std::uint32_t index) {
  m_ctcAngle = index < sizeof(kCtcAngles) / sizeof(kCtcAngles[0]) ? kCtcAngles[index] : index;
  if (m_pEngine != nullptr) m_pEngine->Fir().SetCtcAngle(m_ctcEnabled != 0 ? static_cast<std::int32_t>(m_ctcAngle) : 0);
}

void CLpvEffect::ApplyHeadphoneSet() {
  if (m_pEngine == nullptr || m_ctcEnabled != 0) return;
  m_pEngine->Fir().SetRoomAndAngle(static_cast<std::int32_t>(m_headphoneRoom),
                                   MapSpeakerAngle(static_cast<std::int32_t>(m_headphoneWide), m_headphoneAngle));
}

void CLpvEffect::ApplySpeakerSet() {
  if (m_pEngine == nullptr || m_ctcEnabled == 0) return;
  m_pEngine->Fir().SetRoomAndAngle(static_cast<std::int32_t>(m_speakerRoom),
                                   MapSpeakerAngle(static_cast<std::int32_t>(m_speakerWide), m_speakerAngle));
}

void CLpvEffect::SetHeadphoneAngle(std::uint32_t value) {
  m_headphoneAngle = value;
  ApplyHeadphoneSet();
}

void CLpvEffect::SetHeadphoneWide(std::uint32_t value) {
  m_headphoneWide = value;
  ApplyHeadphoneSet();
}

void CLpvEffect::SetHeadphoneRoom(std::uint32_t value) {
  m_headphoneRoom = value;
  ApplyHeadphoneSet();
}

void CLpvEffect::SetSpeakerAngle(std::uint32_t value) {
  m_speakerAngle = value;
  ApplySpeakerSet();
}

void CLpvEffect::SetSpeakerWide(std::uint32_t value) {
  m_speakerWide = value;
  ApplySpeakerSet();
}

void CLpvEffect::SetSpeakerRoom(std::uint32_t value) {
  m_speakerRoom = value;
  ApplySpeakerSet();
}

bool CLpvEffect::IsProcessing() const {
  return m_enabled != 0 && m_pEngine != nullptr && m_engineFormatted && m_pEngine->IsConfigured();
}

void CLpvEffect::Process(float** channels, std::uint32_t frames) {
  if (channels == nullptr || frames == 0 || frames > INT32_MAX) return;
  for (std::int32_t c = 0; c < kChannels; ++c)
    if (channels[c] == nullptr) return;  // the node always passes eight buffers
  const auto len = static_cast<std::int32_t>(frames);
  if (IsProcessing()) {
    m_pEngine->Process(channels, kOutputs, channels, kChannels, len);
    return;
  }
  FoldDownChannels(channels, kOutputs, channels, kChannels, len, kFoldDivisor);
}
