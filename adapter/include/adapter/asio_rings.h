// ASIO ring buffers: one per ASIO-capable endpoint, a 40-byte header followed by 40 ms of
// interleaved frames, mapped whole into the ASIO client's process. The header is the
// client's view only: the driver keeps every position, size and flag in its own
// AsioChannel, publishes them into the header and never reads the header back, so
// whatever the client writes there cannot steer a copy at dispatch level.
//
// Also here, as pure functions a test can table: the sizes (bytes per sample, ring data
// size, the URB sizing of a stream from the period), the render start position and lead,
// the stream format of a ring, and the check of a CreateBuffers request's input.
#pragma once

#include "adapter/asio_private.h"
#include "adapter/stream_client.h"
#include "adapter/stream_engine.h"
#include "kernel/mm.h"
#include "kernel/nt.h"
#include "portcls/ksmedia.h"

namespace adapter {

// A ring holds this many milliseconds of audio.
inline constexpr ULONG kAsioRingMs = 40;
// DSD silence: what a new ring holds, and what Stop leaves in an active ring.
inline constexpr UCHAR kAsioDsdIdleFill = 0x69;
inline constexpr UCHAR kAsioDsdStopFill = 0x96;
// ASIO streams start this many bus frames after the last prepared frame.
inline constexpr ULONG kAsioStartFrameOffset = 5;
// The vendor device request some models get at ASIO start (wValue 1) and stop (0).
inline constexpr UCHAR kAsioVendorStartRequest = 7;
// The CreateBuffers request: three u32 (ignored, pair count, period frames), then the pairs.
inline constexpr ULONG kAsioBufferRequestFixedBytes = 12;
inline constexpr ULONG kAsioBufferPairBytes = 8;

// {00000E7A-0000-0010-8000-00AA00389B71}: native DSD.
KS_DEFINE_GUID(KSDATAFORMAT_SUBTYPE_ASIO_DSD, 0x00000E7A, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B,
               0x71);

// The header as the client sees it (u32 little-endian each).
struct AsioRingHeader {
  ULONG Active;         // 1 when a channel the client asked for lies in this ring
  ULONG IsInput;        // 1 for a capture endpoint
  ULONG Channels;       // the endpoint's channels
  ULONG FirstChannel;   // this ring's first channel among the ASIO channels of its direction
  ULONG DataSize;       // bytes of data after the header
  ULONG Position;       // next byte taken (render) or written (capture)
  ULONG StartPosition;  // render: where the transfer started
  ULONG Lead;           // render: bytes the driver stays ahead of the client
  ULONG Signals;        // 1 on the ring whose completions signal the period event
  ULONG Periods;        // completed URBs of this ring
};
static_assert(sizeof(AsioRingHeader) == 40);

// One entry per stream engine, in engine order; all zero for an engine that is not
// ASIO-capable. The kernel's own copy of everything the header shows: the completion path
// reads only these.
struct AsioChannel {
  AsioRingHeader* Ring;        // kernel address of the ring (header, then the data)
  PVOID UserAddress;           // the ring's address in the client's process
  PMDL Mdl;
  PSTREAMCLIENTRECORD Stream;  // from RegisterClient; null while no stream is open
  PUCHAR Data;                 // Ring's data, DataSize bytes
  ULONG IsInput;
  ULONG Channels;
  ULONG FirstChannel;
  ULONG DataSize;
  ULONG OneUrb;  // bytes of one URB of this ring's stream (render reset)
  ULONG Position;
  ULONG StartPosition;
  ULONG Lead;
  ULONG Periods;
  bool Asio;     // the engine is ASIO-capable (it has a ring)
  bool Active;
  bool Signals;
};

// Bytes of one sample of an ASIO sample type: 16 -> 2, 17 -> 3, 18 and 24 to 27 -> 4;
// 0 for any other type.
ULONG AsioBytesPerSample(ULONG SampleType);

// Units of one millisecond (AsioUnitsPerMs, adapter/asio_private.h): PCM frames, DSD
// 8-byte units per channel; never below 1.

// Bytes of a ring's data: 40 ms of frames, rounded down to whole frames. PCM frames are
// channels x bytes per sample at `Rate`; DSD frames channels x 8 bytes at Rate / 64. 0 when
// the ring has no channels or the size would not fit 32 bits.
ULONG AsioRingDataSize(ULONG Mode, ULONG Rate, ULONG Channels, ULONG BytesPerSample);

// How an ASIO stream is cut into URBs for a period of `PeriodFrames` frames (or DSD units):
// the period in ms (at least 2); 20 ms and more: 5 ms URBs, at most 5; 16 ms and more:
// 4 ms URBs; 8 ms and more: 2 ms URBs; else 1 ms URBs; one URB fewer in flight than the
// count when the count is above 2.
struct AsioStreamSizing {
  ULONG MsPerUrb;
  ULONG Count;
  ULONG UrbsInFlight;
};
AsioStreamSizing SizeAsioStream(ULONG PeriodFrames, ULONG UnitsPerMs);

// Where a render ring starts after a reset, and the lead the driver keeps: count - 1 URBs
// ahead, from position 0; with fewer than 2 URBs of lead, 2 URBs ahead from one URB
// before the end of the data.
struct AsioRenderStart {
  ULONG Position;
  ULONG Lead;
};
AsioRenderStart AsioRenderReset(ULONG DataSize, ULONG OneUrb, ULONG Count);

// Bytes of one URB of a ring: channels x ms per URB x units per ms x bytes per sample
// (DSD: 8). 0 when it would not fit 32 bits.
ULONG AsioUrbBytes(ULONG Channels, ULONG MsPerUrb, ULONG UnitsPerMs, ULONG BytesPerSample);

// The largest channel count among the engine's formats of the mode's sub-format (PCM or
// DSD); 0 when it has none.
ULONG AsioEngineChannels(IStreamEngine* Engine, ULONG Mode);

// The stream format of a ring: the engine's format equal to the ring's in channels, rate,
// container and valid bits and sub-format, whole. PCM: the rate and the sample type's
// bits (16 -> 16/16, 17 -> 24/24, 18 -> 32/32, 24 -> 32/16, 25 -> 32/18, 26 -> 32/20,
// 27 -> 32/24); DSD: 64/64 bits at Rate / 64. *BytesPerSample gets the entry's container
// bytes. STATUS_NO_MATCH without an equal entry (or for an unknown sample type).
NTSTATUS BuildAsioStreamFormat(IStreamEngine* Engine, ULONG Channels, ULONG Mode, ULONG Rate, ULONG SampleType,
                               WAVEFORMATEXTENSIBLE* Format, PULONG BytesPerSample);

// One requested channel of CreateBuffers.
struct AsioChannelPair {
  ULONG IsInput;
  ULONG Channel;
};
// Checks a CreateBuffers request's input before anything is read from its pairs: at least
// 12 + 8 x n bytes, n at most `MaxPairs` (the ASIO channels of both directions).
// STATUS_INVALID_PARAMETER otherwise. On success *Pairs points into the request.
NTSTATUS ParseAsioBufferRequest(const void* Input, ULONG InputLength, ULONG MaxPairs, ULONG* PairCount,
                                ULONG* PeriodFrames, const AsioChannelPair** Pairs);

}  // namespace adapter
