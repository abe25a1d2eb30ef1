// The device's report of a stream, as the simulated device saw it: frames received (and
// whether they are the file's, sample for sample), gaps, clock drift and the feedback it
// sent, and the engine's findings.
#pragma once

#include <cstdio>

#include "stream_session.h"

namespace tools {

struct ReportInput {
  const Endpoint* endpoint = nullptr;
  PcmFormat format;
  const WavAudio* played = nullptr;  // render: the file
  const WavAudio* recorded = nullptr;  // capture: what was recorded
  double clockPpm = 0;
  const StreamOutcome* outcome = nullptr;
};

// Prints the report; true when the stream was clean: every frame of the file arrived in
// order, no gap, no engine finding.
bool PrintReport(std::FILE* out, const ReportInput& in);

// The frequency of channel 0 from its rising zero crossings (0 without two crossings).
double ToneFrequency(const WavAudio& audio);

}  // namespace tools
