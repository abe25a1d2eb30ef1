// A checked stream of the engine client: state changes, positions, data movement and
// the invariant checks.
#include <cstdio>
#include <string>
#include <vector>

#include "sim/engine/engine.h"

namespace sim::engine {
namespace {

ULONG SampleBytesOf(const WAVEFORMATEX& format) {
  ULONG bytes = (format.wBitsPerSample + 7u) / 8u;
  return bytes == 0 ? 1 : (bytes > 4 ? 4 : bytes);
}

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(status));
  return text;
}

}  // namespace

Stream::Stream(std::unique_ptr<platform::ks::Pin> pin, bool capture, const WAVEFORMATEX& format,
               StreamOptions options)
    : m_Pin(std::move(pin)),
      m_Capture(capture),
      m_Format(format),
      m_SampleBytes(SampleBytesOf(format)),
      m_BufferSize(m_Pin->BufferSize()),
      m_Period(options.periodBytes ? options.periodBytes : m_Pin->FramingSize()),
      m_Lead(options.leadBytes ? options.leadBytes : m_BufferSize / 2),
      m_Tolerance(options.tolerance ? options.tolerance : (format.nBlockAlign ? format.nBlockAlign : 1)),
      m_MoveOnNotification(options.moveDataOnNotification),
      m_Checker(m_SampleBytes) {
  if (m_Lead > m_BufferSize) m_Lead = m_BufferSize;
  m_Pin->SetServiceCallback([this] { OnNotification(); });
}

Stream::~Stream() {
  m_Pin->SetServiceCallback(nullptr);
  m_Pin.reset();
}

void Stream::Report(Issue issue, std::string detail) { m_Findings.push_back({issue, std::move(detail)}); }

std::vector<Finding> Stream::Findings() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Findings;
}

bool Stream::Has(Issue issue) const {
  std::lock_guard<std::mutex> guard(m_Lock);
  for (const auto& f : m_Findings)
    if (f.issue == issue) return true;
  return false;
}

ULONG64 Stream::BytesPlayed() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Played;
}
ULONG64 Stream::BytesWritten() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Written;
}
ULONG64 Stream::BytesRead() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Read;
}
ULONG Stream::Notifications() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Notifications;
}

NTSTATUS Stream::SetState(KSSTATE state) {
  KSPROPERTY p{};
  p.Set = KSPROPSETID_Connection;
  p.Id = KSPROPERTY_CONNECTION_STATE;
  p.Flags = KSPROPERTY_TYPE_SET;
  ULONG value = state;
  ULONG returned = 0;
  NTSTATUS status = m_Pin->Property(&p, sizeof(p), &value, sizeof(value), &returned);
  std::lock_guard<std::mutex> guard(m_Lock);
  if (!NT_SUCCESS(status)) {
    Report(Issue::RequestFailed, "state " + std::to_string(state) + ": " + Hex(status));
    return status;
  }
  m_State = state;
  if (state == KSSTATE_STOP) {
    // A stopped stream starts again at position 0.
    m_LastPosition = 0;
    m_Played = m_PlayedAtNotification = m_Written = m_Read = 0;
    m_Checker = PatternChecker(m_SampleBytes);
  }
  return status;
}

NTSTATUS Stream::GetState(KSSTATE* state) {
  KSPROPERTY p{};
  p.Set = KSPROPSETID_Connection;
  p.Id = KSPROPERTY_CONNECTION_STATE;
  p.Flags = KSPROPERTY_TYPE_GET;
  ULONG value = 0;
  ULONG returned = 0;
  NTSTATUS status = m_Pin->Property(&p, sizeof(p), &value, sizeof(value), &returned);
  if (NT_SUCCESS(status) && returned != sizeof(ULONG)) status = STATUS_INFO_LENGTH_MISMATCH;
  if (NT_SUCCESS(status)) *state = static_cast<KSSTATE>(value);
  return status;
}

NTSTATUS Stream::SetStateChecked(KSSTATE next) {
  NTSTATUS status = SetState(next);
  if (!NT_SUCCESS(status)) return status;
  KSSTATE current = KSSTATE_STOP;
  status = GetState(&current);
  if (!NT_SUCCESS(status)) return status;
  if (current != next) {
    std::lock_guard<std::mutex> guard(m_Lock);
    Report(Issue::RequestFailed, "state " + std::to_string(current) + " after setting " + std::to_string(next));
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Stream::Start() {
  for (KSSTATE next : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
    KSSTATE current = KSSTATE_STOP;
    NTSTATUS status = GetState(&current);
    if (!NT_SUCCESS(status)) return status;
    if (current >= next) continue;
    if (next == KSSTATE_RUN && !m_Capture) {
      // Render data goes in before the stream runs.
      std::lock_guard<std::mutex> guard(m_Lock);
      status = MoveDataLocked();
      if (!NT_SUCCESS(status)) return status;
    }
    status = SetStateChecked(next);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Stream::Stop() {
  for (KSSTATE next : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}) {
    KSSTATE current = KSSTATE_STOP;
    NTSTATUS status = GetState(&current);
    if (!NT_SUCCESS(status)) return status;
    if (current <= next && next != KSSTATE_STOP) continue;
    status = SetStateChecked(next);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Stream::ReadPosition(ULONG* position) {
  std::lock_guard<std::mutex> guard(m_Lock);
  return ReadPositionLocked(position);
}

NTSTATUS Stream::ReadPositionLocked(ULONG* position) {
  KSPROPERTY p{};
  p.Set = KSPROPSETID_Audio;
  p.Id = KSPROPERTY_AUDIO_POSITION;
  p.Flags = KSPROPERTY_TYPE_GET;
  KSAUDIO_POSITION answer{};
  ULONG returned = 0;
  NTSTATUS status = m_Pin->Property(&p, sizeof(p), &answer, sizeof(answer), &returned);
  if (!NT_SUCCESS(status)) {
    Report(Issue::RequestFailed, "position: " + Hex(status));
    return status;
  }
  if (answer.PlayOffset >= m_BufferSize) {
    Report(Issue::PositionOutsideBuffer,
           "position " + std::to_string(answer.PlayOffset) + " in a buffer of " + std::to_string(m_BufferSize));
    return STATUS_DATA_ERROR;
  }
  ULONG now = static_cast<ULONG>(answer.PlayOffset);
  ULONG delta = (now + m_BufferSize - m_LastPosition) % m_BufferSize;
  // Between two readings the position moves well under half the buffer; a larger step
  // is the position going back.
  if (delta > m_BufferSize / 2) {
    Report(Issue::PositionBackwards,
           "position " + std::to_string(now) + " after " + std::to_string(m_LastPosition));
  } else {
    m_Played += delta;
  }
  m_LastPosition = now;
  *position = now;
  return STATUS_SUCCESS;
}

NTSTATUS Stream::MoveDataLocked() {
  if (m_BufferSize == 0) return STATUS_INVALID_DEVICE_STATE;
  std::vector<BYTE> chunk;
  if (!m_Capture) {
    if (m_Played > m_Written) {
      Report(Issue::Underrun, "position " + std::to_string(m_Played) + " passed the data written up to " +
                                  std::to_string(m_Written));
      m_Written = m_Played;
    }
    ULONG64 target = m_Played + m_Lead;
    while (m_Written < target) {
      ULONG offset = static_cast<ULONG>(m_Written % m_BufferSize);
      ULONG64 left = target - m_Written;
      ULONG n = static_cast<ULONG>(left < m_BufferSize - offset ? left : m_BufferSize - offset);
      chunk.resize(n);
      FillCounterPattern(m_Written, chunk.data(), n, m_SampleBytes);
      NTSTATUS status = m_Pin->Write(offset, chunk.data(), n);
      if (!NT_SUCCESS(status)) {
        Report(Issue::RequestFailed, "write: " + Hex(status));
        return status;
      }
      m_Written += n;
    }
    return STATUS_SUCCESS;
  }
  if (m_Played - m_Read > m_BufferSize) {
    Report(Issue::Overrun, std::to_string(m_Played - m_Read - m_BufferSize) + " bytes overwritten before read");
    m_Read = m_Played - m_BufferSize;
  }
  while (m_Read < m_Played) {
    ULONG offset = static_cast<ULONG>(m_Read % m_BufferSize);
    ULONG64 left = m_Played - m_Read;
    ULONG n = static_cast<ULONG>(left < m_BufferSize - offset ? left : m_BufferSize - offset);
    chunk.resize(n);
    NTSTATUS status = m_Pin->Read(offset, chunk.data(), n);
    if (!NT_SUCCESS(status)) {
      Report(Issue::RequestFailed, "read: " + Hex(status));
      return status;
    }
    m_Checker.Feed(chunk.data(), n, &m_Findings);
    m_Read += n;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Stream::Pump() {
  std::lock_guard<std::mutex> guard(m_Lock);
  ULONG position = 0;
  NTSTATUS status = ReadPositionLocked(&position);
  if (!NT_SUCCESS(status)) return status;
  return MoveDataLocked();
}

void Stream::OnNotification() {
  std::lock_guard<std::mutex> guard(m_Lock);
  ++m_Notifications;
  ULONG position = 0;
  if (!NT_SUCCESS(ReadPositionLocked(&position))) return;
  ULONG64 moved = m_Played - m_PlayedAtNotification;
  if (moved > static_cast<ULONG64>(m_Period) + m_Tolerance) {
    Report(Issue::MissedNotification, std::to_string(moved) + " bytes since the last notification, period " +
                                          std::to_string(m_Period));
  } else if (moved + m_Tolerance < m_Period) {
    Report(Issue::ExtraNotification, "notified after " + std::to_string(moved) + " bytes, period " +
                                         std::to_string(m_Period));
  }
  m_PlayedAtNotification = m_Played;
  if (m_MoveOnNotification) MoveDataLocked();
}

}  // namespace sim::engine
