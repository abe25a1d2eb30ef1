// What the driver makes of a terminal's wTerminalType: one table for both class versions
// (the terminal types are the same in each; a UAC 2.0 input terminal names one kind
// apart), giving the endpoint kind of an input terminal, the kind under which its capture
// record is asked for, the kind of an output terminal and the kind a status change
// reports, and whether the terminal has jacks.
#pragma once

#include "kernel/nt.h"

namespace uac {

struct TerminalTypeRow {
  USHORT First;  // the range of terminal types the row covers
  USHORT Last;
  ULONG InputKind;
  ULONG InputNodeKind;
  ULONG OutputKind;
  ULONG StatusKind;
  bool ReportsJacks;  // input terminals of the type report their jacks
};

// The row of a terminal type; types no row names get the default row (auxiliary input,
// line capture record, speaker output, no jacks).
const TerminalTypeRow& FindTerminalType(USHORT TerminalType);

// Endpoint kinds of a terminal type: the input terminal's own kind, the kind under which
// an input terminal's capture record is asked for, and the output terminal's kind.
ULONG InputTerminalKind(USHORT TerminalType);
// A UAC 2.0 input terminal's own kind: as above, except that a headset's input is named a
// handset, as the handset's is.
ULONG Uac2InputTerminalKind(USHORT TerminalType);
ULONG InputTerminalNodeKind(USHORT TerminalType);
ULONG OutputTerminalKind(USHORT TerminalType);
// The output kind map of status changes and of the chip-specific units (USB streaming: 1).
ULONG OutputTerminalStatusKind(USHORT TerminalType);
bool TerminalReportsJacks(USHORT TerminalType);

}  // namespace uac
