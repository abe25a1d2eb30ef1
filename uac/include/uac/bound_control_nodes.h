// Bound on/off and level nodes: the device-bound forms of the control nodes. A bound node
// learns its channels and range from the unit, reads the device's values, lays the user's
// saved values over them and from then on keeps the device, its own cache (read by the
// topology filter) and the "Settings" registry values in step. Setters report only
// argument errors: whether the device took a value shows in the cache and the registry.
//
// A node keeps its unit's IUnknown without a reference (the unit holds the node) and
// queries it for the control-source interface at every call.
#pragma once

#include "adapter/audio_hal.h"
#include "adapter/capability_record.h"
#include "adapter/dsp_node.h"
#include "adapter/stream_engine.h"
#include "uac/bound_node_values.h"
#include "uac/control_nodes.h"
#include "uac/unit_interfaces.h"

namespace uac {

// ---------------------------------------------------------------------------------------
// On/off nodes

class CUacBoolControl : public CBoolControl {
 public:
  // `cacheOnFailure`: the value is cached and saved even when the device refuses it.
  CUacBoolControl(PUNKNOWN outerUnknown, ULONG id, ULONG type, bool cacheOnFailure);

  NTSTATUS InitUacBoolControl(PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject);
  // One channel holding the saved value (else 0); no source queried.
  NTSTATUS InitUacSingleBoolControl(PUNKNOWN Unit, PDEVICE_OBJECT DeviceObject);

  STDMETHODIMP SetValue(ULONG Channel, UCHAR Value) override;
  STDMETHODIMP SetEndpointType(ULONG EndpointType, PVOID CallbackObject) override;
  STDMETHODIMP RestoreToDevice() override;
  STDMETHODIMP RefreshFromDevice() override;

 protected:
  NTSTATUS Source(IUacBoolControlSource** Source);
  void Save(ULONG Channel);

  PDEVICE_OBJECT m_pDeviceObject;
  PUNKNOWN m_pUnit;
  ULONG m_nSelector;
  bool m_bCacheOnFailure;
};

class CUacMuteControl : public CUacBoolControl {
 public:
  CUacMuteControl(PUNKNOWN outerUnknown, ULONG id) : CUacBoolControl(outerUnknown, id, adapter::NODE_MUTE, true) {}
};
class CUacAgcControl : public CUacBoolControl {
 public:
  CUacAgcControl(PUNKNOWN outerUnknown, ULONG id) : CUacBoolControl(outerUnknown, id, adapter::NODE_AGC, true) {}
};
class CUacLoudnessControl : public CUacBoolControl {
 public:
  CUacLoudnessControl(PUNKNOWN outerUnknown, ULONG id)
      : CUacBoolControl(outerUnknown, id, adapter::NODE_LOUDNESS, true) {}
};
class CUacVendorSwitchControl : public CUacBoolControl {
 public:
  CUacVendorSwitchControl(PUNKNOWN outerUnknown, ULONG id)
      : CUacBoolControl(outerUnknown, id, adapter::NODE_VENDOR_SWITCH, false) {}
};

// A chip-specific mute that also follows a stream link (direction and pin index).
class CUacMuteLedControl : public CUacMuteControl, public adapter::IStreamLink {
 public:
  CUacMuteLedControl(PUNKNOWN outerUnknown, ULONG id) : CUacMuteControl(outerUnknown, id) {}
  DECLARE_STD_UNKNOWN();
  STDMETHODIMP SelectionChanging(ULONG, ULONG) override { return STATUS_SUCCESS; }
  STDMETHODIMP SetDirection(ULONG Value) override;
  STDMETHODIMP SetPinIndex(ULONG Value) override;
  ULONG Direction() const { return m_nLink[0]; }
  ULONG PinIndex() const { return m_nLink[1]; }

 protected:
  ULONG m_nLink[2] = {};
};

// A chip-specific gain switch: one channel, made with InitUacSingleBoolControl. This
// form caches and saves; the chip classes that own the switch send it to the device.
class CUacGainControl : public CUacBoolControl {
 public:
  CUacGainControl(PUNKNOWN outerUnknown, ULONG id)
      : CUacBoolControl(outerUnknown, id, adapter::NODE_GAIN_SWITCH, true) {}
  STDMETHODIMP SetValue(ULONG Channel, UCHAR Value) override;
  STDMETHODIMP RestoreToDevice() override { return m_nChannels ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER; }
  STDMETHODIMP RefreshFromDevice() override { return STATUS_SUCCESS; }
};

// ---------------------------------------------------------------------------------------
// Level nodes

class CUacLevelControl : public CLevelControl {
 public:
  enum class MinusInfinity {
    Send,         // volume: 0x80000000 is sent and cached as it is
    SendMinimum,  // tone: the quantised minimum is sent, 0x80000000 cached
  };
  CUacLevelControl(PUNKNOWN outerUnknown, ULONG id, ULONG type, MinusInfinity minusInfinity);

  NTSTATUS InitUacLevelControl(PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject);

  STDMETHODIMP GetLevel(ULONG Channel, PLONG Level) override;
  // Clamps to the range and quantises to the step toward zero; the clamped level is
  // cached and saved only when the device took it.
  STDMETHODIMP SetLevel(ULONG Channel, LONG Level) override;
  STDMETHODIMP SetEndpointType(ULONG EndpointType, PVOID CallbackObject) override;
  STDMETHODIMP RestoreToDevice() override;
  STDMETHODIMP RefreshFromDevice() override;

 protected:
  NTSTATUS Source(IUacLevelControlSource** Source);
  void Save(ULONG Channel);
  // Steps 3 of SetEndpointType for `count` channels.
  void ReloadChannels(ULONG Count);

  PDEVICE_OBJECT m_pDeviceObject;
  PUNKNOWN m_pUnit;
  ULONG m_nSelector;
  MinusInfinity m_MinusInfinity;
};

class CUacVolumeControl : public CUacLevelControl {
 public:
  CUacVolumeControl(PUNKNOWN outerUnknown, ULONG id)
      : CUacLevelControl(outerUnknown, id, adapter::NODE_VOLUME, MinusInfinity::Send) {}
};
class CUacBassControl : public CUacLevelControl {
 public:
  CUacBassControl(PUNKNOWN outerUnknown, ULONG id)
      : CUacLevelControl(outerUnknown, id, adapter::NODE_BASS, MinusInfinity::SendMinimum) {}
};
class CUacMidControl : public CUacLevelControl {
 public:
  CUacMidControl(PUNKNOWN outerUnknown, ULONG id)
      : CUacLevelControl(outerUnknown, id, adapter::NODE_MID, MinusInfinity::SendMinimum) {}
};
class CUacTrebleControl : public CUacLevelControl {
 public:
  CUacTrebleControl(PUNKNOWN outerUnknown, ULONG id)
      : CUacLevelControl(outerUnknown, id, adapter::NODE_TREBLE, MinusInfinity::SendMinimum) {}
};

// Input gain pad of a UAC 2.0 feature unit: channel kAllChannels sets every channel (and
// reads channel 0); minus infinity means the minimum.
inline constexpr ULONG kAllChannels = 0xFFFFFFFF;
class CUacInputGainPadControl : public CUacLevelControl {
 public:
  CUacInputGainPadControl(PUNKNOWN outerUnknown, ULONG id)
      : CUacLevelControl(outerUnknown, id, adapter::NODE_INPUT_GAIN_PAD, MinusInfinity::Send) {}
  STDMETHODIMP GetLevel(ULONG Channel, PLONG Level) override;
  STDMETHODIMP SetLevel(ULONG Channel, LONG Level) override;
};

// A volume the device reports through a vendor selector but the driver applies in
// software: each channel's level is also kept as a linear gain. The stream's processing
// interface reads the gains; the node itself follows a stream link, and scales the
// stream's channels while its direction and pin index agree.
class CUacVendorVolumeControl : public CUacVolumeControl, public adapter::IStreamLink, public adapter::IDspNode {
 public:
  CUacVendorVolumeControl(PUNKNOWN outerUnknown, ULONG id) : CUacVolumeControl(outerUnknown, id) {}
  ~CUacVendorVolumeControl() override;
  DECLARE_STD_UNKNOWN();

  NTSTATUS InitUacVendorVolumeControl(PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject);
  STDMETHODIMP SetLevel(ULONG Channel, LONG Level) override;
  STDMETHODIMP SetEndpointType(ULONG EndpointType, PVOID CallbackObject) override;
  STDMETHODIMP RefreshFromDevice() override;
  STDMETHODIMP SelectionChanging(ULONG, ULONG) override { return STATUS_SUCCESS; }
  STDMETHODIMP SetDirection(ULONG Value) override;
  STDMETHODIMP SetPinIndex(ULONG Value) override;

  // IDspNode
  STDMETHODIMP Reserved1() override { return STATUS_SUCCESS; }
  STDMETHODIMP Reserved2() override { return STATUS_SUCCESS; }
  STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
  STDMETHODIMP ResetState() override { return STATUS_SUCCESS; }
  STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
  STDMETHODIMP Reset() override { return STATUS_SUCCESS; }

  // The linear gain of a channel (0 past the channels).
  float Gain(ULONG Channel) const { return m_pGains && Channel < m_nChannels ? m_pGains[Channel] : 0.0f; }

 protected:
  void UpdateGain(ULONG Channel, LONG Level);

  float* m_pGains = nullptr;  // non-paged, count+1 gains
  ULONG m_nLink[2] = {};
};

}  // namespace uac
