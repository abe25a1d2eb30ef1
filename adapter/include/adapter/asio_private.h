// The private ASIO interface: a user-mode ASIO driver opens the device interface with the
// reference string "QVASIOPrivateInterface" and drives the device's ASIO-capable
// endpoints through 22 buffered I/O controls. Each open file object is one AsioClient;
// the root USB device object implements the operations as IAsioPrivate, and the entry
// layer's DispatchDeviceControl decodes the requests (lengths, handles, Information).
//
// Every operation except OpenClient first finds the client by its file object (none:
// STATUS_INVALID_PARAMETER, CloseClient STATUS_UNSUCCESSFUL) and runs under the device's
// ASIO and power mutex at PASSIVE_LEVEL, so operations of all clients and power changes
// are serialised.
#pragma once

#include "kernel/nt.h"
#include "portcls/portcls.h"

namespace adapter {

// {DB4D55AC-CB0E-4611-8CEB-16E32336876D}
KS_DEFINE_GUID(IID_IAsioPrivate, 0xDB4D55AC, 0xCB0E, 0x4611, 0x8C, 0xEB, 0x16, 0xE3, 0x23, 0x36, 0x87, 0x6D);

// The 22 I/O controls: device type 0x1D, METHOD_BUFFERED; the access field is part of
// the code, so a function number with another access field is not one of them.
inline constexpr ULONG IOCTL_ASIO_GET_DRIVER_NAME = 0x1D6000;
inline constexpr ULONG IOCTL_ASIO_GET_CHANNELS = 0x1D6004;
inline constexpr ULONG IOCTL_ASIO_GET_CHANNEL_NAME = 0x1DE008;
inline constexpr ULONG IOCTL_ASIO_GET_SAMPLE_TYPES = 0x1D600C;
inline constexpr ULONG IOCTL_ASIO_GET_LATENCY_INFO = 0x1D6010;
inline constexpr ULONG IOCTL_ASIO_SET_NOTIFICATION_EVENT = 0x1DA014;
inline constexpr ULONG IOCTL_ASIO_GET_IN_USE = 0x1D6018;
inline constexpr ULONG IOCTL_ASIO_SET_BIT_DEPTH = 0x1DA01C;
inline constexpr ULONG IOCTL_ASIO_SET_LATENCY = 0x1DA020;
inline constexpr ULONG IOCTL_ASIO_GET_BUFFER_LENGTH = 0x1D6024;
inline constexpr ULONG IOCTL_ASIO_GET_SAMPLE_RATE = 0x1D6028;
inline constexpr ULONG IOCTL_ASIO_CAN_SAMPLE_RATE = 0x1DA02C;
inline constexpr ULONG IOCTL_ASIO_SET_SAMPLE_RATE = 0x1DA030;
inline constexpr ULONG IOCTL_ASIO_GET_BUFFER_SIZE = 0x1D6034;
inline constexpr ULONG IOCTL_ASIO_CREATE_BUFFERS = 0x1DE038;
inline constexpr ULONG IOCTL_ASIO_DISPOSE_BUFFERS = 0x1DA03C;
inline constexpr ULONG IOCTL_ASIO_START = 0x1DA040;
inline constexpr ULONG IOCTL_ASIO_STOP = 0x1DA044;
inline constexpr ULONG IOCTL_ASIO_CLEAR_NOTIFICATION_EVENT = 0x1DA04C;
inline constexpr ULONG IOCTL_ASIO_CAN_SET_SAMPLE_MODE = 0x1DA050;
inline constexpr ULONG IOCTL_ASIO_SET_SAMPLE_MODE = 0x1DA054;
inline constexpr ULONG IOCTL_ASIO_GET_SAMPLE_MODE = 0x1D6058;
inline constexpr ULONG kAsioIoctlCount = 22;

// Latency table, milliseconds, indexes 0 to 8; index 8 is the largest buffer.
inline constexpr ULONG kAsioLatencyCount = 9;
inline constexpr ULONG kAsioLatencyMs[kAsioLatencyCount] = {2, 4, 6, 8, 10, 20, 30, 40, 50};

// Sample modes and the ASIO sample types (16 Int16LSB, 17 Int24LSB, 18 Int32LSB, 24-27
// Int32LSB16/18/20/24); 33 is what a channel reports in DSD mode.
inline constexpr ULONG kAsioModePcm = 0;
inline constexpr ULONG kAsioModeDsd = 1;
inline constexpr ULONG kAsioTypeInt16 = 16;
inline constexpr ULONG kAsioTypeInt24 = 17;
inline constexpr ULONG kAsioTypeInt32 = 18;
inline constexpr ULONG kAsioTypeInt32In16 = 24;
inline constexpr ULONG kAsioTypeInt32In24 = 27;
inline constexpr ULONG kAsioTypeDsd = 33;
// The lowest one-bit rate of DSD mode (64 x 44.1 kHz); PCM rates lie below it.
inline constexpr ULONG kAsioDsdMinRate = 2822400;

// Sub-format of native DSD entries in the engines' format lists (the PCM GUID with 0x0E7A).
inline constexpr ULONG kAsioDsdSubFormat = 0x0E7A;

// The priority increment the ASIO events are set with.
inline constexpr KPRIORITY kAsioEventIncrement = 8;

// Output layouts.
inline constexpr ULONG kAsioChannelsBytes = 16;
inline constexpr ULONG kAsioChannelNameBytes = 52;
inline constexpr ULONG kAsioChannelNameTextBytes = 32;
inline constexpr ULONG kAsioLatencyInfoBytes = 44;
inline constexpr ULONG kAsioBufferLengthBytes = 8;
inline constexpr ULONG kAsioBufferSizeBytes = 16;
// The CreateBuffers request: {ignored, pair count n, period frames}, then n pairs
// {is input, channel number}.
inline constexpr ULONG kAsioCreateHeaderBytes = 12;
inline constexpr ULONG kAsioCreatePairBytes = 8;

inline constexpr char kAsioDefaultDriverName[] = "Quvara USB ASIO Device";

// One ASIO client: one per open file object, kept in the device's client list.
struct AsioClient {
  LIST_ENTRY Link;
  PFILE_OBJECT Key;
  PKEVENT NotificationEvent;  // referenced; signalled when a setting changes
  PKEVENT PeriodEvent;        // referenced; given with Start, signalled once per period
  ULONG SampleType;
  ULONG LatencyIndex;
  ULONG SampleRate;  // Hz; in DSD mode the one-bit rate
  ULONG SampleMode;  // kAsioModePcm or kAsioModeDsd
  ULONG State;       // 1 while buffers exist
  ULONG Reserved;
};
static_assert(sizeof(AsioClient) == 64);

// AsioChannel, one per stream engine with the ring it streams through: adapter/asio_rings.h.

// The operations, in slot order after the three IUnknown slots. Buffers are the request's
// system buffer; sizes in and out are byte counts as the entry layer passes them.
struct IAsioPrivate : IUnknown {
  STDMETHOD(OpenClient)(PFILE_OBJECT File) = 0;
  STDMETHOD(Unsupported)() = 0;  // answers STATUS_UNSUCCESSFUL
  STDMETHOD(CloseClient)(PFILE_OBJECT File) = 0;
  STDMETHOD(GetDriverName)(PFILE_OBJECT File, PCHAR Name, PULONG Size) = 0;
  STDMETHOD(GetChannels)(PFILE_OBJECT File, PULONG Channels, ULONG Bytes) = 0;
  STDMETHOD(GetChannelName)(PFILE_OBJECT File, PVOID Request, ULONG Bytes) = 0;
  STDMETHOD(SetNotificationEvent)(PFILE_OBJECT File, HANDLE Event) = 0;
  STDMETHOD(ClearNotificationEvent)(PFILE_OBJECT File) = 0;
  STDMETHOD(GetInUse)(PFILE_OBJECT File, PULONG InUse, PULONG Size) = 0;
  STDMETHOD(GetSampleTypes)(PFILE_OBJECT File, PULONG Types, PULONG Size) = 0;
  STDMETHOD(GetLatencyInfo)(PFILE_OBJECT File, PULONG Info, PULONG Size) = 0;
  STDMETHOD(SetBitDepth)(PFILE_OBJECT File, ULONG SampleType) = 0;
  STDMETHOD(SetLatency)(PFILE_OBJECT File, ULONG Index) = 0;
  STDMETHOD(GetBufferLength)(PFILE_OBJECT File, PULONG Lengths, PULONG Size) = 0;
  STDMETHOD(GetSampleRate)(PFILE_OBJECT File, PULONG Rate) = 0;
  STDMETHOD(CanSampleRate)(PFILE_OBJECT File, ULONG Rate) = 0;
  STDMETHOD(SetSampleRate)(PFILE_OBJECT File, ULONG Rate) = 0;
  STDMETHOD(GetBufferSize)(PFILE_OBJECT File, PULONG Sizes) = 0;
  // Request of RequestBytes bytes; Addresses receives one 8-byte user address per
  // ASIO-capable endpoint, *Size is its length in and the length written out.
  STDMETHOD(CreateBuffers)(PFILE_OBJECT File, const VOID* Request, ULONG RequestBytes, PVOID Addresses,
                           PULONG Size) = 0;
  STDMETHOD(DisposeBuffers)(PFILE_OBJECT File) = 0;
  STDMETHOD(Start)(PFILE_OBJECT File, HANDLE PeriodEvent) = 0;
  // Outside D0 the IRP is parked (marked pending, cancellable): STATUS_PENDING.
  STDMETHOD(Stop)(PFILE_OBJECT File, PIRP Irp) = 0;
  STDMETHOD(CanSampleMode)(PFILE_OBJECT File, ULONG Mode) = 0;
  STDMETHOD(SetSampleMode)(PFILE_OBJECT File, ULONG Mode) = 0;
  STDMETHOD(GetSampleMode)(PFILE_OBJECT File, PULONG Mode) = 0;
  // The client's last handle closed (IRP_MJ_CLEANUP, in the context of whichever process
  // closed it): a Stop it left parked is cancelled and the buffers it owns are released,
  // unmapped in the process they were mapped into. STATUS_UNSUCCESSFUL when a ring is
  // still in use and stays; no client: STATUS_SUCCESS (nothing to do).
  STDMETHOD(CleanupClient)(PFILE_OBJECT File) = 0;
};
using PASIOPRIVATE = IAsioPrivate*;

// Buffer length {first, second} of a latency index at a rate in a mode (an index past the
// table reads as its last entry). Integer arithmetic throughout.
void AsioBufferLength(ULONG Mode, ULONG Rate, ULONG Index, ULONG Lengths[2]);
// Buffer sizes {min, max, preferred, granularity}; STATUS_INVALID_PARAMETER for a DSD rate
// below 64 x 44.1 kHz or a multiple of neither 44,100 nor 48,000.
NTSTATUS AsioBufferSize(ULONG Mode, ULONG Rate, ULONG Index, ULONG Sizes[4]);
// Units per millisecond the streams are sized by: PCM frames (rate / 1000), DSD 8-byte
// units per channel (rate / 64000); at least 1, so no rate divides by zero.
ULONG AsioUnitsPerMs(ULONG Mode, ULONG Rate);
// The ASIO sample type an engine format offers (16, 17, 24, 27, 18), 0 for none.
ULONG AsioSampleTypeOf(const WAVEFORMATEXTENSIBLE& Format);
// Whether an engine format serves a mode, and a rate in that mode. A DSD entry packs
// wBitsPerSample one-bit samples per channel pair into each sample; one with no bits or
// fewer than two channels never matches.
bool AsioFormatHasMode(const WAVEFORMATEXTENSIBLE& Format, ULONG Mode);
bool AsioFormatHasRate(const WAVEFORMATEXTENSIBLE& Format, ULONG Mode, ULONG Rate);

}  // namespace adapter
