#include "stream/feedback.h"

namespace stream::feedback {
namespace {

struct Snap {
  ULONG Cut;
  ULONG Exact;
};

// 44.1, 88.2 and 176.4 kHz and 500 Hz either side, as 16.16 samples per 1 ms frame: the
// value a 10.14 device sends (its fraction cut to 14 bits) and the exact one.
constexpr Snap kFullSpeedSnaps[] = {
    {0x2C1900, 0x2C199A}, {0x2B9900, 0x2B99A0}, {0x2C9900, 0x2C99A0},
    {0x583300, 0x583338}, {0x57B300, 0x57B338}, {0x58B300, 0x58B338},
    {0xB06600, 0xB06668}, {0xAFE600, 0xAFE668}, {0xB0E600, 0xB0E668},
};

// The same rates as 16.16 samples per 125 us microframe.
constexpr Snap kHighSpeedSnaps[] = {
    {0x58380, 0x58334},   {0x57380, 0x57334},   {0x59380, 0x59334},
    {0xB0640, 0xB0667},   {0xAF640, 0xAF667},   {0xB1640, 0xB1667},
    {0x160C60, 0x160CCD}, {0x15FC60, 0x15FCCD}, {0x161C60, 0x161CCD},
};

template <size_t N>
constexpr ULONG Apply(const Snap (&table)[N], ULONG value) {
  for (const Snap& s : table)
    if (s.Cut == value) return s.Exact;
  return value;
}

ULONG ReadLittleEndian(const UCHAR* p, ULONG bytes) {
  ULONG v = 0;
  for (ULONG i = 0; i < bytes; ++i) v |= static_cast<ULONG>(p[i]) << (8 * i);
  return v;
}

}  // namespace

ULONG SnapFullSpeed(ULONG value16_16) { return Apply(kFullSpeedSnaps, value16_16); }
ULONG SnapHighSpeed(ULONG value16_16) { return Apply(kHighSpeedSnaps, value16_16); }

FeedbackResult ParseFeedback(const FeedbackUrb& Urb, LONG CurrentRate) {
  FeedbackResult result{0, CurrentRate};
  if (!Urb.Buffer || !Urb.Packets || Urb.PacketCount == 0) return result;
  const bool sixteen = Urb.PacketBytes == kHighSpeedPacketBytes;
  const ULONG size = sixteen ? kHighSpeedPacketBytes : kFullSpeedPacketBytes;
  const LONGLONG nominal = Urb.NominalRate;
  LONGLONG sum = 0;
  ULONG count = 0;
  for (ULONG i = 0; i < Urb.PacketCount; ++i) {
    const USBD_ISO_PACKET_DESCRIPTOR& p = Urb.Packets[i];
    if (!USBD_SUCCESS(p.Status) || p.Length != size) continue;
    const ULONG raw = ReadLittleEndian(Urb.Buffer + static_cast<SIZE_T>(i) * size, size);
    const ULONG value = sixteen ? SnapHighSpeed(raw) : SnapFullSpeed(TenFourteenToSixteenSixteen(raw));
    const LONGLONG hz = FeedbackHz(value, Urb.PacketsPerSecond);
    if (hz < nominal - kAcceptWindowHz || hz > nominal + kAcceptWindowHz) continue;
    sum += hz;
    ++count;
  }
  if (count == 0) return result;
  const LONGLONG average = sum / static_cast<LONGLONG>(count);
  const LONGLONG d = average - nominal;
  const ULONG perFrame = Urb.PacketsPerFrame ? Urb.PacketsPerFrame : 1;
  const ULONG frames = Urb.PacketCount / perFrame ? Urb.PacketCount / perFrame : 1;
  const LONGLONG step = kFamilyStepHz / frames;
  const LONGLONG rate = (d == step || d == -step) ? average + d : average;
  result.Counted = count;
  result.Rate = static_cast<LONG>(rate);
  return result;
}

LONG NextPacketFrames(LONG* Remainder, LONG Rate, ULONG SamplesPerPacket, ULONG PacketsPerSecond) {
  const LONGLONG p = PacketsPerSecond ? PacketsPerSecond : 1;
  LONGLONG r = static_cast<LONGLONG>(*Remainder) + Rate - static_cast<LONGLONG>(SamplesPerPacket) * p;
  const LONGLONG extra = r / p;  // truncates towards zero
  r %= p;
  *Remainder = static_cast<LONG>(r);
  return static_cast<LONG>(static_cast<LONGLONG>(SamplesPerPacket) + extra);
}

}  // namespace stream::feedback
