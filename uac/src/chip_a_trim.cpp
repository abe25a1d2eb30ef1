#include "uac/chip_a_trim.h"

#include "adapter/audio_class.h"

namespace uac {
namespace {

using enum adapter::AcSubtype;

constexpr UCHAR kConfigType = 0x02;
constexpr UCHAR kInterfaceType = 0x04;
constexpr UCHAR kCsInterface = 0x24;

// What decides whether a piece goes to the output.
enum class Rule : UCHAR {
  Always,
  MicTerm, MicRec, MicAA,
  Mixer,           // rebuilt unless both analog units are left out
  RenderFeature,   // always, its source and size adjusted
  StereoMix,       // MixRec, MicAA and LineAA all clear
  RecordOutput,    // while a record path remains; its source rewritten
  Selector,        // rebuilt for two record sources or more
  LineTerm, LineRec, LineAA,
  SpdifTerm,
  MixRec,
  Out8, Out2, Out4, Out6,
  RenderInput,     // always; six channels with Out8
  HighRateAlt,     // always; its rate becomes 96 kHz
  Capture,         // while a record path remains
};

// A piece of the fixed layout. The first descriptor of the piece is checked for its
// descriptor type, then for class-specific descriptors the subtype (0: any) and the
// identifier (0: any), for interface descriptors the audio subclass; the descriptors of a
// piece must fill it exactly.
struct Piece {
  USHORT Offset;
  UCHAR Length;
  UCHAR Type;
  UCHAR Subtype;
  UCHAR Id;
  Rule When;
};

constexpr Piece kPieces[] = {
    {0, 28, kConfigType, 0, 0, Rule::Always},
    {28, 12, kCsInterface, AC_INPUT_TERMINAL, 1, Rule::RenderInput},
    {40, 12, kCsInterface, AC_INPUT_TERMINAL, 0, Rule::MicTerm},
    {52, 10, kCsInterface, 0, 8, Rule::MicRec},
    {62, 10, kCsInterface, 0, 9, Rule::MicAA},
    {72, 25, kCsInterface, AC_MIXER_UNIT, 0, Rule::Mixer},
    {97, 16, kCsInterface, AC_FEATURE_UNIT, 0, Rule::RenderFeature},
    {113, 9, kCsInterface, AC_OUTPUT_TERMINAL, 0, Rule::Always},
    {122, 13, kCsInterface, 0, 0, Rule::StereoMix},
    {135, 9, kCsInterface, AC_OUTPUT_TERMINAL, 0, Rule::RecordOutput},
    {144, 10, kCsInterface, AC_SELECTOR_UNIT, 0, Rule::Selector},
    {154, 12, kCsInterface, AC_INPUT_TERMINAL, 0, Rule::LineTerm},
    {166, 10, kCsInterface, 0, 15, Rule::LineRec},
    {176, 10, kCsInterface, 0, 11, Rule::LineAA},
    {186, 12, kCsInterface, AC_INPUT_TERMINAL, 0, Rule::SpdifTerm},
    {198, 10, kCsInterface, 0, 2, Rule::MixRec},
    {208, 10, kCsInterface, 0, 16, Rule::SpdifTerm},
    {218, 9, kInterfaceType, adapter::kAudioStreamingSubclass, 0, Rule::Always},
    {227, 46, kInterfaceType, adapter::kAudioStreamingSubclass, 0, Rule::Out8},
    {273, 46, kInterfaceType, adapter::kAudioStreamingSubclass, 0, Rule::Out2},
    {319, 46, kInterfaceType, adapter::kAudioStreamingSubclass, 0, Rule::Out4},
    {365, 46, kInterfaceType, adapter::kAudioStreamingSubclass, 0, Rule::Out6},
    {411, 43, kInterfaceType, adapter::kAudioStreamingSubclass, 0, Rule::HighRateAlt},
    {454, 55, kInterfaceType, adapter::kAudioStreamingSubclass, 0, Rule::Capture},
};
constexpr ULONG kPieceCount = sizeof kPieces / sizeof kPieces[0];
static_assert(kPieces[kPieceCount - 1].Offset + kPieces[kPieceCount - 1].Length == kChipALayoutBytes);

// Offsets inside the pieces that the trimming rewrites.
constexpr ULONG kAcInterfaceOffset = 9;
constexpr ULONG kHeaderLength = 10;         // the Audio Control header at byte 18
constexpr ULONG kHeaderTotalOffset = 23;    // its wTotalLength
constexpr ULONG kHighRateFormat = 16;       // the format descriptor inside the 411 piece
constexpr ULONG kHighRateFormatBytes = 11;  // with one discrete rate
constexpr ULONG kMixerMaxBytes = 25;

// Identifiers the rebuilt pieces refer to.
constexpr UCHAR kRenderInputId = 1;
constexpr UCHAR kMicAnalogId = 9;
constexpr UCHAR kLineAnalogId = 11;
constexpr UCHAR kMicRecordId = 8;
constexpr UCHAR kLineRecordId = 15;
constexpr UCHAR kSpdifInputId = 16;
constexpr UCHAR kMixRecordId = 2;

struct Output {
  PUCHAR Buffer;
  ULONG Size;   // the smaller of the work buffer and the original descriptor
  ULONG Used;
  bool Overflow;
  PUCHAR Append(const UCHAR* Bytes, ULONG Count) {
    if (Overflow || Count > Size - Used) {
      Overflow = true;
      return nullptr;
    }
    PUCHAR at = Buffer + Used;
    RtlCopyMemory(at, Bytes, Count);
    Used += Count;
    return at;
  }
};

}  // namespace

void DeriveChipASwitches(ChipASwitches* s) {
  if ((*s)[CHIPA_MIC_TERM]) {
    s->Set(CHIPA_MIX_REC, true);
    s->Set(CHIPA_MIC_AA, true);
    s->Set(CHIPA_MIC_REC, true);
  }
  if ((*s)[CHIPA_LINE_TERM]) {
    s->Set(CHIPA_MIX_REC, true);
    s->Set(CHIPA_LINE_REC, true);
    s->Set(CHIPA_LINE_AA, true);
  }
  if ((*s)[CHIPA_MIC_AA] || (*s)[CHIPA_LINE_AA]) s->Set(CHIPA_MIX_REC, true);
}

const char* ChipALayoutFault(const UCHAR* c, ULONG Length, PULONG Offset) {
  if (Offset) *Offset = 0;
  if (!c || Length < kChipALayoutBytes) return "shorter than the fixed layout's 509 bytes";
  for (const Piece& p : kPieces) {
    if (Offset) *Offset = p.Offset;
    const UCHAR* d = c + p.Offset;
    if (d[1] != p.Type) return "a piece of another descriptor type at a fixed offset";
    if (p.Type == kCsInterface && ((p.Subtype && d[2] != p.Subtype) || (p.Id && d[3] != p.Id)))
      return "a unit or terminal of another subtype or identifier at a fixed offset";
    if (p.Type == kInterfaceType && (d[0] < 9 || d[5] != adapter::kAudioClass || d[6] != p.Subtype))
      return "an interface of another class at a fixed offset";
    // The piece's descriptors end exactly where the next piece begins.
    ULONG at = 0;
    while (at < p.Length) {
      if (d[at] < 2) return "a descriptor with a length below 2 inside a piece";
      at += d[at];
    }
    if (at != p.Length) return "descriptors that do not end where the next piece begins";
  }
  if (Offset) *Offset = kAcInterfaceOffset;
  const UCHAR* control = c + kAcInterfaceOffset;
  if (control[1] != kInterfaceType || control[5] != adapter::kAudioClass ||
      control[6] != adapter::kAudioControlSubclass || c[kAcInterfaceOffset + 9] != kHeaderLength ||
      c[kAcInterfaceOffset + 10] != kCsInterface || c[kAcInterfaceOffset + 11] != AC_HEADER)
    return "no Audio Control interface and header at bytes 9 and 18";
  if (Offset) *Offset = 411 + kHighRateFormat;
  const UCHAR* format = c + 411 + kHighRateFormat;
  if (format[0] != kHighRateFormatBytes || format[1] != kCsInterface || format[2] != 2 || format[7] != 1)
    return "the last render setting has no one-rate format descriptor at its byte 16";
  if (Offset) *Offset = 0;
  return nullptr;
}

NTSTATUS TrimChipADescriptors(PUSB_CONFIGURATION_DESCRIPTOR Configuration, ChipASwitches* Switches, bool* Trimmed) {
  if (Trimmed) *Trimmed = false;
  if (!Configuration || !Switches) return STATUS_INVALID_PARAMETER;
  ChipASwitches& s = *Switches;
  DeriveChipASwitches(&s);

  auto* source = reinterpret_cast<PUCHAR>(Configuration);
  const ULONG total = Configuration->wTotalLength;
  ULONG faultOffset = 0;
  if (const char* fault = ChipALayoutFault(source, total, &faultOffset)) {
    DbgPrint("CChipAFunction::TrimChipADescriptors not trimmed, the descriptor is not chip A's fixed layout: %s "
             "(offset %u)\n", fault, faultOffset);
    return STATUS_SUCCESS;
  }

  auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, kChipATrimBufferBytes, kChipATag));
  if (!buffer) return STATUS_UNSUCCESSFUL;
  RtlZeroMemory(buffer, kChipATrimBufferBytes);
  if (s[CHIPA_OUT6] && s[CHIPA_OUT8]) {
    DbgPrint("CChipAFunction::TrimChipADescriptors both 6- and 8-channel output disabled\n");
    ExFreePoolWithTag(buffer, kChipATag);
    return STATUS_UNSUCCESSFUL;
  }

  const bool micAA = !s[CHIPA_MIC_AA], lineAA = !s[CHIPA_LINE_AA];
  const bool micRec = !s[CHIPA_MIC_REC], lineRec = !s[CHIPA_LINE_REC], spdif = !s[CHIPA_SPDIF_TERM],
             mixRec = !s[CHIPA_MIX_REC];
  const bool out8Off = s[CHIPA_OUT8];
  const ULONG records = micRec + lineRec + spdif + mixRec;
  // Without a record source the record output terminal would name the selector that is
  // left out: the record path (terminal and capture interface) goes as a whole, as it does
  // when every input terminal is disabled.
  const bool recordPath =
      !(s[CHIPA_MIC_TERM] && s[CHIPA_LINE_TERM] && s[CHIPA_SPDIF_TERM]) && records > 0;

  Output out{buffer, total < kChipATrimBufferBytes ? total : kChipATrimBufferBytes, 0, false};
  ULONG classBytes = 0;  // class-specific Audio Control descriptors written after the header
  for (const Piece& p : kPieces) {
    const UCHAR* d = source + p.Offset;
    const ULONG before = out.Used;
    switch (p.When) {
      case Rule::Always:
        out.Append(d, p.Length);
        break;
      case Rule::RenderInput:
        if (PUCHAR t = out.Append(d, p.Length); t && out8Off) {
          t[7] = 6;
          t[8] = 0x3F;
          t[9] = 0x00;
        }
        break;
      case Rule::MicTerm: if (!s[CHIPA_MIC_TERM]) out.Append(d, p.Length); break;
      case Rule::MicRec: if (micRec) out.Append(d, p.Length); break;
      case Rule::MicAA: if (micAA) out.Append(d, p.Length); break;
      case Rule::LineTerm: if (!s[CHIPA_LINE_TERM]) out.Append(d, p.Length); break;
      case Rule::LineRec: if (lineRec) out.Append(d, p.Length); break;
      case Rule::LineAA: if (lineAA) out.Append(d, p.Length); break;
      case Rule::SpdifTerm: if (spdif) out.Append(d, p.Length); break;
      case Rule::MixRec: if (mixRec) out.Append(d, p.Length); break;
      case Rule::StereoMix: if (mixRec && micAA && lineAA) out.Append(d, p.Length); break;
      case Rule::Out8: if (!s[CHIPA_OUT8]) out.Append(d, p.Length); break;
      case Rule::Out2: if (!s[CHIPA_OUT2]) out.Append(d, p.Length); break;
      case Rule::Out4: if (!s[CHIPA_OUT4]) out.Append(d, p.Length); break;
      case Rule::Out6: if (!s[CHIPA_OUT6]) out.Append(d, p.Length); break;
      case Rule::Capture: if (recordPath) out.Append(d, p.Length); break;
      case Rule::Mixer: {
        if (!micAA && !lineAA) break;
        const ULONG inputs = 1 + micAA + lineAA;
        const ULONG channels = out8Off ? 6 : 8;
        // One bit per input channel and output channel: the render input's channels and
        // two per analog input, into `channels` outputs.
        const ULONG controlBytes = (channels * (channels + 2 * (inputs - 1)) + 7) / 8;
        UCHAR mixer[kMixerMaxBytes] = {};
        const ULONG length = 10 + inputs + controlBytes;
        static_assert(10 + 3 + (8 * (8 + 4) + 7) / 8 <= kMixerMaxBytes);
        RtlCopyMemory(mixer, d, 4);
        mixer[0] = static_cast<UCHAR>(length);
        mixer[4] = static_cast<UCHAR>(inputs);
        ULONG at = 5;
        mixer[at++] = kRenderInputId;
        if (micAA) mixer[at++] = kMicAnalogId;
        if (lineAA) mixer[at++] = kLineAnalogId;
        mixer[at++] = static_cast<UCHAR>(channels);
        mixer[at++] = 0x3F;
        mixer[at++] = out8Off ? 0x00 : 0x06;
        // iChannelNames, bmControls and iMixer stay zero.
        out.Append(mixer, length);
        break;
      }
      case Rule::RenderFeature: {
        PUCHAR t = out.Append(d, out8Off ? 14 : p.Length);
        if (!t) break;
        if (!micAA && !lineAA) t[4] = kRenderInputId;
        if (out8Off) {
          t[0] = 14;
          t[13] = 0;
        }
        break;
      }
      case Rule::RecordOutput: {
        if (!recordPath) break;
        PUCHAR t = out.Append(d, p.Length);
        if (!t || records >= 2) break;
        // The one source left feeds the terminal directly.
        if (micRec) t[7] = kMicRecordId;
        if (lineRec) t[7] = kLineRecordId;
        if (spdif) t[7] = kSpdifInputId;
        if (mixRec) t[7] = kMixRecordId;
        break;
      }
      case Rule::Selector: {
        if (records < 2) break;
        UCHAR selector[10] = {};
        RtlCopyMemory(selector, d, 4);
        selector[0] = static_cast<UCHAR>(records + 6);
        selector[4] = static_cast<UCHAR>(records);
        ULONG at = 5;
        if (micRec) selector[at++] = kMicRecordId;
        if (lineRec) selector[at++] = kLineRecordId;
        if (spdif) selector[at++] = kSpdifInputId;
        if (mixRec) selector[at++] = kMixRecordId;
        out.Append(selector, records + 6);
        break;
      }
      case Rule::HighRateAlt: {
        PUCHAR t = out.Append(d, p.Length);
        if (!t) break;
        t[kHighRateFormat + 8] = 0x00;  // 96000 Hz
        t[kHighRateFormat + 9] = 0x77;
        t[kHighRateFormat + 10] = 0x01;
        break;
      }
    }
    if (p.Offset >= 28 && p.Offset < 218) classBytes += out.Used - before;
  }
  if (out.Overflow) {
    // Cannot happen with the layout checked above: every piece is at most as long as the
    // one it replaces.
    DbgPrint("CChipAFunction::TrimChipADescriptors output would pass the original descriptor\n");
    ExFreePoolWithTag(buffer, kChipATag);
    return STATUS_UNSUCCESSFUL;
  }
  const ULONG acTotal = kHeaderLength + classBytes;
  buffer[kHeaderTotalOffset] = static_cast<UCHAR>(acTotal);
  buffer[kHeaderTotalOffset + 1] = static_cast<UCHAR>(acTotal >> 8);
  buffer[2] = static_cast<UCHAR>(out.Used);
  buffer[3] = static_cast<UCHAR>(out.Used >> 8);
  RtlCopyMemory(source, buffer, out.Used);
  ExFreePoolWithTag(buffer, kChipATag);
  if (Trimmed) *Trimmed = true;
  return STATUS_SUCCESS;
}

}  // namespace uac
