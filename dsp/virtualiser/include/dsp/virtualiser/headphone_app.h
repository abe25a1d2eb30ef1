// The headphone virtualiser engine: the block frame joined to the headphone convolver.
// Each 512-sample block at 44100 Hz goes through CHeadphoneFir::Process; the frame's
// Reset clears the convolver. With more than two outputs configured (the wrapper
// configures its stream's channel count), outputs 0 and 1 carry the binaural pair and the
// rest are silent. Constructed configured for 44100 Hz, 6 inputs, 2 outputs.
//
// When the convolver's FFT record or work buffer could not be made, every SetFormat
// fails and the engine passes audio through unchanged.
#pragma once

#include <cstdint>

#include "dsp/virtualiser/audio_app.h"
#include "dsp/virtualiser/headphone_fir.h"

class CHeadphoneApp : public CAudioApp {
 public:
  explicit CHeadphoneApp(const LpvFilterSource& source = LpvProductFilterSource());
  ~CHeadphoneApp() override;

  void ProcessEngineBlock(float** out, std::int32_t nOut, float** in, std::int32_t nIn, std::int32_t len) override;
  void Reset() override;

  CHeadphoneFir& Fir() { return m_fir; }

 protected:
  bool EngineReady() const override { return m_fir.IsValid(); }

 private:
  CHeadphoneFir m_fir;
};
