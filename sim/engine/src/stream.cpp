// A checked stream of the engine client: its own processing thread, state changes,
// positions, data movement and the invariant checks.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/engine/engine.h"

#include "kernel/verifier.h"

namespace sim::engine {
namespace {

using platform::clock::kTicksPerMillisecond;
using platform::clock::kTicksPerSecond;

ULONG SampleBytesOf(const WAVEFORMATEX& format) {
  ULONG bytes = (format.wBitsPerSample + 7u) / 8u;
  return bytes == 0 ? 1 : (bytes > 4 ? 4 : bytes);
}

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(status));
  return text;
}

std::string Ms(LONGLONG ticks) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f ms", static_cast<double>(ticks) / kTicksPerMillisecond);
  return text;
}

// One packet: 1 ms of audio in whole frames, rounded up (45 frames at 44.1 kHz).
ULONG PacketBytesOf(const WAVEFORMATEX& format) {
  ULONG block = format.nBlockAlign ? format.nBlockAlign : 1;
  return (format.nSamplesPerSec + 999u) / 1000u * block;
}

// The engine measures positions against the precise clock, as a real one does with the
// performance counter (plain interrupt time moves in clock ticks).
LONGLONG Now() { return static_cast<LONGLONG>(KeQueryInterruptTimePrecise(nullptr)); }

}  // namespace

// Holds the stream's kernel mutex (the engine's thread and the test's calls take turns).
class Stream::Locked {
 public:
  explicit Locked(const Stream& stream) : m_Mutex(&stream.m_Mutex) {
    KeWaitForSingleObject(m_Mutex, Executive, KernelMode, FALSE, nullptr);
  }
  ~Locked() { KeReleaseMutex(m_Mutex, FALSE); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  PRKMUTEX m_Mutex;
};

Stream::Stream(std::unique_ptr<platform::ks::Pin> pin, bool capture, const WAVEFORMATEX& format,
               StreamOptions options)
    : m_Pin(std::move(pin)),
      m_Capture(capture),
      m_Format(format),
      m_SampleBytes(SampleBytesOf(format)),
      m_BufferSize(m_Pin->BufferSize()),
      m_Period(options.periodBytes ? options.periodBytes : m_Pin->FramingSize()),
      m_Packet(options.packetBytes ? options.packetBytes : PacketBytesOf(format)),
      m_WakeMs(options.wakeMs),
      m_MoveOnNotification(options.moveDataOnNotification),
      m_ClientSignal(std::move(options.clientSignal)),
      m_CaptureSink(std::move(options.captureSink)),
      m_CheckCapturePattern(options.checkCapturePattern),
      m_StallPeriods(options.stallPeriods ? options.stallPeriods : 1),
      m_DeviceFrames(std::move(options.deviceFrames)),
      m_DeviceFifoFrames(options.deviceFifoFrames),
      m_Checker(m_SampleBytes) {
  if (m_Period == 0 || m_Period > m_BufferSize) m_Period = m_BufferSize;
  m_WriteAhead = options.writeAheadBytes ? options.writeAheadBytes : m_BufferSize - m_Period;
  if (m_WriteAhead > m_BufferSize) m_WriteAhead = m_BufferSize;
  ULONG rate = m_Format.nAvgBytesPerSec ? m_Format.nAvgBytesPerSec : 1;
  m_PeriodTicks = static_cast<LONGLONG>(m_Period) * kTicksPerSecond / rate;
  m_PacketTicks = static_cast<LONGLONG>(m_Packet) * kTicksPerSecond / rate;
  KeInitializeMutex(&m_Mutex, 0);
  KeInitializeEvent(&m_Wake, SynchronizationEvent, FALSE);
  KeInitializeEvent(&m_Quit, NotificationEvent, FALSE);
  m_Pin->SetServiceCallback([this] { OnNotification(); });
  m_Thread = std::make_unique<platform::clock::Thread>("audio engine", [this] { RunThread(); });
}

Stream::~Stream() {
  m_Pin->SetServiceCallback(nullptr);
  KeSetEvent(&m_Quit, IO_NO_INCREMENT, FALSE);
  m_Thread.reset();
  m_Pin.reset();
}

void Stream::Report(Issue issue, std::string detail) {
  platform::verifier::ReportStreamFinding({m_Capture ? "engine capture stream" : "engine render stream",
                                           IssueName(issue), platform::clock::Now(), detail});
  m_Findings.push_back({issue, std::move(detail)});
}

std::vector<Finding> Stream::Findings() const {
  Locked lock(*this);
  return m_Findings;
}

bool Stream::Has(Issue issue) const {
  Locked lock(*this);
  for (const auto& f : m_Findings)
    if (f.issue == issue) return true;
  return false;
}

ULONG64 Stream::BytesPlayed() const {
  Locked lock(*this);
  return m_Played;
}
ULONG64 Stream::BytesWritten() const {
  Locked lock(*this);
  return m_Written;
}
ULONG64 Stream::BytesRead() const {
  Locked lock(*this);
  return m_Read;
}
ULONG64 Stream::SilenceWritten() const {
  Locked lock(*this);
  return m_Silence;
}
ULONG64 Stream::LastWriteOffset() const {
  Locked lock(*this);
  return m_WriteOffset;
}
ULONG Stream::Notifications() const { return m_Notifications.load(); }

void Stream::SetClientStarving(bool starving) {
  Locked lock(*this);
  m_Starving = starving;
  if (!starving) m_StarvationReported = false;
}

ULONG64 Stream::BytesIn(LONGLONG ticks) const {
  if (ticks <= 0) return 0;
  return static_cast<ULONG64>(ticks) * m_Format.nAvgBytesPerSec / kTicksPerSecond;
}

// ---------------------------------------------------------------------------------------
// The processing thread

void Stream::OnNotification() {
  LONGLONG now = Now();
  m_Notifications.fetch_add(1);
  LONGLONG last = m_LastNotification.exchange(now);
  if (m_Running.load()) {
    LONGLONG gap = now - last;
    LONGLONG worst = m_WorstGap.load();
    while (gap > worst && !m_WorstGap.compare_exchange_weak(worst, gap)) {
    }
  } else if (now - m_RunningSince.load() > m_PacketTicks) {
    // A notification already on its way when the stream left RUN is fine.
    m_PausedNotifications.fetch_add(1);
  }
  KeSetEvent(&m_Wake, IO_NO_INCREMENT, FALSE);
}

void Stream::RunThread() {
  KTIMER timer;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  if (m_WakeMs) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(m_WakeMs) * kTicksPerMillisecond;
    KeSetTimerEx(&timer, due, static_cast<LONG>(m_WakeMs), nullptr);
  }
  PVOID objects[] = {&m_Quit, &m_Wake, &timer};
  for (;;) {
    NTSTATUS status = KeWaitForMultipleObjects(m_WakeMs ? 3 : 2, objects, WaitAny, Executive, KernelMode, FALSE,
                                               nullptr, nullptr);
    if (status == STATUS_WAIT_1) {
      Locked lock(*this);
      NotificationPassLocked();
    } else if (status == STATUS_WAIT_0 + 2) {
      Locked lock(*this);
      TimerPassLocked();
    } else {
      break;
    }
  }
  KeCancelTimer(&timer);
}

void Stream::NotificationPassLocked() {
  LONGLONG limit = m_PeriodTicks + m_PacketTicks;
  LONGLONG worst = m_WorstGap.exchange(0);
  if (worst > limit && !m_GapReported)
    Report(Issue::MissedNotification, Ms(worst) + " between two notifications, period " + Ms(m_PeriodTicks));
  m_GapReported = false;
  if (ULONG paused = m_PausedNotifications.exchange(0))
    Report(Issue::NotifiedWhilePaused, std::to_string(paused) + " notifications in state " + std::to_string(m_State));
  if (!m_MoveOnNotification || m_State == KSSTATE_STOP) return;
  ULONG64 position = 0;
  if (NT_SUCCESS(ReadPositionLocked(&position))) MoveDataLocked();
}

void Stream::TimerPassLocked() {
  if (m_State == KSSTATE_STOP) return;
  ULONG64 position = 0;
  if (!NT_SUCCESS(ReadPositionLocked(&position))) return;
  LONGLONG now = Now();
  if (m_State == KSSTATE_RUN) {
    LONGLONG silent = now - m_LastNotification.load();
    if (silent > m_PeriodTicks + m_PacketTicks && !m_GapReported) {
      Report(Issue::MissedNotification, "no notification for " + Ms(silent) + ", period " + Ms(m_PeriodTicks));
      m_GapReported = true;
    }
    LONGLONG still = now - m_LastMove;
    if (still > static_cast<LONGLONG>(m_StallPeriods) * m_PeriodTicks + m_PacketTicks && !m_StallReported) {
      Report(Issue::PositionStalled, "position " + std::to_string(m_Played) + " for " + Ms(still));
      m_StallReported = true;
    }
  }
  MoveDataLocked();
}

// ---------------------------------------------------------------------------------------
// States

NTSTATUS Stream::SetState(KSSTATE state) {
  KSPROPERTY p{};
  p.Set = KSPROPSETID_Connection;
  p.Id = KSPROPERTY_CONNECTION_STATE;
  p.Flags = KSPROPERTY_TYPE_SET;
  ULONG value = state;
  ULONG returned = 0;
  Locked lock(*this);
  NTSTATUS status = m_Pin->Property(&p, sizeof(p), &value, sizeof(value), &returned);
  if (!NT_SUCCESS(status)) {
    Report(Issue::RequestFailed, "state " + std::to_string(state) + ": " + Hex(status));
    return status;
  }
  if (m_State == KSSTATE_RUN && state != KSSTATE_RUN) {
    // The position as the stream left RUN, read once the pin has left it (a reading
    // before the request may be a packet behind); it must not move from here.
    ULONG64 position = 0;
    ReadPositionLocked(&position);
  }
  LONGLONG now = Now();
  m_State = state;
  m_StateTime = now;
  m_RunningSince.store(now);
  m_PausedMoveReported = false;
  if (state == KSSTATE_RUN) {
    m_AnchorTime = now;
    m_AnchorPosition = m_Played;
    m_LastMove = now;
    m_StallReported = false;
    m_GapReported = false;
    m_WorstGap.store(0);
    m_LastNotification.store(now);
    m_DeviceAnchored = false;
    if (m_DeviceFrames) m_DeviceAtRun = m_DeviceFrames();
    m_Running.store(true);
    return status;
  }
  m_Running.store(false);
  if (state == KSSTATE_STOP) {
    // A stopped stream reads position 0 and starts again from the start of the buffer.
    m_Played = 0;
    m_WriteOffset = 0;
    KSPROPERTY q{};
    q.Set = KSPROPSETID_Audio;
    q.Id = KSPROPERTY_AUDIO_POSITION;
    q.Flags = KSPROPERTY_TYPE_GET;
    KSAUDIO_POSITION answer{};
    NTSTATUS read = m_Pin->Property(&q, sizeof(q), &answer, sizeof(answer), &returned);
    if (!NT_SUCCESS(read)) {
      Report(Issue::RequestFailed, "position: " + Hex(read));
    } else if (answer.PlayOffset != 0 || answer.WriteOffset != 0) {
      Report(Issue::NotResetByStop, "play offset " + std::to_string(answer.PlayOffset) + ", write offset " +
                                        std::to_string(answer.WriteOffset) + " after STOP");
    }
    m_Written = m_Read = m_ClientBytes = 0;
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
    Locked lock(*this);
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
      Locked lock(*this);
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

// ---------------------------------------------------------------------------------------
// Positions and data

NTSTATUS Stream::ReadPosition(ULONG64* position) {
  Locked lock(*this);
  return ReadPositionLocked(position);
}

NTSTATUS Stream::ReadPositionLocked(ULONG64* position) {
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
  LONGLONG now = Now();
  ULONG64 play = answer.PlayOffset;
  m_WriteOffset = answer.WriteOffset;
  *position = play;
  if (play < m_Played) {
    Report(Issue::PositionBackwards, "position " + std::to_string(play) + " after " + std::to_string(m_Played));
    return STATUS_SUCCESS;  // the higher position stands
  }
  CheckDeviceLocked(play);
  if (play == m_Played) return STATUS_SUCCESS;
  if (m_State != KSSTATE_RUN) {
    if (!m_PausedMoveReported)
      Report(Issue::MovedWhilePaused, "position " + std::to_string(play) + " after " + std::to_string(m_Played) +
                                          " in state " + std::to_string(m_State));
    m_PausedMoveReported = true;
  } else {
    // The stream may report in steps of up to a period, a packet late or early, and its
    // clock may run a little fast.
    LONGLONG elapsed = now - m_AnchorTime;
    ULONG64 allowed = BytesIn(elapsed) + BytesIn(elapsed) / 200 + m_Period + m_Packet;
    if (play - m_AnchorPosition > allowed) {
      Report(Issue::PositionJump, std::to_string(play - m_AnchorPosition) + " bytes in " + Ms(elapsed) +
                                      " of RUN, at most " + std::to_string(allowed));
      m_AnchorTime = now;  // judged again from here
      m_AnchorPosition = play;
    }
    m_LastMove = now;
    m_StallReported = false;
  }
  m_Played = play;
  return STATUS_SUCCESS;
}

// The position against the device (StreamOptions::deviceFrames), in frames.
void Stream::CheckDeviceLocked(ULONG64 play) {
  if (!m_DeviceFrames || m_State != KSSTATE_RUN) return;
  const ULONG64 device = m_DeviceFrames();
  const ULONG64 block = m_Format.nBlockAlign ? m_Format.nBlockAlign : 1;
  if (!m_DeviceAnchored) {
    // What each end did before both moved is start-up latency (the first packets on their
    // way, the device's FIFO filling): from here on their advances must agree.
    if (device > m_DeviceAtRun && play > m_AnchorPosition) {
      m_DeviceAnchored = true;
      m_DeviceAnchor = device;
      m_DevicePositionAnchor = play;
    }
    return;
  }
  const auto moved = static_cast<LONGLONG>((play - m_DevicePositionAnchor) / block);
  const auto played = static_cast<LONGLONG>(device - m_DeviceAnchor);
  const auto slack = static_cast<LONGLONG>(m_Packet / block + m_DeviceFifoFrames);
  const LONGLONG off = moved - played;
  if (off > slack || -off > slack) {
    Report(Issue::PositionOffDevice,
           "the position moved " + std::to_string(moved) + " frames while the device " +
               (m_Capture ? "produced " : "consumed ") + std::to_string(played) + " (more than " +
               std::to_string(slack) + " frames apart: one packet plus its FIFO of " +
               std::to_string(m_DeviceFifoFrames) + ")");
    m_DeviceAnchor = device;  // judged again from here
    m_DevicePositionAnchor = play;
  }
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
    ULONG64 target = m_Played + m_WriteAhead;
    while (m_Written < target) {
      ULONG offset = static_cast<ULONG>(m_Written % m_BufferSize);
      ULONG64 left = target - m_Written;
      ULONG n = static_cast<ULONG>(left < m_BufferSize - offset ? left : m_BufferSize - offset);
      chunk.resize(n);
      if (m_Starving) {
        // The buffer never replays stale data: what the client cannot give is silence.
        std::memset(chunk.data(), m_Format.wBitsPerSample == 8 ? 0x80 : 0, n);
        m_Silence += n;
        if (!m_StarvationReported)
          Report(Issue::Starved, "silence written from byte " + std::to_string(m_Written));
        m_StarvationReported = true;
      } else {
        if (m_ClientSignal)
          m_ClientSignal(m_ClientBytes, chunk.data(), n);
        else
          FillCounterPattern(m_ClientBytes, chunk.data(), n, m_SampleBytes);
        m_ClientBytes += n;
      }
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
    if (m_CaptureSink) m_CaptureSink(chunk.data(), n);
    if (m_CheckCapturePattern) {
      std::vector<Finding> glitches;
      m_Checker.Feed(chunk.data(), n, &m_Findings, &glitches);
      // A break in a capture stream that carried the counter is a stream finding as well.
      for (auto& g : glitches)
        platform::verifier::ReportStreamFinding(
            {"engine capture stream", IssueName(g.issue), platform::clock::Now(), std::move(g.detail)});
    }
    m_Read += n;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Stream::Pump() {
  Locked lock(*this);
  ULONG64 position = 0;
  NTSTATUS status = ReadPositionLocked(&position);
  if (!NT_SUCCESS(status)) return status;
  return MoveDataLocked();
}

}  // namespace sim::engine
