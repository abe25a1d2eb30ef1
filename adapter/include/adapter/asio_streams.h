// CAsioStreams: the root device's ASIO rings and the streams that move them. It keeps one
// AsioChannel per stream engine, makes the rings of the ASIO-capable engines and maps
// them into the client's process, attaches to each engine with an active ring as a client
// of priority 5 (above the WaveCyclic stream's 3, so ASIO takes the device while it runs),
// and bridges the engines' records to the rings: render data out of a ring into each URB,
// capture data into its ring, and one period signal per completed URB of the signalling
// ring.
//
// The ring operations and the stream operations run at PASSIVE_LEVEL under the device's
// ASIO and power mutex; OnAsioEngineNotify runs at DISPATCH_LEVEL from the engines'
// completion paths. The two meet under the ASIO spin lock, which guards the positions,
// the streams' records as the notify path matches them, and the period event. The
// notify path allocates nothing and copies at most two pieces per record.
#pragma once

#include "adapter/asio_rings.h"
#include "adapter/audio_hal.h"
#include "adapter/usb_audio_device.h"
#include "adapter/usb_stream_client.h"
#include "kernel/nt.h"
#include "kernel/pool.h"

namespace adapter {

// What the rings are made for, fixed at CreateBuffers.
struct AsioBufferSettings {
  ULONG Mode;          // kAsioModePcm or kAsioModeDsd
  ULONG Rate;          // Hz; DSD: the one-bit rate
  ULONG SampleType;    // the client's ASIO sample type (PCM)
  ULONG PeriodFrames;  // frames (DSD: units) per period
};

class CAsioStreams : public platform::PoolAllocated {
 public:
  CAsioStreams();
  // Frees what is left: streams are closed and rings freed first.
  ~CAsioStreams();
  CAsioStreams(const CAsioStreams&) = delete;
  CAsioStreams& operator=(const CAsioStreams&) = delete;

  // Binds the engines' owner (no reference is taken) and the device whose URB path sends
  // the vendor start and stop request (`VendorRequest`: the device is one of the models
  // that get it), and makes one channel per engine (non-paged, "USBd"). Called once.
  NTSTATUS Init(IAudioHal* Hal, IUsbAudioDevice* Device, bool VendorRequest);

  ULONG ChannelCount() const { return m_nChannels; }
  const AsioChannel& Channel(ULONG Index) const { return m_pChannels[Index]; }
  // Engines whose capability record marks them ASIO-capable, and the channels they offer
  // in a sample mode (both directions together).
  ULONG AsioEndpointCount();
  ULONG AsioChannelTotal(ULONG Mode);
  bool HasRings() const { return m_bRings; }
  bool Streaming() const { return m_bStreaming; }
  const AsioBufferSettings& Settings() const { return m_Settings; }

  // CreateBuffers' ring part: one ring per ASIO-capable engine (zeroed; DSD: 0x69),
  // described by an MDL and mapped into the calling process; the rings of the requested
  // channels active and the signalling ring chosen (the last active capture ring, else the
  // last active ring). Before anything is allocated, a configuration the streams cannot
  // run is refused with STATUS_INVALID_PARAMETER: an ASIO engine without a format of the
  // mode (a ring without channels), a render ring smaller than its lead and one URB, an
  // unknown sample type. An allocation or mapping failure frees what was made and is
  // returned. Nothing is active (no requested channel exists) is not checked here:
  // OpenAsioStreams refuses it.
  NTSTATUS CreateRings(const AsioBufferSettings& Settings, const AsioChannelPair* Pairs, ULONG PairCount);
  // Each ring's user address, in engine order, as 8-byte entries (`Count` of them: the
  // ASIO endpoint count).
  void GetUserAddresses(ULONGLONG* Addresses, ULONG Count) const;
  // Unmaps, frees the MDL and frees every ring. Every stream must be closed.
  void FreeRings();
  // Fills each active ring's data with silence as Stop leaves it: 0x96 in DSD, else zero.
  void SilenceRings();

  // Registers a priority-5 client on the engine of each active ring. The first failure
  // unregisters what was registered and is returned; no active ring:
  // STATUS_INVALID_PARAMETER.
  NTSTATUS OpenAsioStreams();
  // Prepares every stream, then starts the capture streams and the render streams at the
  // last prepared bus frame + 5, and announces the start to the models that want it. A
  // failed prepare or start stops and unprepares every stream and is returned.
  NTSTATUS StartAsioStreaming();
  // Stops and unprepares every stream and announces the stop. No channels:
  // STATUS_INVALID_PARAMETER.
  NTSTATUS StopAsioStreaming();
  // Unregisters every stream and forgets it.
  NTSTATUS CloseAsioStreams();
  // Under the ASIO spin lock: positions, lead and periods back to their start (a render
  // ring keeps count - 1 URBs of lead, or 2 from one URB before its end) and the period
  // event replaced by `PeriodEvent` (null: none).
  void ResetAsioChannels(PKEVENT PeriodEvent);
  // Under the ASIO spin lock: the period event replaced by null; returns it.
  PKEVENT TakePeriodEvent();
  // Clears the period event, when there is one (under the ASIO spin lock).
  void ClearPeriodEvent();
  // The period event the completions signal (read under the ASIO spin lock).
  PKEVENT PeriodEvent();

  // The callback registered with each engine (context: this object).
  static VOID OnAsioEngineNotify(PVOID Context, PVOID Argument1, PVOID Argument2);

 private:
  // The engine's client interface with a reference, or null.
  IUsbStreamClient* ClientOf(ULONG Index);
  bool IsAsioEngine(ULONG Index);
  void SendVendorRequest(USHORT Value);
  // Stops and unprepares every stream after a start that failed part of the way.
  void RollBackAsioStart();
  // Copies the channel's state into its ring's header (the client's view).
  static void Publish(const AsioChannel& Channel);
  void Notify(const StreamEngineRecord* Record);
  void FreeRing(AsioChannel& Channel);

  IAudioHal* m_pHal;
  IUsbAudioDevice* m_pDevice;
  bool m_bVendorRequest;
  KSPIN_LOCK m_Lock;
  AsioChannel* m_pChannels;
  ULONG m_nChannels;
  AsioBufferSettings m_Settings;
  ULONG m_nBytesPerSample;  // the client's sample size (DSD: 8)
  PKEVENT m_pPeriodEvent;
  bool m_bRings;
  bool m_bStreaming;
};

}  // namespace adapter
