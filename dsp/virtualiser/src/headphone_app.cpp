// The headphone virtualiser engine.
#include "dsp/virtualiser/headphone_app.h"

#include <cstring>

CHeadphoneApp::CHeadphoneApp(const LpvFilterSource& source) : CAudioApp(512, 6, 2, 1.0f), m_fir(source) {
  SetFormat(LPV_PROCESSING_RATE, 6, 2, 512);
}

CHeadphoneApp::~CHeadphoneApp() { FreeBuffers(); }

void CHeadphoneApp::ProcessEngineBlock(float** out, std::int32_t nOut, float** in, std::int32_t nIn,
                                       std::int32_t len) {
  // The wrapper configures as many outputs as its stream has channels; the convolver
  // makes the binaural pair, and any further output is silent.
  if (nOut > 2) {
    for (std::int32_t c = 2; c < nOut; ++c) std::memset(out[c], 0, sizeof(float) * static_cast<std::size_t>(len));
    nOut = 2;
  }
  m_fir.Process(out, nOut, in, nIn, len);
}

void CHeadphoneApp::Reset() { m_fir.Reset(); }
