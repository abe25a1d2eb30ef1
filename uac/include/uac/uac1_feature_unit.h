// CUac1FeatureUnit: a UAC 1.0 feature unit. It turns its descriptor's control bitmaps (and
// the maker's vendor control block) into bound on/off, level and effect nodes and answers
// their device operations with class requests and the maker's vendor requests on the
// Audio Control interface.
//
// Wire scaling: two-byte levels are signed 1/256 dB (0x8000 is minus infinity), one-byte
// levels (bass, mid, treble) signed 1/4 dB; on/off values are one byte.
#pragma once

#include "adapter/node_interfaces.h"
#include "uac/feature_unit.h"

namespace uac {

// The maker's vendor control block of a feature unit, read with GET_MEM: total length at
// bytes 16-17, bitmap size at byte 18, one bitmap per channel (master first) from 19.
inline constexpr ULONG kVendorBlockHeader = 19;

class CUac1FeatureUnit : public CUacFeatureUnit {
 public:
  CUac1FeatureUnit(PUNKNOWN outerUnknown, ULONG id);
  // A chip class's unit: its nodes and blocks under the chip's tag.
  CUac1FeatureUnit(PUNKNOWN outerUnknown, ULONG id, ULONG poolTag);

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
  bool HasControl(ULONG Selector) const override;
  // bmaControls entries of the descriptor (master included): (bLength - 7) / bControlSize.
  ULONG EntryCount() const;

 protected:
  bool HasControlOn(ULONG Selector, ULONG DeviceChannel) const;
  // Node channel to device channel (the master, a logical channel, the 5/6 <-> 7/8 swap).
  NTSTATUS DeviceChannel(ULONG Selector, ULONG Channel, PULONG DeviceChannel);
  NTSTATUS ReadVendorBlock();
  NTSTATUS Request(UCHAR Request, ULONG Selector, ULONG DeviceChannel, bool Read, PVOID Buffer, ULONG Length);
};

}  // namespace uac
