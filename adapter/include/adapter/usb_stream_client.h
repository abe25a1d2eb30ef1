// The client side of a USB stream engine, as the layers below the engines see it: the
// interface ID, the six client operations (the first slots of the engine's interface),
// the client priorities and the record an engine publishes on its callback object. The
// engines themselves (stream/) extend this interface with their own operations; the ASIO
// side of the root device attaches through it without reaching up into the engines.
#pragma once

#include "adapter/stream_client.h"
#include "kernel/nt.h"
#include "portcls/ks.h"
#include "portcls/ksmedia.h"
#include "portcls/portcls.h"

namespace adapter {

// {7C4D1930-875A-418C-A0A4-3A30456A8996}
KS_DEFINE_GUID(IID_IUsbStreamEngine, 0x7C4D1930, 0x875A, 0x418C, 0xA0, 0xA4, 0x3A, 0x30, 0x45, 0x6A, 0x89, 0x96);

// Priorities of the clients of this system: the higher one drives the device.
inline constexpr ULONG kWaveCyclicClientPriority = 3;
inline constexpr ULONG kAsioClientPriority = 5;

// Codes of the record an engine publishes on its callback object.
enum StreamNotifyCode : ULONG {
  STREAM_NOTIFY_URB_DONE = 1,
  STREAM_NOTIFY_FORMAT = 2,
  STREAM_NOTIFY_RENDER_FILL = 3,
  STREAM_NOTIFY_CAPTURE_DATA = 4,
};
// STREAM_NOTIFY_FORMAT: set in MsPerUrb when the device format changed.
inline constexpr ULONG kFormatChangedFlag = 0x80000000u;

// What every registered client callback receives as its first argument, built on the
// notifier's stack: the current client (may be null), the code and its payload.
struct StreamEngineRecord {
  PSTREAMCLIENTRECORD Client;
  ULONG Code;
  union {
    ULONG ByteCount;  // URB done
    struct {
      ULONG MsPerUrb;  // with kFormatChangedFlag when the device format changed
      ULONG UrbsInFlight;
    } Format;
    PVOID Buffer;  // render fill, capture data
  } Payload;
  ULONG Length;  // render fill, capture data: bytes at Buffer
};

// The client operations, in the engine interface's first slots after IUnknown.
struct IUsbStreamClient : IUnknown {
  STDMETHOD(RegisterClient)(ULONG Priority, const WAVEFORMATEXTENSIBLE* Format, ULONG MsPerUrb, ULONG UrbsInFlight,
                            PCALLBACK_FUNCTION Callback, PVOID Context, PSTREAMCLIENTRECORD* Record) = 0;
  STDMETHOD(UnregisterClient)(ULONGLONG Key) = 0;
  STDMETHOD(StartClient)(ULONGLONG Key, ULONG StartFrame, PULONG MsPerUrb, PUNKNOWN ProcessingObject) = 0;
  STDMETHOD(StopClient)(ULONGLONG Key, PUNKNOWN ProcessingObject) = 0;
  STDMETHOD(PrepareClient)(ULONGLONG Key, PULONG MsPerUrb, PULONG BusFrame) = 0;
  STDMETHOD(UnprepareClient)(ULONGLONG Key) = 0;
};

}  // namespace adapter
