// The UAC 1.0 input and output terminals: the terminal nodes of a path's ends, their
// endpoint kinds by terminal type, the maker's jack lists and, for an output terminal with
// several selectable types, the terminal-kind node.
#pragma once

#include "adapter/node_interfaces.h"
#include "uac/terminal_types.h"
#include "uac/uac_unit.h"

namespace uac {

// The maker's request for a terminal's selectable types.
inline constexpr UCHAR kGetSelectableTypes = 0x86;

// Colour of a jack by bits 12-15 of its configuration word (0x00RRGGBB).
extern const ULONG JackColorTable[16];
// A jack record from one entry of the maker's jack list.
adapter::JackRecord JackRecordFromWord(ULONG ChannelMapping, ULONG ConfigurationWord);

class CUac1InputTerminal : public adapter::ITerminalNode, public CUacUnit {
 public:
  // `poolTag`: the class version's tag for the terminal's own blocks (jack records).
  CUac1InputTerminal(PUNKNOWN outerUnknown, ULONG id, ULONG poolTag = kUac1PoolTag);
  ~CUac1InputTerminal() override;

  DECLARE_STD_UNKNOWN();

  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;
  STDMETHODIMP HandleStatusChange(ULONG Reserved1, ULONG Reserved2, PULONG NodeId) override;

  // ITerminalNode
  STDMETHODIMP GetKind(PULONG Kind) override;
  STDMETHODIMP GetKindCount(PULONG Count) override;
  STDMETHODIMP GetKinds(PULONG Kinds) override;
  STDMETHODIMP SetKind(ULONG Kind) override;
  STDMETHODIMP GetState(PULONG JackCount, ULONG KindIndex) override;
  STDMETHODIMP GetJackDescriptions(ULONG Size, PVOID Buffer, ULONG KindIndex) override;
  STDMETHODIMP GetJackInfo(adapter::EndpointCapabilityRecord*) override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS CreateControls(adapter::CAudioHal* Function);

  USHORT TerminalType() const;
  // A vendor request to the terminal (the maker's jack and terminal-type requests).
  NTSTATUS Vendor(bool Read, UCHAR Request, USHORT Value, PVOID Buffer, ULONG Length, PULONG Transferred);

 protected:
  ULONG m_nJackCount;
  adapter::PJACKRECORD m_pJacks;  // non-paged, m_nPoolTag
  ULONG m_nPoolTag;
};

class CUac1OutputTerminal : public adapter::ITerminalNode, public CUacUnit {
 public:
  // `poolTag`: the class version's tag for the terminal's own blocks (kinds, jack lists).
  CUac1OutputTerminal(PUNKNOWN outerUnknown, ULONG id, ULONG poolTag = kUac1PoolTag);
  ~CUac1OutputTerminal() override;

  DECLARE_STD_UNKNOWN();

  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;
  STDMETHODIMP HandleStatusChange(ULONG Reserved1, ULONG Reserved2, PULONG NodeId) override;

  // ITerminalNode
  STDMETHODIMP GetKind(PULONG Kind) override;
  STDMETHODIMP GetKindCount(PULONG Count) override;
  STDMETHODIMP GetKinds(PULONG Kinds) override;
  // Switches the device to the kind's terminal type, saves the kind and refreshes the
  // terminal's nodes; a kind not listed: STATUS_UNSUCCESSFUL.
  STDMETHODIMP SetKind(ULONG Kind) override;
  STDMETHODIMP GetState(PULONG JackCount, ULONG KindIndex) override;
  STDMETHODIMP GetJackDescriptions(ULONG Size, PVOID Buffer, ULONG KindIndex) override;
  STDMETHODIMP GetJackInfo(adapter::EndpointCapabilityRecord*) override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS CreateControls(adapter::CAudioHal* Function);

  USHORT TerminalType() const;
  NTSTATUS Vendor(bool Read, UCHAR Request, USHORT Value, PVOID Buffer, ULONG Length, PULONG Transferred);

 protected:
  void FreeKinds();
  NTSTATUS ReadSelectableTypes();
  NTSTATUS WriteTerminalType(USHORT Type);
  void SaveKind(ULONG Kind);

  PDEVICE_OBJECT m_pDeviceObject;
  ULONG m_nCurrentKind;
  ULONG m_nKindCount;
  ULONG m_nPoolTag;
  PULONG m_pKinds;                  // non-paged, m_nPoolTag
  PUSHORT m_pTerminalTypes;         // non-paged, m_nPoolTag
  PULONG m_pJackCounts;             // non-paged, m_nPoolTag
  adapter::PJACKRECORD* m_ppJacks;  // non-paged, m_nPoolTag
};

}  // namespace uac
