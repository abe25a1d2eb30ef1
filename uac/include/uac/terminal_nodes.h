// Terminal nodes: the input terminal at the start of a capture path and the output
// terminal at the end of a render path, with their endpoint kinds (EndpointType values),
// their jacks and the endpoint's capability record; and the mixer, which can stand as
// the "StereoMix" source terminal of a capture path.
#pragma once

#include "adapter/capability_record.h"
#include "adapter/node_interfaces.h"
#include "adapter/uac_entity.h"
#include "uac/control_interfaces.h"

namespace uac {

inline constexpr ULONG kTerminalPoolTag = MakePoolTag('T', 'e', 'r', 'T');
inline constexpr ULONG kMaxTerminalKinds = 5;

class CTerminalNode : public adapter::ITerminalNode, public adapter::CUacEntity {
 public:
  CTerminalNode(PUNKNOWN outerUnknown, ULONG id, ULONG type);
  ~CTerminalNode() override;

  DECLARE_STD_UNKNOWN();

  STDMETHODIMP GetKind(PULONG Kind) override;
  STDMETHODIMP GetKindCount(PULONG Count) override;
  STDMETHODIMP GetKinds(PULONG Kinds) override;
  // Only a kind of the node's list.
  STDMETHODIMP SetKind(ULONG Kind) override;
  STDMETHODIMP GetState(PULONG JackCount, ULONG KindIndex) override;
  STDMETHODIMP GetJackDescriptions(ULONG Size, PVOID Buffer, ULONG KindIndex) override;
  STDMETHODIMP GetJackInfo(adapter::EndpointCapabilityRecord* Record) override;

  // The record the function returned for this terminal's endpoint.
  void SetCapabilityRecord(const adapter::EndpointCapabilityRecord& Record) { m_CapabilityRecord = Record; }

 protected:
  // Copies 1 to 5 kinds (the first becomes current) and the jack records; all or nothing.
  NTSTATUS InitLists(ULONG KindCount, const ULONG* Kinds, ULONG JackCount, const adapter::JackRecord* Jacks);

  ULONG m_nKindCount;
  PULONG m_pKinds;  // paged
  ULONG m_nCurrentKind;
  ULONG m_nJackCount;
  adapter::EndpointCapabilityRecord m_CapabilityRecord;
  adapter::PJACKRECORD m_pJacks;  // paged
};

class CInputTerminalNode : public CTerminalNode {
 public:
  CInputTerminalNode(PUNKNOWN outerUnknown, ULONG id)
      : CTerminalNode(outerUnknown, id, adapter::NODE_INPUT_TERMINAL) {}
  // No sources.
  NTSTATUS InitTerminal(ULONG KindCount, const ULONG* Kinds, ULONG JackCount, const adapter::JackRecord* Jacks);
};

class COutputTerminalNode : public CTerminalNode {
 public:
  COutputTerminalNode(PUNKNOWN outerUnknown, ULONG id)
      : CTerminalNode(outerUnknown, id, adapter::NODE_OUTPUT_TERMINAL) {}
  // One source.
  NTSTATUS InitTerminal(ULONG SourceId, ULONG KindCount, const ULONG* Kinds, ULONG JackCount,
                        const adapter::JackRecord* Jacks);
};

// In terminal mode the mixer reports type 0 and no sources and answers ITerminalNode;
// out of it, type 5 and the sources it keeps.
class CMixerNode : public IMixerNode, public CTerminalNode {
 public:
  CMixerNode(PUNKNOWN outerUnknown, ULONG id);

  DECLARE_STD_UNKNOWN();

  STDMETHODIMP SetTerminalMode(UCHAR On) override;
  // Makes the mixer a one-kind "StereoMix" terminal with one always-connected jack, and
  // keeps its sources. No memory: STATUS_INSUFFICIENT_RESOURCES, with neither the
  // terminal lists nor the sources kept.
  NTSTATUS InitMixerTerminal(ULONG Count, const ULONG* Sources);

 protected:
  UCHAR m_bTerminalMode;
  ULONG m_nSavedSourceCount;
};

}  // namespace uac
