// Validation of the Audio Control interface's class-specific descriptors, done once
// before any builder reads them: every descriptor the builders walk has a sane bLength
// that fits the bytes left, every field a builder reads lies inside its descriptor (one
// table of length rules per Audio Class version and subtype, including lengths that grow
// with counts inside the descriptor), and the unit source graph has no cycle. Descriptors
// the builders never read are not judged.
#pragma once

#include "adapter/audio_class.h"
#include "kernel/nt.h"
#include "usb/usb.h"

namespace uac {

// The class codes and Audio Control subtypes, shared with the root device layer.
using adapter::kAcDescriptorType;
using adapter::kAudioClass;
using adapter::kAudioControlSubclass;
using adapter::kAudioStreamingSubclass;
using adapter::kProtocolUac1;
using adapter::kProtocolUac2;
using enum adapter::AcSubtype;

// One length rule: a descriptor of this version and subtype needs at least
//   Base + (byte at CountOffset) * PerCount + (byte at SizeOffset)
// bytes; the count and size bytes must themselves lie within Base. A non-zero SizeOffset
// also requires that byte to be at least 1 (an element size of zero cannot be walked).
// Sources: the unit's source identifiers, one at SourceOffset, or the count at
// SourceCountOffset followed by that many from SourceOffset (0 offset: no sources), and
// the clock entity that clocks it at ClockOffset (0: none). Clock edges join the same
// graph as unit sources: the identifiers share one space.
struct LengthRule {
  UCHAR Protocol;
  UCHAR Subtype;
  UCHAR Base;
  UCHAR CountOffset;
  UCHAR PerCount;
  UCHAR SizeOffset;
  UCHAR SourceOffset;
  UCHAR SourceCountOffset;
  UCHAR ClockOffset;
};

// The rule of a version and subtype; null for descriptors no builder reads past byte 2.
const LengthRule* FindLengthRule(UCHAR Protocol, UCHAR Subtype);
// Bytes the rule asks of this descriptor (which must hold at least Base bytes).
ULONG RequiredLength(const LengthRule& Rule, const UCHAR* Descriptor);

// How a descriptor of `Length` bytes breaks its rule, if it does: the one check both the
// function's walk and a unit's Init apply.
enum class RuleBreach : UCHAR {
  None,
  ShortFixedFields,  // shorter than Base
  ZeroElementSize,   // the byte at SizeOffset is 0
  ShortForCounts,    // shorter than the counts inside it ask
};
RuleBreach CheckLengthRule(const LengthRule& Rule, const UCHAR* Descriptor, ULONG Length);

// What was wrong and where: the offset counts from the start of the Audio Control
// interface descriptor.
struct DescriptorFault {
  ULONG Offset;
  UCHAR Subtype;
  UCHAR Id;  // the unit or terminal ID when the fault is in the graph
  const char* Reason;
};

// Checks the class-specific descriptors that follow the 9-byte Audio Control interface
// descriptor, up to the first descriptor of another type, as the builders walk them.
// STATUS_UNSUCCESSFUL for a descriptor with bLength below 2, longer than the bytes left
// or shorter than its rule, and for a cycle in the source graph (a diamond is fine);
// STATUS_INVALID_PARAMETER for a null or short interface descriptor. `Fault` (optional)
// says which descriptor.
NTSTATUS ValidateControlDescriptors(const USB_INTERFACE_DESCRIPTOR* ControlInterface, ULONG Bytes, UCHAR Protocol,
                                    DescriptorFault* Fault);

}  // namespace uac
