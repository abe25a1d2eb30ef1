// The UAC 1.0 function's device quirks: one table of rows over the root layer's match
// rule, and the model families whose probe reads vendor registers. The function looks its
// device up when it is created and again once the probe has read the registers.
#pragma once

#include "adapter/device_quirks.h"

namespace uac {

enum Uac1Quirk : ULONG {
  // The probe accepts the device: without a model string (refused otherwise, with the
  // status of the string read), or with a register value its family names.
  QUIRK_PROBE_ACCEPTED = 1u << 0,
  // Output terminal 16 of type speaker is a headphone jack; the descriptor says speaker.
  QUIRK_HEADPHONE_TERMINAL_16 = 1u << 1,
  // The build fails unless entities 16 and 64 are output terminals.
  QUIRK_OUTPUT_TERMINALS_16_AND_64 = 1u << 2,
  // S/PDIF endpoints get the capability template like any other (otherwise their record
  // is empty), and capture microphone records carry kCaptureMicCapability.
  QUIRK_SPDIF_RECORD = 1u << 3,
  QUIRK_CAPTURE_MIC_BIT = 1u << 4,
  // Chip class C: output terminal 6 of type speaker is a headphone jack.
  QUIRK_HEADPHONE_TERMINAL_6 = 1u << 5,
  // Every record's second value is 0, whatever the template holds.
  QUIRK_NO_SECOND_VALUE = 1u << 6,
};

inline constexpr ULONG kCaptureMicCapability = 0x800000;

// Which vendor registers a model family's probe reads.
enum class ProbeRegisters : UCHAR {
  ModelRegister,  // one byte: request 0x02, value 0x0051; the probe value is the byte
  ChipRegisters,  // request 0x00, values 0x001A (low byte) and 0x0020 (high byte)
};

struct ModelProbe {
  const char16_t* Prefix;
  ProbeRegisters Registers;
  // A register value no row accepts refuses the device (STATUS_UNSUCCESSFUL).
  bool AcceptedValuesOnly;
};

const adapter::DeviceQuirk* Uac1QuirkTable(ULONG* Count);
// The family whose prefix the model string starts with; null for none (or no string).
const ModelProbe* FindModelProbe(const char16_t* Model, ULONG Units);

}  // namespace uac
