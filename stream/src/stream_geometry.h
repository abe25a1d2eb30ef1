// Private to the concrete stream engines: the checks and sizes every allocation starts
// from, whichever class version and direction.
#pragma once

#include "stream/usb_stream_engine.h"

namespace stream::geometry {

// The largest transfer buffer an engine asks for: far beyond any real stream (10 ms of
// 8 packets of a 3 KB high-bandwidth endpoint is 240 KB), small enough that every size
// derived from it fits 32 bits.
inline constexpr ULONGLONG kMaxTransferBufferBytes = 1u << 20;
// Bytes one packet of an endpoint carries: wMaxPacketSize bits 0-10 and, at high speed,
// the additional transactions per microframe of bits 11-12 (3 is reserved: 0 bytes).
constexpr ULONG PacketBytes(USHORT wMaxPacketSize, bool HighSpeed) {
  const ULONG bytes = wMaxPacketSize & 0x07FFu;
  if (!HighSpeed) return bytes;
  const ULONG extra = (wMaxPacketSize >> 11) & 0x3u;
  return extra == 3 ? 0 : bytes * (1 + extra);
}

// What every allocation shares: the format check, the state check before anything
// changes, the alternate setting and the ring size.
struct Plan {
  UCHAR alt;
  ULONG ms, urbs, blockAlign, rate, ringBytes;
};

// The record's format must be the engine's, the engine without resources (else
// STATUS_INSUFFICIENT_RESOURCES with nothing changed), the format's setting known and its
// sizes usable; the ring holds 40 ms in whole frames.
inline NTSTATUS PlanAllocation(CUsbStreamEngine* Engine, PSTREAMCLIENTRECORD Record, Plan* P) {
  if (!Record) return STATUS_INVALID_PARAMETER;
  WAVEFORMATEXTENSIBLE format;
  RtlCopyMemory(&format, &Record->Format, sizeof format);
  NTSTATUS status = Engine->FindFormat(&format.Format);
  if (!NT_SUCCESS(status)) return status;
  // Resources exist already: nothing may change under them.
  if (Engine->GetStreamState() != STREAM_STATE_NO_RESOURCES) return STATUS_INSUFFICIENT_RESOURCES;
  status = Engine->FindAltSetting(&Record->Format.Format, &P->alt);
  if (!NT_SUCCESS(status)) return status;
  const WAVEFORMATEX& f = Record->Format.Format;
  if (f.nBlockAlign == 0 || f.nSamplesPerSec == 0) return STATUS_NOT_SUPPORTED;
  P->ms = Record->MsPerUrb;
  P->urbs = Record->UrbsInFlight;
  if (P->ms < 1 || P->ms > kMaxClientUrbValue || P->urbs < 1 || P->urbs > kTransferSlots) return STATUS_INVALID_PARAMETER;
  P->blockAlign = f.nBlockAlign;
  P->rate = f.nSamplesPerSec;
  ULONG ring = f.nAvgBytesPerSec / kRingDivisor;
  if (ring % f.nBlockAlign) ring += f.nBlockAlign - ring % f.nBlockAlign;
  P->ringBytes = ring ? ring : f.nBlockAlign;
  return STATUS_SUCCESS;
}

}  // namespace stream::geometry
