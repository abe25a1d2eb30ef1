// What the WaveCyclic stream does with the engine's records, at DISPATCH_LEVEL under its
// lock: URB completions advance the DMA position and notify the port; a format record
// sets up the conversion and the rate ratio; a render fill copies bytes out of the cyclic
// buffer into the URB; captured data is converted into the cyclic buffer.
#include <cstring>

#include "filters/miniport_wave_cyclic.h"
#include "filters/wave_cyclic_stream.h"

namespace filters {
namespace {

dsp::WAVEFORMATEXTENSIBLE DspFormat(const WAVEFORMATEXTENSIBLE& format) {
  dsp::WAVEFORMATEXTENSIBLE out;
  static_assert(sizeof out == sizeof format);
  std::memcpy(&out, &format, sizeof out);
  return out;
}

// Floor division: the remainder of the device bytes may be below zero.
LONGLONG FloorDiv(LONGLONG a, LONGLONG b) {
  LONGLONG q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

}  // namespace

VOID CMiniportWaveCyclicStream::OnStreamEngineNotify(PVOID Context, PVOID Argument1, PVOID) {
  auto* self = static_cast<CMiniportWaveCyclicStream*>(Context);
  const auto* record = static_cast<const stream::StreamEngineRecord*>(Argument1);
  if (self && record) self->OnRecord(record);
}

bool CMiniportWaveCyclicStream::IsCurrentClient(const stream::StreamEngineRecord* Record) const {
  return Record->Client && Record->Client->Key == m_ullClientKey;
}

bool CMiniportWaveCyclicStream::SameRate(const stream::StreamEngineRecord* Record) const {
  return Record->Client && Record->Client->Format.Format.nAvgBytesPerSec == m_Format.Format.nAvgBytesPerSec;
}

void CMiniportWaveCyclicStream::OnRecord(const stream::StreamEngineRecord* Record) {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  const bool registered = m_pClientRecord != nullptr;
  const bool started = registered && m_pClientRecord->Started != 0;
  KeReleaseSpinLock(&m_Lock, irql);
  if (!registered) return;
  switch (Record->Code) {
    case stream::STREAM_NOTIFY_FORMAT:
      FormatChanged(Record);
      break;
    case stream::STREAM_NOTIFY_URB_DONE:
      if (started) AdvancePosition(Record);
      break;
    case stream::STREAM_NOTIFY_RENDER_FILL:
      if (started) FillRenderBuffer(Record);
      break;
    case stream::STREAM_NOTIFY_CAPTURE_DATA:
      if (started) StoreCaptureData(Record);
      break;
    default:
      break;
  }
}

ULONG CMiniportWaveCyclicStream::DeviceToClientLocked(RateAccumulator* a, ULONG DeviceBytes) {
  if (m_llDeviceBytesPerMs <= 0) return 0;
  // Whole milliseconds of the device bytes and what is left (the per-mille rest of the
  // device's byte rate taken off, which may take the remainder below zero), then the
  // client's bytes of those milliseconds with its own per-mille rest carried.
  const LONGLONG total = static_cast<LONGLONG>(DeviceBytes) + a->byteRemainder;
  LONGLONG ms = FloorDiv(total, m_llDeviceBytesPerMs);
  if (ms < 0) ms = 0;
  a->byteRemainder = total - ms * m_llDeviceBytesPerMs;
  const LONGLONG f = m_llDevicePerMilleRest * ms + a->deviceFractionCarry;
  a->byteRemainder -= f / 1000;
  a->deviceFractionCarry = f % 1000;
  const LONGLONG g = m_llClientPerMilleRest * ms + a->clientFractionCarry;
  a->clientFractionCarry = g % 1000;
  const LONGLONG client = m_llClientBytesPerMs * ms + g / 1000;
  return client > 0 ? static_cast<ULONG>(client) : 0;
}

void CMiniportWaveCyclicStream::AdvancePosition(const stream::StreamEngineRecord* Record) {
  bool notify = false;
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  if (m_nAllocatedSize) {
    const ULONG b = SameRate(Record) ? Record->Payload.ByteCount : DeviceToClientLocked(&m_DoneRate, Record->Payload.ByteCount);
    m_nDmaPosition = static_cast<ULONG>((static_cast<ULONGLONG>(m_nDmaPosition) + b) % m_nAllocatedSize);
    m_ullTimeStamp = StampNow();
    if (m_bCapture) {
      m_nCurrentUrbBytes = b;
    } else {
      if (m_nRingCount) {
        m_nRingRead = (m_nRingRead + 1) % kUrbRingEntries;
        --m_nRingCount;
      }
      m_nCurrentUrbBytes = m_nRingCount ? m_UrbRing[m_nRingRead] : 0;
    }
    notify = true;
  }
  KeReleaseSpinLock(&m_Lock, irql);
  // Once per URB, whatever the notification interval.
  if (notify && m_pMiniport && m_pMiniport->GetPort() && m_pServiceGroup)
    m_pMiniport->GetPort()->Notify(m_pServiceGroup);
}

void CMiniportWaveCyclicStream::SetRateRatioLocked(ULONG MsPerUrb, ULONG UrbsInFlight) {
  m_llClientBytesPerMs = m_Format.Format.nAvgBytesPerSec / 1000;
  m_llClientPerMilleRest = m_Format.Format.nAvgBytesPerSec % 1000;
  m_DoneRate.clientFractionCarry = 0;
  m_FillRate.clientFractionCarry = 0;
  const LONGLONG deviceRate = m_DeviceFormat.Format.nAvgBytesPerSec;
  if (deviceRate / 1000 != m_llDeviceBytesPerMs || deviceRate % 1000 != m_llDevicePerMilleRest) {
    m_llDeviceBytesPerMs = deviceRate / 1000;
    m_llDevicePerMilleRest = deviceRate % 1000;
    m_DoneRate = RateAccumulator{};
    m_FillRate = RateAccumulator{};
  }
  m_nMsPerUrb = MsPerUrb;
  m_nUrbsInFlight = UrbsInFlight;
}

void CMiniportWaveCyclicStream::FormatChanged(const stream::StreamEngineRecord* Record) {
  ULONG ms = Record->Payload.Format.MsPerUrb;
  const ULONG urbs = Record->Payload.Format.UrbsInFlight;
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  if (Record->Client && std::memcmp(&Record->Client->Format, &m_DeviceFormat, sizeof m_DeviceFormat) != 0) {
    ms |= stream::kFormatChangedFlag;
    m_DeviceFormat = Record->Client->Format;
  }
  if (ms & stream::kFormatChangedFlag) {
    m_pConverter->Reset();
    const dsp::WAVEFORMATEXTENSIBLE in = DspFormat(m_DeviceFormat);
    const dsp::WAVEFORMATEXTENSIBLE out = DspFormat(m_Format);
    // Capture of the client's own format needs no converter; another format must be one
    // the converter takes, or nothing is stored.
    m_bConverterReady =
        std::memcmp(&m_DeviceFormat, &m_Format, sizeof m_Format) != 0 && m_pConverter->SetFormat(&in, &out);
    // The transfers start afresh: the ring empties, and the positions go on from where
    // they are. The last position reported stays the floor: a restart in the middle of a
    // URB never takes the position back.
    m_nCurrentUrbBytes = 0;
    ClearRingLocked();
    if (m_nAllocatedSize) {
      if (m_bCapture) {
        const ULONG block = m_Format.Format.nBlockAlign ? m_Format.Format.nBlockAlign : 1;
        m_nCopyOffset = m_nDmaPosition / block * block;
      } else {
        RestartRenderCopyLocked(urbs);
      }
    }
  }
  SetRateRatioLocked(ms & ~stream::kFormatChangedFlag, urbs);
  KeReleaseSpinLock(&m_Lock, irql);
}

void CMiniportWaveCyclicStream::RestartRenderCopyLocked(ULONG UrbsInFlight) {
  const ULONG size = m_nAllocatedSize;
  const ULONG block = m_Format.Format.nBlockAlign ? m_Format.Format.nBlockAlign : 1;
  // The copy goes on from where it stopped when the position did not pass it (the stream
  // paused, the engine restarted, or another client played at the stream's own rate):
  // nothing is left out or played twice. When the position moved on without it (the
  // device played another client's data meanwhile), the client may have written over
  // what lies there: the copy goes on from the first whole frame at or past the position.
  ULONG start = m_nCopyOffset % size / block * block;
  if (m_bCopyPassed || IsBehindLocked(start, m_nLastPosition)) {
    const ULONG from = IsBehindLocked(m_nDmaPosition, m_nLastPosition) ? m_nLastPosition : m_nDmaPosition;
    start = static_cast<ULONG>((static_cast<ULONGLONG>(from) + block - 1) / block * block);
    if (start >= size) start = 0;
  }
  // The position counts from there too, from now: the last completion was another
  // transfer's. The last position reported stays its floor.
  m_nCopyOffset = start;
  m_nDmaPosition = start;
  m_ullTimeStamp = StampNow();
  // The URBs the engine queues now are filled at once, before the position first moves:
  // all but the last play silence and take nothing from the buffer, so that from then on
  // the copy stays about a URB ahead of the position. Reading further ahead would play
  // data the client may not have written yet.
  m_nSilentFills = UrbsInFlight ? UrbsInFlight - 1 : 0;
  m_bOwnCopy = false;
  m_bCopyPassed = false;
}

void CMiniportWaveCyclicStream::FillRenderBuffer(const stream::StreamEngineRecord* Record) {
  const ULONG n = Record->Length;
  auto* urb = static_cast<PUCHAR>(Record->Payload.Buffer);
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  const ULONG size = m_nAllocatedSize;
  ULONG b = 0;
  bool account = false;
  if (size == 0) {
    // No buffer: nothing to copy or count.
  } else if (!SameRate(Record)) {
    // The engine plays another client's data: only the time is counted.
    b = DeviceToClientLocked(&m_FillRate, n);
    account = true;
    m_bOwnCopy = false;
    m_bCopyPassed = true;
  } else if (n < size) {
    if (m_nSilentFills) {
      --m_nSilentFills;  // the engine's buffer is zeroed: it plays silence
    } else {
      // Another client's data at the stream's byte rate: the copy only keeps time.
      m_bOwnCopy = IsCurrentClient(Record);
      if (!m_bOwnCopy) m_bCopyPassed = true;
      // No URB in flight: the engine restarted its transfers in place (after a transfer
      // error) and every URB came back without a successor. The position counted those
      // while the copy stood: it goes on from the copy again.
      if (m_bOwnCopy && m_nRingCount == 0) m_nDmaPosition = m_nCopyOffset;
      if (m_bOwnCopy && urb && m_pBuffer && m_nCopyOffset < size) {
        const ULONG first = n < size - m_nCopyOffset ? n : size - m_nCopyOffset;
        std::memcpy(urb, m_pBuffer + m_nCopyOffset, first);
        if (n > first) std::memcpy(urb + first, m_pBuffer, n - first);
      }
      m_nCopyOffset = static_cast<ULONG>((static_cast<ULONGLONG>(m_nCopyOffset) + n) % size);
    }
    b = n;
    account = true;
  }
  if (account) {
    if (m_nRingCount == 0) m_nCurrentUrbBytes = b;
    if (m_nRingCount == kUrbRingEntries) {
      // More URBs than the engine can have in flight: the oldest entry gives way.
      m_nRingRead = (m_nRingRead + 1) % kUrbRingEntries;
      --m_nRingCount;
    }
    m_UrbRing[(m_nRingRead + m_nRingCount) % kUrbRingEntries] = b;
    ++m_nRingCount;
  }
  KeReleaseSpinLock(&m_Lock, irql);
}

void CMiniportWaveCyclicStream::StoreCaptureData(const stream::StreamEngineRecord* Record) {
  const auto* data = static_cast<const UCHAR*>(Record->Payload.Buffer);
  if (!data || Record->Length == 0) return;
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  if (m_pBuffer && m_nAllocatedSize) {
    if (m_bConverterReady)
      StoreCaptureConvertedLocked(data, Record->Length);
    else if (std::memcmp(&m_DeviceFormat, &m_Format, sizeof m_Format) == 0)
      StoreCaptureCopyLocked(data, Record->Length);
  }
  KeReleaseSpinLock(&m_Lock, irql);
}

void CMiniportWaveCyclicStream::StoreCaptureCopyLocked(const UCHAR* Data, ULONG Bytes) {
  const ULONG block = m_Format.Format.nBlockAlign;
  const ULONG usable = m_nAllocatedSize / block * block;
  if (usable == 0) return;
  ULONG left = Bytes / block * block;
  while (left) {
    if (m_nCopyOffset >= usable) m_nCopyOffset = 0;
    const ULONG room = usable - m_nCopyOffset;
    const ULONG n = left < room ? left : room;
    std::memcpy(m_pBuffer + m_nCopyOffset, Data, n);
    Data += n;
    left -= n;
    m_nCopyOffset += n;
    if (m_nCopyOffset >= usable) m_nCopyOffset = 0;
  }
}

void CMiniportWaveCyclicStream::StoreCaptureConvertedLocked(const UCHAR* Data, ULONG Bytes) {
  const ULONG inBlock = m_DeviceFormat.Format.nBlockAlign;
  const ULONG outBlock = m_Format.Format.nBlockAlign;
  if (inBlock == 0 || outBlock == 0) return;
  // Whole output frames only: with a buffer that is no whole number of frames, the room
  // left before its end may hold less than a frame, and the store wraps there.
  const ULONG usable = m_nAllocatedSize / outBlock * outBlock;
  if (usable == 0) return;
  ULONG frames = Bytes / inBlock;
  while (frames) {
    if (m_nCopyOffset >= usable) m_nCopyOffset = 0;
    std::int32_t inFrames = static_cast<std::int32_t>(frames);
    std::int32_t outFrames = static_cast<std::int32_t>((usable - m_nCopyOffset) / outBlock);
    if (!m_pConverter->Process(Data, &inFrames, m_pBuffer + m_nCopyOffset, &outFrames)) break;
    if (inFrames < 0 || outFrames < 0 || static_cast<ULONG>(inFrames) > frames) break;
    m_nCopyOffset += static_cast<ULONG>(outFrames) * outBlock;
    if (m_nCopyOffset >= usable) m_nCopyOffset = 0;
    Data += static_cast<ULONG>(inFrames) * inBlock;
    frames -= static_cast<ULONG>(inFrames);
    // A pass that neither took input nor gave output would repeat for ever.
    if (inFrames == 0 && outFrames == 0) break;
  }
}

}  // namespace filters
