// The counter test signal and its continuity check.
#include <string>

#include "sim/engine/engine.h"

namespace sim::engine {

const char* IssueName(Issue issue) {
  switch (issue) {
    case Issue::PositionBackwards: return "position moved back";
    case Issue::PositionJump: return "position jumped";
    case Issue::PositionStalled: return "position stalled";
    case Issue::MissedNotification: return "missed notification";
    case Issue::MovedWhilePaused: return "position moved while not running";
    case Issue::NotifiedWhilePaused: return "notification while not running";
    case Issue::NotResetByStop: return "position not reset by STOP";
    case Issue::Underrun: return "underrun";
    case Issue::Overrun: return "overrun";
    case Issue::Starved: return "client starved";
    case Issue::DataGap: return "gap in the data";
    case Issue::DataRepeat: return "repeated data";
    case Issue::RequestFailed: return "request failed";
    case Issue::PositionOffDevice: return "position off the device";
  }
  return "?";
}

void FillCounterPattern(ULONG64 firstByte, BYTE* out, ULONG bytes, ULONG sampleBytes) {
  if (sampleBytes == 0 || sampleBytes > 4) return;
  for (ULONG i = 0; i < bytes; ++i) {
    ULONG64 index = firstByte + i;
    ULONG64 sample = index / sampleBytes;
    ULONG shift = static_cast<ULONG>(index % sampleBytes) * 8;
    out[i] = static_cast<BYTE>((sample >> shift) & 0xFF);
  }
}

PatternChecker::PatternChecker(ULONG sampleBytes)
    : m_SampleBytes(sampleBytes < 1 ? 1 : (sampleBytes > 4 ? 4 : sampleBytes)),
      m_Modulus(1ull << (8 * m_SampleBytes)) {}

void PatternChecker::Feed(const BYTE* data, ULONG bytes, std::vector<Finding>* findings,
                          std::vector<Finding>* afterLock) {
  for (ULONG i = 0; i < bytes; ++i) {
    m_Partial[m_PartialBytes++] = data[i];
    if (m_PartialBytes < m_SampleBytes) continue;
    m_PartialBytes = 0;
    ULONG64 value = 0;
    for (ULONG k = 0; k < m_SampleBytes; ++k) value |= static_cast<ULONG64>(m_Partial[k]) << (8 * k);
    ++m_Samples;
    if (m_Started && value != m_Expected) {
      // Behind the expected sample (by less than half the counter's range) is a repeat,
      // anything else a gap.
      ULONG64 behind = (m_Expected + m_Modulus - value) % m_Modulus;
      Issue issue = behind < m_Modulus / 2 ? Issue::DataRepeat : Issue::DataGap;
      Finding f{issue, "sample " + std::to_string(value) + " where " + std::to_string(m_Expected) + " was due"};
      if (afterLock && m_Run >= kLockSamples) afterLock->push_back(f);
      findings->push_back(std::move(f));
      m_Run = 0;
    } else if (m_Started) {
      ++m_Run;
    }
    m_Started = true;
    m_Expected = (value + 1) % m_Modulus;
  }
}

}  // namespace sim::engine
