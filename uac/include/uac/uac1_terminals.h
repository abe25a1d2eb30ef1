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

// How a class version reads a terminal's jack list: a count byte, then that many
// {channel mapping, configuration word} pairs of four bytes each, little-endian.
struct JackListForm {
  // One read of the list (the count alone, or the whole list) into the buffer.
  NTSTATUS (*Read)(CUacUnit& Unit, PVOID Buffer, ULONG Length, PULONG Got);
  // The tag of the list buffer and of the records.
  ULONG PoolTag;
  // Whether a failed read of the count is the result; otherwise the terminal has no list.
  bool CountReadRequired;
  // Whether the connector read alone decides presence (records without presence detection).
  bool PresenceFromConnector;
};

// Reads a terminal's jack list in the given form. Only the entries the device actually
// sent are kept (at most the count it announced); a device that announces none has no
// list (success, no records); a failing read of the list itself, or no memory, is the
// result. The records are non-paged, under the form's tag.
NTSTATUS ReadJackRecords(CUacUnit& Unit, const JackListForm& Form, adapter::PJACKRECORD* Jacks, PULONG Count);

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
  // Creates the terminal's input terminal node with the capture capabilities of its kind.
  NTSTATUS CreateTerminalNode(adapter::CAudioHal* Function);

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
  // The per-kind arrays for Count kinds, under the terminal's tag; jack counts and jack
  // lists zeroed. No memory: all freed, STATUS_INSUFFICIENT_RESOURCES.
  NTSTATUS AllocateKindArrays(ULONG Count);
  // Whether the terminal has jacks and selectable types to ask the device about (not a
  // streaming terminal; the class version may ask for more).
  virtual bool HasJackConnector() const;
  // The terminal type the device is switched to; a failed or short answer names none.
  virtual NTSTATUS ReadTerminalType(PUSHORT Type);
  // The types the device can switch this terminal between, set with SetKinds.
  virtual NTSTATUS ReadSelectableTypes();
  // The kind arrays for the types, and each type's jack list read in the class version's
  // form with the device switched to it when there are several; a failed read refuses
  // with the words given.
  NTSTATUS SetKinds(const USHORT* Types, ULONG Count, const JackListForm& Form, const char* JackListRefusal);
  // Switches the device to a terminal type, in the class version's request form.
  virtual NTSTATUS WriteTerminalType(USHORT Type);
  // The kind saved for this terminal; false when none could be read (Kind unchanged).
  bool ReadSavedKind(PULONG Kind);
  void SaveKind(ULONG Kind);
  // Makes Current the current kind, or, when the terminal does not list it, its own kind,
  // then its first; switches the device to it when there are several.
  void SelectCurrentKind(ULONG Current, ULONG OwnKind);
  // One output terminal node per kind from FirstId on, then a kind node when the terminal
  // has several kinds.
  NTSTATUS CreateKindNodes(adapter::CAudioHal* Function, ULONG FirstId);
  // The caller's copy of the jacks of a kind not in use: the device cannot be asked, so
  // the user's setting says whether they count as connected.
  void CopyIdleKindJacks(ULONG KindIndex, PVOID Buffer);

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
