#include "uac/descriptor_rules.h"

namespace uac {
namespace {

// Everything a builder or a unit class reads of each descriptor. Versions: 0 is Audio
// Class 1.0, 0x20 is 2.0. Descriptors the builders refuse outright (processing and
// extension units of 1.0, the 2.0 effect, processing and sample-rate converter units) and
// the skipped headers have no rule. The 2.0 clock selector and multiplier are judged
// although the builder refuses them, so a cycle of clock edges is named as such.
constexpr LengthRule kRules[] = {
    // Protocol      Subtype              Base Count Per Size Src SrcCount Clock
    {kProtocolUac1, AC_INPUT_TERMINAL, 12, 0, 0, 0, 0, 0, 0},
    {kProtocolUac1, AC_OUTPUT_TERMINAL, 9, 0, 0, 0, 7, 0, 0},
    {kProtocolUac1, AC_MIXER_UNIT, 10, 4, 1, 0, 5, 4, 0},     // 10 + p (bmControls may be absent)
    {kProtocolUac1, AC_SELECTOR_UNIT, 6, 4, 1, 0, 5, 4, 0},   // 6 + p
    {kProtocolUac1, AC_FEATURE_UNIT, 7, 0, 0, 5, 4, 0, 0},    // 7 + n: the master controls at least
    {kProtocolUac2, AC_INPUT_TERMINAL, 17, 0, 0, 0, 0, 0, 7},
    {kProtocolUac2, AC_OUTPUT_TERMINAL, 12, 0, 0, 0, 7, 0, 8},
    {kProtocolUac2, AC_MIXER_UNIT, 13, 4, 1, 0, 5, 4, 0},     // 13 + p (bmMixerControls may be absent)
    {kProtocolUac2, AC_SELECTOR_UNIT, 7, 4, 1, 0, 5, 4, 0},   // 7 + p
    {kProtocolUac2, AC_FEATURE_UNIT, 10, 0, 0, 0, 4, 0, 0},   // 6 + 4: the master controls at least
    {kProtocolUac2, AC2_EXTENSION_UNIT, 15, 6, 1, 0, 7, 6, 0},  // 15 + p
    {kProtocolUac2, AC2_CLOCK_SOURCE, 8, 0, 0, 0, 0, 0, 0},
    {kProtocolUac2, AC2_CLOCK_SELECTOR, 7, 4, 1, 0, 5, 4, 0},   // 7 + p clock inputs
    {kProtocolUac2, AC2_CLOCK_MULTIPLIER, 7, 0, 0, 0, 4, 0, 0},  // one clock input
};

constexpr ULONG kIds = 256;

void Report(DescriptorFault* fault, ULONG offset, UCHAR subtype, UCHAR id, const char* reason) {
  if (fault) *fault = {offset, subtype, id, reason};
}

// Source identifiers of a descriptor that passed its rule: its unit (or clock) inputs,
// then the clock that clocks it.
ULONG UnitSourceCount(const LengthRule& rule, const UCHAR* d) {
  if (!rule.SourceOffset) return 0;
  return rule.SourceCountOffset ? d[rule.SourceCountOffset] : 1;
}
ULONG SourceCount(const LengthRule& rule, const UCHAR* d) {
  return UnitSourceCount(rule, d) + (rule.ClockOffset ? 1 : 0);
}
UCHAR SourceAt(const LengthRule& rule, const UCHAR* d, ULONG i) {
  const ULONG units = UnitSourceCount(rule, d);
  return i < units ? d[rule.SourceOffset + i] : d[rule.ClockOffset];
}

}  // namespace

const LengthRule* FindLengthRule(UCHAR Protocol, UCHAR Subtype) {
  for (const LengthRule& rule : kRules)
    if (rule.Protocol == Protocol && rule.Subtype == Subtype) return &rule;
  return nullptr;
}

ULONG RequiredLength(const LengthRule& Rule, const UCHAR* Descriptor) {
  ULONG length = Rule.Base;
  if (Rule.CountOffset) length += ULONG{Descriptor[Rule.CountOffset]} * Rule.PerCount;
  if (Rule.SizeOffset) length += Descriptor[Rule.SizeOffset];
  return length;
}

RuleBreach CheckLengthRule(const LengthRule& Rule, const UCHAR* Descriptor, ULONG Length) {
  if (Length < Rule.Base) return RuleBreach::ShortFixedFields;
  if (Rule.SizeOffset && Descriptor[Rule.SizeOffset] == 0) return RuleBreach::ZeroElementSize;
  if (Length < RequiredLength(Rule, Descriptor)) return RuleBreach::ShortForCounts;
  return RuleBreach::None;
}

NTSTATUS ValidateControlDescriptors(const USB_INTERFACE_DESCRIPTOR* ControlInterface, ULONG Bytes, UCHAR Protocol,
                                    DescriptorFault* Fault) {
  if (Fault) *Fault = {};
  if (!ControlInterface || Bytes < sizeof(USB_INTERFACE_DESCRIPTOR)) {
    Report(Fault, 0, 0, 0, "Audio Control interface descriptor missing or short");
    return STATUS_INVALID_PARAMETER;
  }
  const auto* base = reinterpret_cast<const UCHAR*>(ControlInterface);

  // Offset of the last descriptor of each ID that has a rule (the later of two with the
  // same ID is the one the builders find); 0: none.
  ULONG last[kIds] = {};
  ULONG offset = sizeof(USB_INTERFACE_DESCRIPTOR);
  while (offset < Bytes) {
    const UCHAR* d = base + offset;
    const ULONG left = Bytes - offset;
    if (left < 2) {
      Report(Fault, offset, 0, 0, "descriptor cut off after its length byte");
      return STATUS_UNSUCCESSFUL;
    }
    const ULONG length = d[0];
    if (length < 2) {
      Report(Fault, offset, 0, 0, "bLength below 2");
      return STATUS_UNSUCCESSFUL;
    }
    if (length > left) {
      Report(Fault, offset, length >= 3 && left >= 3 ? d[2] : 0, 0, "bLength runs past the configuration");
      return STATUS_UNSUCCESSFUL;
    }
    if (d[1] != kAcDescriptorType) break;  // the builders' walk ends here
    if (length < 3) {
      Report(Fault, offset, 0, 0, "class-specific descriptor without a subtype");
      return STATUS_UNSUCCESSFUL;
    }
    const UCHAR subtype = d[2];
    if (const LengthRule* rule = FindLengthRule(Protocol, subtype)) {
      switch (CheckLengthRule(*rule, d, length)) {
        case RuleBreach::None:
          break;
        case RuleBreach::ShortFixedFields:
          Report(Fault, offset, subtype, 0, "shorter than its fixed fields");
          return STATUS_UNSUCCESSFUL;
        case RuleBreach::ZeroElementSize:
          Report(Fault, offset, subtype, d[3], "element size of zero");
          return STATUS_UNSUCCESSFUL;
        case RuleBreach::ShortForCounts:
          Report(Fault, offset, subtype, d[3], "shorter than its counts ask");
          return STATUS_UNSUCCESSFUL;
      }
      last[d[3]] = offset;
    }
    offset += length;
  }

  // Depth-first over the source graph with three colours: meeting an entity that is
  // still on the path is a cycle; meeting a finished one is a diamond (two paths that
  // join) and is fine. Sources naming no entity are left out, as the builders do.
  UCHAR colour[kIds] = {};  // 0 unvisited, 1 on the path, 2 done
  struct Frame {
    UCHAR Id;
    UCHAR Next;
  };
  Frame stack[kIds];
  for (ULONG root = 0; root < kIds; ++root) {
    if (!last[root] || colour[root]) continue;
    ULONG depth = 0;
    stack[depth++] = {static_cast<UCHAR>(root), 0};
    colour[root] = 1;
    while (depth) {
      Frame& top = stack[depth - 1];
      const UCHAR* d = base + last[top.Id];
      const LengthRule& rule = *FindLengthRule(Protocol, d[2]);
      if (top.Next >= SourceCount(rule, d)) {
        colour[top.Id] = 2;
        --depth;
        continue;
      }
      const UCHAR source = SourceAt(rule, d, top.Next++);
      if (!last[source] || colour[source] == 2) continue;
      if (colour[source] == 1) {
        Report(Fault, last[top.Id], d[2], top.Id, "unit sources form a cycle");
        return STATUS_UNSUCCESSFUL;
      }
      colour[source] = 1;
      stack[depth++] = {source, 0};  // at most one frame per ID: depth stays below 256
    }
  }
  return STATUS_SUCCESS;
}

}  // namespace uac
