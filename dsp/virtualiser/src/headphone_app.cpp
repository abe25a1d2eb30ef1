// The headphone virtualiser engine.
#include "dsp/virtualiser/headphone_app.h"

CHeadphoneApp::CHeadphoneApp(const LpvFilterSource& source) : CAudioApp(512, 6, 2, 1.0f), m_fir(source) {
  SetFormat(LPV_PROCESSING_RATE, 6, 2, 512);
}

CHeadphoneApp::~CHeadphoneApp() { FreeBuffers(); }

void CHeadphoneApp::ProcessEngineBlock(float** out, std::int32_t nOut, float** in, std::int32_t nIn,
                                       std::int32_t len) {
  m_fir.Process(out, nOut, in, nIn, len);
}

void CHeadphoneApp::Reset() { m_fir.Reset(); }
