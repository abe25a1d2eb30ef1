// CMiniportWaveCyclic: the miniport of the WaveCyclic filter made for every stream engine
// (endpoint). Init turns the engine's formats into KS data ranges (one per subformat, PCM
// first) and builds a fixed filter of two pins (the streaming pin 0 and the bridge pin 1)
// and one node (DAC for render, ADC for capture). It allows one stream at a time, answers
// the data-range intersection against the engine's formats, offers only the raw
// signal-processing mode, and tells the adapter which streaming terminal its bridge pin
// joins (IMiniportPinMap).
#pragma once

#include "adapter/audio_hal.h"
#include "adapter/miniport_pin_map.h"
#include "adapter/stream_engine.h"
#include "kernel/ke.h"
#include "kernel/nt.h"
#include "portcls/portcls.h"

namespace filters {

// {1B4400F0-9627-4EE7-A593-B37C034EF0DE}: the filter's one property set; id 1 reads the
// engine's 32-byte capability record.
KS_DEFINE_GUID(KSPROPSETID_WaveDeviceExtension, 0x1B4400F0, 0x9627, 0x4EE7, 0xA5, 0x93, 0xB3, 0x7C, 0x03, 0x4E, 0xF0,
               0xDE);
inline constexpr ULONG KSPROPERTY_WAVE_CAPABILITY_RECORD = 1;
// {DC156818-B26E-4115-AEF2-37B6E5DC6ED9}: the private enumeration interface class, the
// filter's third category.
KS_DEFINE_GUID(KSCATEGORY_WAVE_PRIVATE_ENUM, 0xDC156818, 0xB26E, 0x4115, 0xAE, 0xF2, 0x37, 0xB6, 0xE5, 0xDC, 0x6E,
               0xD9);
// {00000E7A-0000-0010-8000-00AA00389B71}: the vendor subformat the wave filter never offers.
KS_DEFINE_GUID(KSDATAFORMAT_SUBTYPE_VENDOR_E7A, 0x00000E7A, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B,
               0x71);

inline constexpr ULONG kWavePoolTag = MakePoolTag('W', 'A', 'V', 'C');
// The subdevice name buffer: the engine's name and "Wave", at most 98 bytes and the terminator.
inline constexpr ULONG kWaveNameBufferBytes = 102;
inline constexpr ULONG kWaveNameMaxBytes = 98;
// Pins of the filter.
inline constexpr ULONG kWaveStreamingPin = 0;
inline constexpr ULONG kWaveBridgePin = 1;
// Result size of an intersection: a KSDATAFORMAT and a WAVEFORMATEXTENSIBLE.
inline constexpr ULONG kIntersectionBytes = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE);

class CMiniportWaveCyclicStream;

class CMiniportWaveCyclic : public IMiniportWaveCyclic,
                            public IMiniportAudioSignalProcessing,
                            public adapter::IMiniportPinMap,
                            public IPowerNotify,
                            public CUnknown {
 public:
  CMiniportWaveCyclic(PUNKNOWN outerUnknown, ULONG engineIndex);
  // Waits until every stream it counted open is gone, then frees the descriptor and the
  // ranges and releases the engine and the adapter.
  ~CMiniportWaveCyclic() override;

  DECLARE_STD_UNKNOWN();

  // IMiniport
  // The filter descriptor; none built yet: STATUS_DEVICE_CONFIGURATION_ERROR.
  STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* Description) override;
  STDMETHODIMP DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                     ULONG OutputBufferLength, PVOID ResultantFormat,
                                     PULONG ResultantFormatLength) override;
  // IMiniportWaveCyclic
  STDMETHODIMP Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVECYCLIC Port) override;
  // One stream at a time: a second while one exists is STATUS_INSUFFICIENT_RESOURCES.
  STDMETHODIMP NewStream(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG Pin,
                         BOOLEAN Capture, PKSDATAFORMAT DataFormat, PDMACHANNEL* DmaChannel,
                         PSERVICEGROUP* ServiceGroup) override;
  // IMiniportAudioSignalProcessing: the raw mode on pin 0.
  STDMETHODIMP GetModes(ULONG Pin, GUID* SignalProcessingMode, ULONG* NumSignalProcessingModes) override;
  // IMiniportPinMap: the id of the streaming terminal on the engine's path (input terminal
  // for render, output terminal for capture, kind 0); none: STATUS_NOT_FOUND.
  STDMETHODIMP MapPin(ULONG EntityId, PULONG Result) override;
  STDMETHODIMP GetSubdeviceName(PWSTR* Name) override;
  // IPowerNotify: keeps the device state (D0 to D3).
  STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE PowerState) override;

  // What the stream needs of its miniport.
  NTSTATUS ValidateFormat(const KSDATAFORMAT* DataFormat, WAVEFORMATEXTENSIBLE* Format);
  PPORTWAVECYCLIC GetPort() const { return m_pPort; }
  // A stream counts itself open from its Init to its destructor.
  void StreamOpened();
  void StreamClosed();
  ULONG GetDevicePowerState() const { return m_nDevicePowerState; }
  bool IsStreamOpen() const { return __atomic_load_n(&m_nStreamOpen, __ATOMIC_SEQ_CST) != 0; }
  ULONG GetDataRangeCount() const { return m_nDataRangeCount; }
  const KSDATARANGE_AUDIO* GetDataRanges() const { return m_pDataRanges; }

  // The property handler of the filter's one property.
  static NTSTATUS PropertyHandler(PPCPROPERTY_REQUEST Request);

 private:
  NTSTATUS BuildDataRanges();
  NTSTATUS BuildDescriptor();
  NTSTATUS BuildName();
  void FreeDescriptor();
  // Replaces *Format with the first engine format of equal channels, rate, valid bits and
  // subformat; none: STATUS_NO_MATCH.
  NTSTATUS MatchEngineFormat(WAVEFORMATEXTENSIBLE* Format);
  // The engine format of the sub-format inside both ranges (rates, valid bits, at most the
  // smaller channel maximum) with the most channels, then the highest rate, then the most bits.
  NTSTATUS BestEngineFormatInside(const KSDATARANGE_AUDIO& A, const KSDATARANGE_AUDIO& B, const GUID& SubFormat,
                                  WAVEFORMATEXTENSIBLE* Format);
  bool EngineHasSubFormat(const GUID& SubFormat);
  NTSTATUS CapabilityRecord(PVOID Value, ULONG ValueSize);

  PPCFILTER_DESCRIPTOR m_pDescriptor;
  PPCPIN_DESCRIPTOR m_pPins;
  PPCNODE_DESCRIPTOR m_pNode;
  PPCCONNECTION_DESCRIPTOR m_pConnections;
  GUID* m_pCategories;
  PKSDATARANGE m_pBridgeRange;
  PPCAUTOMATION_TABLE m_pAutomation;
  PPORTWAVECYCLIC m_pPort;  // no reference (see Init)
  PWSTR m_pName;
  adapter::IAudioHal* m_pAdapter;
  adapter::IStreamEngine* m_pEngine;
  ULONG m_nEngineIndex;
  volatile ULONG m_nStreamOpen;
  ULONG m_nDevicePowerState;
  KEVENT m_AllClosedEvent;
  volatile LONG m_lOpenCount;
  KSDATARANGE_AUDIO* m_pDataRanges;
  ULONG m_nDataRangeCount;
  PKSDATARANGE* m_ppDataRangeList;
  ULONG m_nDataRangeListCount;

  friend class CMiniportWaveCyclicStream;
};

// Creates the miniport for the engine at EngineIndex among the adapter's engines and
// hands out its IMiniportWaveCyclic (one reference); no memory:
// STATUS_INSUFFICIENT_RESOURCES. The class ID is not looked at.
NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                                  ULONG EngineIndex);

}  // namespace filters
