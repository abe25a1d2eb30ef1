// The device's report of a stream, as the simulated device saw it: frames received (and
// whether they are the file's, sample for sample), gaps, clock drift and the feedback it
// sent, and the engine's findings.
#pragma once

#include <cstdio>
#include <vector>

#include "sim/device/sim_device.h"

#include "stream_session.h"

namespace tools {

// A recording checked as it arrives, against the signal the simulated device produces:
// its frames, the CRC-32 of its samples as a WAV file stores them, the tone on channel 0,
// and whether it is the device's signal sample for sample (after any leading silence).
class CaptureCheck {
 public:
  CaptureCheck(const PcmFormat& format, const sim::device::SignalProfile& signal);
  // Whole frames, in order.
  void Feed(const std::int32_t* samples, std::size_t count);
  // Aligns what arrived when it was too little to align while feeding.
  void Finish();

  std::uint64_t frames() const { return frames_; }
  std::uint32_t crc() const { return crc_; }
  double ToneHz() const;
  // The verdict: the recording is the device's signal from frame `silence` on for
  // `matched` frames; `aligned` false: no stretch of the signal matched its start.
  bool aligned() const { return aligned_; }
  bool differs() const { return differs_; }
  std::uint64_t silence() const { return silence_; }
  std::uint64_t matched() const { return matched_; }

 private:
  std::int32_t Expected(std::uint64_t index, unsigned channel) const;
  void Align();
  void Compare(const std::int32_t* frame);

  PcmFormat format_;
  sim::device::SignalProfile signal_;
  std::uint64_t frames_ = 0;
  std::uint32_t crc_ = 0;
  // The tone: rising zero crossings of channel 0.
  double previous_ = 0, firstCrossing_ = -1, lastCrossing_ = -1;
  long crossings_ = 0;
  // Alignment with the device's signal.
  bool leading_ = true;  // only silent frames so far
  std::uint64_t silence_ = 0;
  std::vector<std::int32_t> head_;  // the first sounding frames, until aligned
  bool tried_ = false, aligned_ = false, differs_ = false;
  std::uint64_t next_ = 0;  // the device frame the next recorded frame should be
  std::uint64_t matched_ = 0;
};

struct ReportInput {
  const Endpoint* endpoint = nullptr;
  PcmFormat format;
  const WavAudio* played = nullptr;  // render: the file
  const char* source = "the file";   // render: what `played` is, for the report's lines
  const CaptureCheck* recorded = nullptr;  // capture: what was recorded
  double clockPpm = 0;
  const StreamOutcome* outcome = nullptr;
};

// Prints the report; true when the stream was clean: every frame of the file arrived in
// order, no gap, no engine finding.
bool PrintReport(std::FILE* out, const ReportInput& in);

// The frequency of channel 0 from its rising zero crossings (0 without two crossings).
double ToneFrequency(const WavAudio& audio);

}  // namespace tools
