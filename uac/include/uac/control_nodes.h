// The two value families of control nodes: on/off controls (mute, automatic gain,
// loudness, vendor and gain switches) and ranged level controls (volume, input gain pad,
// bass, mid, treble). A node caches the control's value per channel so the topology
// filter can answer reads without a USB request; the device-bound forms derive from these
// plain classes and replace the setters.
#pragma once

#include "adapter/node_interfaces.h"
#include "adapter/uac_entity.h"
#include "uac/control_interfaces.h"

namespace uac {

inline constexpr ULONG kBoolCachePoolTag = MakePoolTag('M', 'T', 'a', 'g');
inline constexpr ULONG kLevelCachePoolTag = MakePoolTag('V', 'T', 'a', 'g');

// Logical channels of a unit are counted in a byte in every class-specific descriptor.
inline constexpr ULONG kMaxNodeChannels = 255;

// The channels a node shows on an endpoint: all of them on "Stream", "SPK", "HDMI" and
// "Line" endpoints, at most two on every other type.
ULONG ChannelsShown(ULONG channelCount, ULONG endpointType);

class CBoolControl : public IBoolControl, public adapter::INodeEndpoint, public adapter::CUacEntity {
 public:
  CBoolControl(PUNKNOWN outerUnknown, ULONG id, ULONG type);
  ~CBoolControl() override;

  DECLARE_STD_UNKNOWN();

  // Channels 0 to count-1.
  STDMETHODIMP GetValue(ULONG Channel, PUCHAR Value) override;
  STDMETHODIMP SetValue(ULONG Channel, UCHAR Value) override;
  STDMETHODIMP GetChannelCount(PULONG Count) override;
  // A zeroed cache of count+1 bytes and the one source; no memory: no cache.
  STDMETHODIMP InitChannels(ULONG SourceId, ULONG Count) override;
  STDMETHODIMP SetEndpointType(ULONG EndpointType, PVOID CallbackObject) override;

 protected:
  ULONG m_nChannels;
  PUCHAR m_pValues;  // non-paged, count+1 bytes
  ULONG m_nEndpointType;
};

class CMuteControl : public CBoolControl {
 public:
  CMuteControl(PUNKNOWN outerUnknown, ULONG id) : CBoolControl(outerUnknown, id, adapter::NODE_MUTE) {}
};
class CAgcControl : public CBoolControl {
 public:
  CAgcControl(PUNKNOWN outerUnknown, ULONG id) : CBoolControl(outerUnknown, id, adapter::NODE_AGC) {}
};
class CLoudnessControl : public CBoolControl {
 public:
  CLoudnessControl(PUNKNOWN outerUnknown, ULONG id) : CBoolControl(outerUnknown, id, adapter::NODE_LOUDNESS) {}
};
class CVendorSwitchControl : public CBoolControl {
 public:
  CVendorSwitchControl(PUNKNOWN outerUnknown, ULONG id)
      : CBoolControl(outerUnknown, id, adapter::NODE_VENDOR_SWITCH) {}
};
class CGainControl : public CBoolControl {
 public:
  CGainControl(PUNKNOWN outerUnknown, ULONG id) : CBoolControl(outerUnknown, id, adapter::NODE_GAIN_SWITCH) {}
};

class CLevelControl : public ILevelControl, public adapter::INodeEndpoint, public adapter::CUacEntity {
 public:
  CLevelControl(PUNKNOWN outerUnknown, ULONG id, ULONG type);
  ~CLevelControl() override;

  DECLARE_STD_UNKNOWN();

  // Channels 0 to count: the cache holds count+1 levels.
  STDMETHODIMP GetLevel(ULONG Channel, PLONG Level) override;
  STDMETHODIMP SetLevel(ULONG Channel, LONG Level) override;
  STDMETHODIMP GetRange(PLONG Maximum, PLONG Minimum, PLONG Step) override;
  STDMETHODIMP GetChannelCount(PULONG Count) override;
  STDMETHODIMP InitChannels(ULONG SourceId, ULONG Count, LONG Maximum, LONG Minimum, LONG Step) override;
  STDMETHODIMP SetEndpointType(ULONG EndpointType, PVOID CallbackObject) override;

 protected:
  ULONG m_nChannels;
  PLONG m_pLevels;  // paged, count+1 levels
  LONG m_nMaximum;
  LONG m_nMinimum;
  LONG m_nStep;
  ULONG m_nEndpointType;
};

class CVolumeControl : public CLevelControl {
 public:
  CVolumeControl(PUNKNOWN outerUnknown, ULONG id) : CLevelControl(outerUnknown, id, adapter::NODE_VOLUME) {}
};
class CInputGainPadControl : public CLevelControl {
 public:
  CInputGainPadControl(PUNKNOWN outerUnknown, ULONG id)
      : CLevelControl(outerUnknown, id, adapter::NODE_INPUT_GAIN_PAD) {}
};
class CBassControl : public CLevelControl {
 public:
  CBassControl(PUNKNOWN outerUnknown, ULONG id) : CLevelControl(outerUnknown, id, adapter::NODE_BASS) {}
};
class CMidControl : public CLevelControl {
 public:
  CMidControl(PUNKNOWN outerUnknown, ULONG id) : CLevelControl(outerUnknown, id, adapter::NODE_MID) {}
};
class CTrebleControl : public CLevelControl {
 public:
  CTrebleControl(PUNKNOWN outerUnknown, ULONG id) : CLevelControl(outerUnknown, id, adapter::NODE_TREBLE) {}
};

}  // namespace uac
