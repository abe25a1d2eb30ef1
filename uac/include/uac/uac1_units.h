// The five UAC 1.0 units: feature unit, input and output terminals, mixer and selector.
// Each turns its class-specific descriptor into bound control nodes and answers the
// nodes' device operations with USB Audio Class 1.0 class requests and the maker's
// vendor requests on the Audio Control interface.
//
// Wire scaling: two-byte levels are signed 1/256 dB (0x8000 is minus infinity), one-byte
// levels (bass, mid, treble) signed 1/4 dB; on/off values are one byte.
#pragma once

#include "adapter/node_interfaces.h"
#include "uac/terminal_types.h"
#include "uac/uac_unit.h"

namespace uac {

// Feature-unit control selectors.
enum Uac1FeatureSelector : ULONG {
  FU_MUTE = 1,
  FU_VOLUME = 2,
  FU_BASS = 3,
  FU_MID = 4,
  FU_TREBLE = 5,
  FU_EQUALIZER = 6,
  FU_AGC = 7,
  FU_DELAY = 8,
  FU_BASS_BOOST = 9,
  FU_LOUDNESS = 10,
  FU_VENDOR_EFFECT_1 = 0x8B,
  FU_VENDOR_EFFECT_2 = 0x8C,
};

// Class request codes, and the maker's request for a terminal's selectable types.
using adapter::kGetCur;
using adapter::kGetMax;
using adapter::kGetMem;
using adapter::kGetMin;
using adapter::kGetRes;
using adapter::kSetCur;
inline constexpr UCHAR kGetSelectableTypes = 0x86;

// Colour of a jack by bits 12-15 of its configuration word (0x00RRGGBB).
extern const ULONG JackColorTable[16];
// A jack record from one entry of the maker's jack list.
adapter::JackRecord JackRecordFromWord(ULONG ChannelMapping, ULONG ConfigurationWord);

// The maker's vendor control block of a feature unit, read with GET_MEM: total length at
// bytes 16-17, bitmap size at byte 18, one bitmap per channel (master first) from 19.
inline constexpr ULONG kVendorBlockHeader = 19;

class CUac1FeatureUnit : public IUacBoolControlSource, public IUacLevelControlSource, public CUacUnit {
 public:
  CUac1FeatureUnit(PUNKNOWN outerUnknown, ULONG id);
  ~CUac1FeatureUnit() override;

  DECLARE_STD_UNKNOWN();

  // Refuses a descriptor shorter than 7 bytes or with bControlSize 0; reads the vendor
  // block (its failure leaves none), creates the controls and chains them.
  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;

  // IUacBoolControlSource
  STDMETHODIMP GetCur(ULONG Selector, ULONG Channel, PUCHAR Value) override;
  STDMETHODIMP SetCur(ULONG Selector, ULONG Channel, UCHAR Value) override;
  STDMETHODIMP GetChannelCount(ULONG Selector, PULONG Count) override;
  STDMETHODIMP CreateControls(adapter::CAudioHal* Function) override;
  // IUacLevelControlSource
  STDMETHODIMP GetCur(ULONG Selector, ULONG Channel, PLONG Level) override;
  STDMETHODIMP SetCur(ULONG Selector, ULONG Channel, LONG Level) override;
  STDMETHODIMP GetRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Step) override;

  // Whether the master or any logical channel has the control.
  bool HasControl(ULONG Selector) const;
  // bmaControls entries of the descriptor (master included): (bLength - 7) / bControlSize.
  ULONG EntryCount() const;
  bool HasVendorBlock() const { return m_pVendorBlock != nullptr; }

 protected:
  bool HasControlOn(ULONG Selector, ULONG DeviceChannel) const;
  // Node channel to device channel (the master, a logical channel, the 5/6 <-> 7/8 swap).
  NTSTATUS DeviceChannel(ULONG Selector, ULONG Channel, PULONG DeviceChannel);
  NTSTATUS ReadVendorBlock();
  NTSTATUS Request(UCHAR Request, ULONG Selector, ULONG DeviceChannel, bool Read, PVOID Buffer, ULONG Length);

  PUCHAR m_pVendorBlock;  // non-paged, kUac1PoolTag
  ULONG m_nVendorBlockLength;
};

class CUac1InputTerminal : public adapter::ITerminalNode, public CUacUnit {
 public:
  CUac1InputTerminal(PUNKNOWN outerUnknown, ULONG id);
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
  adapter::PJACKRECORD m_pJacks;  // non-paged, kUac1PoolTag
};

class CUac1OutputTerminal : public adapter::ITerminalNode, public CUacUnit {
 public:
  CUac1OutputTerminal(PUNKNOWN outerUnknown, ULONG id);
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
  PULONG m_pKinds;                  // non-paged, kUac1PoolTag
  PUSHORT m_pTerminalTypes;         // non-paged, kUac1PoolTag
  PULONG m_pJackCounts;             // non-paged, kUac1PoolTag
  adapter::PJACKRECORD* m_ppJacks;  // non-paged, kUac1PoolTag
};

class CUac1MixerUnit : public CUacUnit {
 public:
  CUac1MixerUnit(PUNKNOWN outerUnknown, ULONG id) : CUacUnit(outerUnknown, id, AC_MIXER_UNIT) {}
  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;
  STDMETHODIMP HandleStatusChange(ULONG Reserved1, ULONG Reserved2, PULONG NodeId) override;
  NTSTATUS CreateControls(adapter::CAudioHal* Function);
};

class CUac1SelectorUnit : public adapter::ISelectorNode, public CUacUnit {
 public:
  CUac1SelectorUnit(PUNKNOWN outerUnknown, ULONG id) : CUacUnit(outerUnknown, id, AC_SELECTOR_UNIT) {}

  DECLARE_STD_UNKNOWN();

  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;
  STDMETHODIMP HandleStatusChange(ULONG Reserved1, ULONG Reserved2, PULONG NodeId) override;

  // ISelectorNode: inputs 1 to bNrInPins.
  STDMETHODIMP GetSelected(PULONG Input) override;
  STDMETHODIMP SetSelected(ULONG Input) override;
  STDMETHODIMP GetInputCount(PULONG Count) override;
  STDMETHODIMP AddInput(adapter::IStreamLink*) override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS CreateControls(adapter::CAudioHal* Function);
};

}  // namespace uac
