// Bound terminal nodes: the mixer and the input and output terminal nodes of a device's
// units, whose kinds and jacks follow the terminal they were made from.
#pragma once

#include "adapter/audio_hal.h"
#include "adapter/capability_record.h"
#include "adapter/stream_engine.h"
#include "uac/bound_node_values.h"
#include "uac/control_nodes.h"
#include "uac/terminal_nodes.h"
#include "uac/unit_interfaces.h"

namespace uac {

// ---------------------------------------------------------------------------------------
// Mixer

class CUacMixerNode : public CMixerNode {
 public:
  CUacMixerNode(PUNKNOWN outerUnknown, ULONG id) : CMixerNode(outerUnknown, id) {}
  NTSTATUS InitUacMixerNode(PUNKNOWN Unit);
};

// ---------------------------------------------------------------------------------------
// Terminal nodes

class CUacInputTerminalNode : public CInputTerminalNode {
 public:
  CUacInputTerminalNode(PUNKNOWN outerUnknown, ULONG id) : CInputTerminalNode(outerUnknown, id), m_pTerminal(nullptr) {}
  NTSTATUS InitUacInputTerminalNode(PUNKNOWN Terminal, const adapter::EndpointCapabilityRecord& Record);
  STDMETHODIMP RefreshFromDevice() override;

 protected:
  PUNKNOWN m_pTerminal;
};

class CUacOutputTerminalNode : public COutputTerminalNode {
 public:
  CUacOutputTerminalNode(PUNKNOWN outerUnknown, ULONG id, ULONG kindIndex)
      : COutputTerminalNode(outerUnknown, id), m_pTerminal(nullptr), m_nKindIndex(kindIndex) {}
  NTSTATUS InitUacOutputTerminalNode(PUNKNOWN Terminal, const adapter::EndpointCapabilityRecord& Record);
  STDMETHODIMP RefreshFromDevice() override;

 protected:
  PUNKNOWN m_pTerminal;
  ULONG m_nKindIndex;
};

}  // namespace uac
