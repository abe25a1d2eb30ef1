// The input and output terminals of chip classes B and C: each makes exactly one terminal
// node (no jack list, no selectable terminal types, no terminal-kind node, nothing kept
// in "Settings"); everything else is the UAC 1.0 terminal's.
#pragma once

#include "uac/chip_bc_feature_units.h"
#include "uac/uac1_terminals.h"

namespace uac {

class CChipInputTerminal : public CUac1InputTerminal {
 public:
  CChipInputTerminal(PUNKNOWN outerUnknown, ULONG id, ULONG poolTag) : CUac1InputTerminal(outerUnknown, id, poolTag) {}
  // The UAC 1.0 terminal's checks and set-up with this class's one node.
  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;
  // No sources; one input terminal node with the capture record of its kind.
  NTSTATUS CreateSingleNode(adapter::CAudioHal* Function);
};

class CChipOutputTerminal : public CUac1OutputTerminal {
 public:
  CChipOutputTerminal(PUNKNOWN outerUnknown, ULONG id, ULONG poolTag)
      : CUac1OutputTerminal(outerUnknown, id, poolTag) {}
  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;
  // bSourceID as the source; one output terminal node (kind index 0) of the terminal
  // type's kind in the chip-specific map, with the render record of that kind.
  NTSTATUS CreateSingleNode(adapter::CAudioHal* Function);
};

template <ULONG Tag>
class CChipInputTerminalOf : public CChipInputTerminal {
 public:
  CChipInputTerminalOf(PUNKNOWN outerUnknown, ULONG id) : CChipInputTerminal(outerUnknown, id, Tag) {}
};
template <ULONG Tag>
class CChipOutputTerminalOf : public CChipOutputTerminal {
 public:
  CChipOutputTerminalOf(PUNKNOWN outerUnknown, ULONG id) : CChipOutputTerminal(outerUnknown, id, Tag) {}
};

using CChipBInputTerminal = CChipInputTerminalOf<kChipBTag>;
using CChipBOutputTerminal = CChipOutputTerminalOf<kChipBTag>;
using CChipCInputTerminal = CChipInputTerminalOf<kChipCTag>;
using CChipCOutputTerminal = CChipOutputTerminalOf<kChipCTag>;

}  // namespace uac
