// Explicit feedback of an asynchronous OUT endpoint, as pure arithmetic: the wire value,
// the snapping of the 44.1 kHz family, its conversion to whole hertz and the averaging of
// one feedback URB into the rate the render engine plays. The UAC 2.0 render engine calls
// these from its feedback completion; nothing here touches the bus or the engine.
//
// Wire formats: full speed sends samples per 1 ms frame in 10.14 (3 bytes, little-endian),
// high speed samples per 125 us microframe in 16.16 (4 bytes). Both are brought to 16.16
// before anything else.
#pragma once

#include "kernel/nt.h"
#include "usb/usbdi.h"

namespace stream::feedback {

// Bytes of one feedback packet on each bus.
inline constexpr ULONG kFullSpeedPacketBytes = 3;
inline constexpr ULONG kHighSpeedPacketBytes = 4;
// Values further than this from the nominal rate are taken for noise and not counted.
inline constexpr LONG kAcceptWindowHz = 1000;
// The snapped family sits at the nominal rate and 500 Hz either side of it.
inline constexpr ULONG kFamilyStepHz = 500;

// A 10.14 value as 16.16: its low 24 bits, shifted left by two.
constexpr ULONG TenFourteenToSixteenSixteen(ULONG raw) { return (raw & 0x00FFFFFFu) << 2; }

// Devices of the 44.1 kHz family report their rate with the low bits cut off; a value that
// is exactly such a cut value is replaced by the rate it stands for. Full-speed values are
// compared after the 10.14 to 16.16 shift. Any other value comes back unchanged.
ULONG SnapFullSpeed(ULONG value16_16);
ULONG SnapHighSpeed(ULONG value16_16);

// floor(value x packets per second / 65536): a 16.16 samples-per-packet value in hertz.
// The product needs 64 bits (a 16.16 value times 8,000 packets per second passes 2^32),
// the result fits in 32 bits for any 32-bit value and up to 65,536 packets per second.
constexpr ULONG FeedbackHz(ULONG value16_16, ULONG packetsPerSecond) {
  return static_cast<ULONG>((static_cast<ULONGLONG>(value16_16) * packetsPerSecond) >> 16);
}

// One feedback URB as the render engine reads it.
struct FeedbackUrb {
  const UCHAR* Buffer;                         // the transfer buffer, packet i at i x PacketBytes
  const USBD_ISO_PACKET_DESCRIPTOR* Packets;   // the URB's packet descriptors
  ULONG PacketCount;                           // packets of the URB (ms per URB)
  ULONG PacketBytes;                           // 4: 16.16, anything else: 10.14
  ULONG PacketsPerSecond;                      // bus (micro)frames per second the values count in
  ULONG NominalRate;                           // nSamplesPerSec of the format the device runs
  ULONG PacketsPerFrame;                       // packets per bus frame (0 is taken as 1)
};

// What one URB says.
struct FeedbackResult {
  ULONG Counted;  // packets whose value fell within the window and went into the average
  LONG Rate;      // the rate to play; the current one when nothing was counted
};

// The rate one feedback URB gives. A packet counts only when it arrived whole (its length
// is the packet size) with a success status: a packet the device did not fill leaves
// nothing to read. Each value is snapped, converted to hertz and kept when it lies within
// 1000 Hz of the nominal rate; the rate is the signed mean of the kept values. When that
// mean is exactly 500 / frames hertz off nominal, frames being PacketCount / PacketsPerFrame
// (one frame's snapped +-500 Hz value among nominal ones), the deviation is doubled. No
// value kept: `CurrentRate`.
FeedbackResult ParseFeedback(const FeedbackUrb& Urb, LONG CurrentRate);

// The render fill rule: frames of the next packet at `Rate` hertz with `SamplesPerPacket`
// nominal frames per packet and `PacketsPerSecond` packets, carrying the remainder in
// `Remainder` (0 at the stream's start). A rate above nominal adds a frame whenever the
// remainder reaches a whole packet's worth, a rate below takes one away (the remainder
// then runs negative). 64-bit intermediates, so no rate or packet rate overflows.
LONG NextPacketFrames(LONG* Remainder, LONG Rate, ULONG SamplesPerPacket, ULONG PacketsPerSecond);

}  // namespace stream::feedback
