// The nodes chip class A's units create beyond the class ones: the render unit's mute and
// volume, which also act on the stream on S/PDIF endpoints (where the device's own
// controls do not reach the data), the S/PDIF input's stream-linked mute, a record unit's
// software mute and the gain switch driven through a chip register.
#pragma once

#include "adapter/dsp_node.h"
#include "uac/bound_nodes.h"
#include "uac/software_nodes.h"

namespace uac {

class CChipAFunction;

// The volume node's linear gains: one per channel, for at most this many channels (a node
// with more keeps the gains of the first eight; further channels pass unchanged).
inline constexpr ULONG kChipAMaxGainChannels = 8;
// 20 x 65536: a 16.16 dB level divided by it is the power of ten of the gain.
inline constexpr float kChipALevelPerDecade = 1310720.0f;

// The render unit's mute: the bound mute, and silence on the stream while it is on and
// the node serves an S/PDIF endpoint.
class CChipAMuteNode : public CUacMuteControl, public adapter::IDspNode {
 public:
  CChipAMuteNode(PUNKNOWN outerUnknown, ULONG id) : CUacMuteControl(outerUnknown, id) {}
  DECLARE_STD_UNKNOWN();

  // IDspNode
  STDMETHODIMP Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
  STDMETHODIMP ResetState() override { return STATUS_SUCCESS; }
  STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
  STDMETHODIMP Reset() override { return STATUS_SUCCESS; }
};

// The S/PDIF input's mute: the stream-linked mute, silencing the stream while it is on
// and the link's direction value is 3.
class CChipALinkedMuteNode : public CUacMuteLedControl, public adapter::IDspNode {
 public:
  CChipALinkedMuteNode(PUNKNOWN outerUnknown, ULONG id) : CUacMuteLedControl(outerUnknown, id) {}
  DECLARE_STD_UNKNOWN();

  STDMETHODIMP Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
  STDMETHODIMP ResetState() override { return STATUS_SUCCESS; }
  STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
  STDMETHODIMP Reset() override { return STATUS_SUCCESS; }
};

// The render unit's volume: the bound volume, plus one linear gain per channel
// (10^(level / 20 dB)) applied to the stream on S/PDIF endpoints. The gains follow every
// level change: Init, SetLevel (that channel), SetEndpointType and RefreshFromDevice.
class CChipAVolumeNode : public CUacVolumeControl, public adapter::IDspNode {
 public:
  CChipAVolumeNode(PUNKNOWN outerUnknown, ULONG id);
  DECLARE_STD_UNKNOWN();

  // The bound volume's Init, then the gains.
  NTSTATUS InitChipAVolumeNode(PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject);
  STDMETHODIMP SetLevel(ULONG Channel, LONG Level) override;
  STDMETHODIMP SetEndpointType(ULONG EndpointType, PVOID CallbackObject) override;
  STDMETHODIMP RefreshFromDevice() override;

  STDMETHODIMP Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
  STDMETHODIMP ResetState() override { return STATUS_SUCCESS; }
  // Scales the stream's channels that have a gain; further channels pass unchanged.
  STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
  STDMETHODIMP Reset() override { return STATUS_SUCCESS; }

  // The channels with a gain: the node's channels, at most kChipAMaxGainChannels.
  ULONG GainCount() const { return m_nChannels < kChipAMaxGainChannels ? m_nChannels : kChipAMaxGainChannels; }
  // The linear gain of a channel (1 past the gains: such a channel passes unchanged).
  float Gain(ULONG Channel) const { return Channel < GainCount() ? m_Gains[Channel] : 1.0f; }

 private:
  // The gains of channels [First, First + Count) from their cached levels, through the
  // primitives: level to float, divided by 20 dB, 10 raised to it.
  void UpdateGains(ULONG First, ULONG Count);

  float m_Gains[kChipAMaxGainChannels];
};

// A record unit's mute applied to the stream only: no device request. Its value is
// cached and saved per endpoint type like a bound mute's.
class CChipASoftMuteNode : public CSoftwareMuteNode {
 public:
  CChipASoftMuteNode(PUNKNOWN outerUnknown, ULONG id) : CSoftwareMuteNode(outerUnknown, id), m_pDeviceObject(nullptr) {}
  // The unit's channel count for the selector (only 1 is accepted, as for every software
  // mute); the channel starts at the unit's current mute, then at the value saved for the
  // default endpoint type. The device is read here only: SetValue sends nothing.
  NTSTATUS InitUacBoolControl(PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject);
  // A channel past the count: STATUS_INVALID_PARAMETER; else cached and saved.
  STDMETHODIMP SetValue(ULONG Channel, UCHAR Value) override;

 private:
  PDEVICE_OBJECT m_pDeviceObject;
};

// The chip's gain switch of a record unit: one channel, written to register 1.
class CChipASwitchControl : public CUacGainControl {
 public:
  CChipASwitchControl(PUNKNOWN outerUnknown, ULONG id) : CUacGainControl(outerUnknown, id), m_pChip(nullptr) {}
  // One channel holding the saved value, and the chip function its writes go through.
  NTSTATUS InitChipASwitch(PUNKNOWN Unit, PDEVICE_OBJECT DeviceObject, CChipAFunction* Chip);
  // Channel 0 only.
  STDMETHODIMP GetValue(ULONG Channel, PUCHAR Value) override;
  // Channel 0 and a chip function, else STATUS_INVALID_PARAMETER. Writes register 1
  // (on: 0x10, off: 0x30 in bits 4-5); cached and saved when the write succeeded.
  STDMETHODIMP SetValue(ULONG Channel, UCHAR Value) override;
  STDMETHODIMP RestoreToDevice() override;

 private:
  CChipAFunction* m_pChip;
};

}  // namespace uac
