// The UAC 2.0 units, terminals and clock sources of the Audio Control interface. Each
// reads and writes its controls with the 2.0 class requests (CUR, RANGE, MEM), creates
// the bound nodes for them, answers the source interfaces those nodes reach the device
// through and re-reads its state when the status worker reports a change.
//
// Wire scaling: two-byte levels are signed 1/256 dB (0x8000 is minus infinity), one-byte
// levels (bass, mid, treble) signed 1/4 dB; on/off values are one byte.
#pragma once

#include "adapter/node_interfaces.h"
#include "uac/control_interfaces.h"
#include "uac/feature_unit.h"
#include "uac/uac1_mixer_selector.h"
#include "uac/uac1_terminals.h"
#include "uac/uac_unit.h"

namespace uac {

// Every allocation of the 2.0 units.
inline constexpr ULONG kUac2PoolTag = MakePoolTag('U', 'A', '2', '0');

// The 2.0 class request codes; the direction comes from the transfer.
inline constexpr UCHAR kUac2Cur = 0x01;
inline constexpr UCHAR kUac2Range = 0x02;
inline constexpr UCHAR kUac2Mem = 0x03;

// 2.0 feature-unit control selectors beyond those of 1.0, and the maker's vendor ones.
inline constexpr ULONG FU2_INPUT_GAIN_PAD = 12;
inline constexpr ULONG FU2_VENDOR_VOLUME = 0x82;
inline constexpr ULONG FU2_VENDOR_SWITCH = 0x90;

// {E2FABFB5-CA88-4F28-AFF8-48505FDC234B}
KS_DEFINE_GUID(IID_IUacClockLink, 0xE2FABFB5, 0xCA88, 0x4F28, 0xAF, 0xF8, 0x48, 0x50, 0x5F, 0xDC, 0x23, 0x4B);

// The clock entity a terminal's samples run on.
struct IUacClockLink : IUnknown {
  STDMETHOD(GetClockSourceId)(PULONG Id) = 0;
};
using PUACCLOCKLINK = IUacClockLink*;

// The sampling-frequency control of a clock source: its discrete rates (RANGE), the
// current rate (CUR) and its validity. bmControls bits 1..0 say how far the host may
// program the frequency: a writable control is set (SET CUR); a read-only one offers the
// one rate it runs at and takes only that rate, without a request that would stall; an
// absent one takes any rate unasked, since the clock runs at what it runs at.
class CUac2ClockSource : public IUacClockSource, public CUacUnit {
 public:
  CUac2ClockSource(PUNKNOWN outerUnknown, ULONG id) : CUacUnit(outerUnknown, id, AC2_CLOCK_SOURCE) {}

  DECLARE_STD_UNKNOWN();

  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;

  // IUacClockSource. GetRates keeps only discrete subranges (minimum = maximum, no
  // resolution); a continuous one makes the result STATUS_INVALID_PARAMETER.
  STDMETHODIMP GetRates(PULONG Count, PULONG Rates) override;
  STDMETHODIMP GetRateCount(PULONG Count) override;
  STDMETHODIMP SetCurrentRate(ULONG Rate) override;
  STDMETHODIMP GetCurrentRate(PULONG Rate) override;
  STDMETHODIMP IsValid(PUCHAR Valid) override;
  STDMETHODIMP SetRates(ULONG, const ULONG*) override { return STATUS_NOT_SUPPORTED; }

 private:
  // The frequency control's field of bmControls: bit 0 readable, bit 1 host-programmable.
  ULONG FrequencyControl() const;
};

// Mixer (subtype 4) and extension (subtype 9) units: one mixer node each.
class CUac2MixerUnit : public CUacUnit {
 public:
  CUac2MixerUnit(PUNKNOWN outerUnknown, ULONG id, ULONG subtype = AC_MIXER_UNIT) : CUacUnit(outerUnknown, id, subtype) {}
  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;
};

class CUac2SelectorUnit : public CUac1SelectorUnit {
 public:
  CUac2SelectorUnit(PUNKNOWN outerUnknown, ULONG id) : CUac1SelectorUnit(outerUnknown, id) {}
  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;
  STDMETHODIMP GetSelected(PULONG Input) override;
  STDMETHODIMP SetSelected(ULONG Input) override;
};

class CUac2FeatureUnit : public CUacFeatureUnit {
 public:
  CUac2FeatureUnit(PUNKNOWN outerUnknown, ULONG id);

  // Reads the maker's vendor block (its failure leaves none), creates the controls and
  // chains them; a unit without mute creates nothing and fails.
  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;
  // Refreshes the node of the control the interrupt named and reports it.
  STDMETHODIMP HandleStatusChange(ULONG Selector, ULONG Channel, PULONG NodeId) override;

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
  bool HasControl(ULONG Selector) const override;
  // Logical channels of the descriptor (master excluded) and of the vendor block.
  ULONG ChannelCount() const;
  ULONG VendorChannelCount() const;

 protected:
  // The two-bit field of the selector on a channel (0: absent, bit 0 readable, bit 1
  // host-programmable).
  ULONG Field(ULONG Selector, ULONG Channel) const;
  NTSTATUS DeviceChannel(ULONG Selector, ULONG Channel, bool Write, PULONG DeviceChannel);
  NTSTATUS ReadVendorBlock();
  void NodeCreated(ULONG Selector, ULONG NodeId) override;

  static constexpr ULONG kMaxNodes = 10;
  struct NodeOfSelector {
    ULONG Selector;
    ULONG NodeId;
  };
  NodeOfSelector m_Nodes[kMaxNodes];
  ULONG m_nNodes;
};

class CUac2InputTerminal : public IUacClockLink, public CUac1InputTerminal {
 public:
  CUac2InputTerminal(PUNKNOWN outerUnknown, ULONG id) : CUac1InputTerminal(outerUnknown, id, kUac2PoolTag) {}

  DECLARE_STD_UNKNOWN();

  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;
  // The connector control (selector 2) of the master channel only.
  STDMETHODIMP HandleStatusChange(ULONG Selector, ULONG Channel, PULONG NodeId) override;
  STDMETHODIMP GetJackDescriptions(ULONG Size, PVOID Buffer, ULONG KindIndex) override;
  STDMETHODIMP GetClockSourceId(PULONG Id) override;
  // The UAC 2.0 kind of the terminal's type; the only kind it takes.
  STDMETHODIMP GetKind(PULONG Kind) override;
  STDMETHODIMP SetKind(ULONG Kind) override;

  bool HasConnectorControl() const;
  // The connector's jack list (CUR, channel 0xFF).
  NTSTATUS ReadJackList(PVOID Buffer, ULONG Length, PULONG Got);

 protected:
  NTSTATUS CreateControls2(adapter::CAudioHal* Function);
};

class CUac2OutputTerminal : public IUacClockLink, public CUac1OutputTerminal {
 public:
  CUac2OutputTerminal(PUNKNOWN outerUnknown, ULONG id) : CUac1OutputTerminal(outerUnknown, id, kUac2PoolTag) {}

  DECLARE_STD_UNKNOWN();

  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;
  // Connector (2) or terminal type (8): the kind node and the terminal nodes are refreshed.
  STDMETHODIMP HandleStatusChange(ULONG Selector, ULONG Channel, PULONG NodeId) override;
  STDMETHODIMP SetKind(ULONG Kind) override;
  STDMETHODIMP GetJackDescriptions(ULONG Size, PVOID Buffer, ULONG KindIndex) override;
  STDMETHODIMP GetClockSourceId(PULONG Id) override;

  bool HasConnectorControl() const;
  NTSTATUS ReadJackList(PVOID Buffer, ULONG Length, PULONG Got);

 protected:
  // A streaming terminal, or one without a readable connector control, has a single kind
  // and no jacks.
  bool HasJackConnector() const override;
  NTSTATUS ReadTerminalType(PUSHORT Type) override;
  NTSTATUS ReadSelectableTypes() override;
  NTSTATUS WriteTerminalType(USHORT Type) override;
};

// Creates the 2.0 class for an Audio Control subtype (2 to 6, 9, 10) with the
// identifier; the caller then calls Init. Any other subtype: STATUS_INVALID_PARAMETER.
NTSTATUS CreateUac2Unit(UCHAR Subtype, ULONG Id, CUacUnit** Unit);

}  // namespace uac
