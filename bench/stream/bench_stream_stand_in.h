// The stand-in below the stream engines' benchmarks: a root device with one streaming
// interface (an idle setting and one 48 kHz stereo 16-bit setting on one isochronous
// endpoint) whose bus keeps every isochronous URB pending until the benchmark completes
// it, so the bus simulation is not part of the figures; the WaveCyclic stream's part as a
// cyclic buffer; and a unity-gain effect object.
#pragma once

#include <cstring>
#include <vector>

#include "adapter/audio_hal.h"
#include "adapter/dsp_node.h"
#include "adapter/object_model.h"
#include "adapter/usb_audio_device.h"
#include "kernel/io.h"
#include "kernel/nt.h"
#include "kernel/sched.h"
#include "stream/usb_stream_engine.h"

namespace bench_stream {


inline constexpr ULONG kBenchTag = MakePoolTag('B', 's', 'n', 'd');
inline constexpr UCHAR kInterface = 1;

// The streaming endpoint: OUT endpoint 1 for a speaker, IN endpoint 1 for a microphone.
inline UCHAR g_endpoint = 0x01;

// The configuration: control interface 0, streaming interface 1 with an idle setting and
// one 48 kHz stereo 16-bit setting on g_endpoint.
inline std::vector<UCHAR> Configuration() {
  std::vector<UCHAR> c = {9, 2, 0, 0, 2, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 1, 1, 0, 0,
                          9, 4, kInterface, 0, 0, 1, 2, 0, 0, 9, 4, kInterface, 1, 1, 1, 2, 0, 0,
                          9, 5, g_endpoint, 0x05, 196, 0, 1, 0, 0};
  c[2] = static_cast<UCHAR>(c.size());
  return c;
}

// The URBs the device holds, oldest first (never more than the ten transfer slots).
struct Pending {
  PIRP irps[16];
  unsigned head = 0, count = 0;
  void Push(PIRP irp) { irps[(head + count++) % 16] = irp; }
  PIRP Pop() {
    PIRP irp = irps[head];
    head = (head + 1) % 16;
    --count;
    return irp;
  }
};
inline Pending g_pending;

inline NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

// The device below: every URB stays pending until the benchmark completes it.
inline NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_INTERFACE) {
    auto& info = urb->UrbSelectInterface.Interface;
    info.NumberOfPipes = info.AlternateSetting ? 1 : 0;
    if (info.NumberOfPipes) {
      info.Pipes[0] = {196, g_endpoint, 1, UsbdPipeTypeIsochronous, reinterpret_cast<USBD_PIPE_HANDLE>(0x1000), 4096, 0};
    }
  }
  if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) {
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  IoMarkIrpPending(irp);
  g_pending.Push(irp);
  return STATUS_PENDING;
}

// The root device's USB face, enough for one render engine.
class CBenchDevice : public adapter::IUsbAudioDevice, public adapter::CAudioHal {
 public:
  CBenchDevice(PUNKNOWN outer, PDEVICE_OBJECT lower) : CAudioHal(outer), m_pLower(lower), m_Config(Configuration()) {}
  DECLARE_STD_UNKNOWN() {
    if (object && IsEqualGUID(iid, adapter::IID_IUsbAudioDevice))
      return adapter::ReturnInterface<adapter::IUsbAudioDevice>(this, object);
    return CAudioHal::NonDelegatingQueryInterface(iid, object);
  }
  STDMETHODIMP_(PUSB_CONFIGURATION_DESCRIPTOR) GetConfigurationDescriptor() override {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_Config.data());
  }
  STDMETHODIMP_(USBD_CONFIGURATION_HANDLE) GetConfigurationHandle() override {
    return reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x100);
  }
  STDMETHODIMP_(UCHAR) GetControlInterfaceNumber() override { return 0; }
  STDMETHODIMP SetDevicePresent(UCHAR) override { return STATUS_SUCCESS; }
  STDMETHODIMP CallDriver(PIRP irp) override { return IoCallDriver(m_pLower, irp); }
  STDMETHODIMP SubmitUrbSync(PURB urb) override {
    PIRP irp = AllocateIrp();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(m_pLower, irp);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
  }
  STDMETHODIMP GetCurrentFrame(PULONG frame) override {
    *frame = 100;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(PIRP) AllocateIrp() override { return IoAllocateIrp(m_pLower->StackSize + 1, FALSE); }
  STDMETHODIMP FreeIrp(PIRP irp) override {
    IoFreeIrp(irp);
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(UCHAR) IsHighSpeed() override { return 0; }
  STDMETHODIMP_(bool) CheckPort() override { return false; }
  STDMETHODIMP_(bool) CyclePort() override { return false; }
  STDMETHODIMP_(PDEVICE_OBJECT) GetLowerDevice() override { return m_pLower; }
  STDMETHODIMP_(ULONG) AddActivity() override { return 1; }
  STDMETHODIMP_(ULONG) ReleaseActivity() override { return 0; }
  STDMETHODIMP CreateFunction() override { return STATUS_SUCCESS; }

 private:
  PDEVICE_OBJECT m_pLower;
  std::vector<UCHAR> m_Config;
};

// The WaveCyclic stream's part: copy what the fill record asks for out of a cyclic
// buffer, or what the capture record carries into it.
struct CyclicClient {
  std::vector<UCHAR> dma = std::vector<UCHAR>(192 * 40);
  ULONG position = 0;
  static VOID Fill(PVOID context, PVOID argument, PVOID) {
    auto* self = static_cast<CyclicClient*>(context);
    const auto* r = static_cast<const stream::StreamEngineRecord*>(argument);
    if (r->Code == stream::STREAM_NOTIFY_CAPTURE_DATA) return self->Store(r);
    if (r->Code != stream::STREAM_NOTIFY_RENDER_FILL) return;
    auto* out = static_cast<UCHAR*>(r->Payload.Buffer);
    ULONG left = r->Length;
    self->filled += left;
    while (left) {
      ULONG piece = static_cast<ULONG>(self->dma.size()) - self->position;
      if (piece > left) piece = left;
      std::memcpy(out, self->dma.data() + self->position, piece);
      self->position = (self->position + piece) % static_cast<ULONG>(self->dma.size());
      out += piece;
      left -= piece;
    }
  }
  ULONGLONG filled = 0;  // render bytes asked for
  ULONGLONG stored = 0;  // capture bytes received
  void Store(const stream::StreamEngineRecord* r) {
    const auto* in = static_cast<const UCHAR*>(r->Payload.Buffer);
    ULONG left = r->Length;
    stored += left;
    while (left) {
      ULONG piece = static_cast<ULONG>(dma.size()) - position;
      if (piece > left) piece = left;
      std::memcpy(dma.data() + position, in, piece);
      position = (position + piece) % static_cast<ULONG>(dma.size());
      in += piece;
      left -= piece;
    }
  }
};

// A unity-gain object: touches every sample once, as the lightest real object would.
class CUnityNode : public adapter::IDspNode, public CUnknown {
 public:
  explicit CUnityNode(PUNKNOWN outer) : CUnknown(outer) {}
  DECLARE_STD_UNKNOWN() {
    if (object && IsEqualGUID(iid, adapter::IID_IDspNode)) return adapter::ReturnInterface<IDspNode>(this, object);
    return CUnknown::NonDelegatingQueryInterface(iid, object);
  }
  STDMETHODIMP Reserved1() override { return STATUS_SUCCESS; }
  STDMETHODIMP Reserved2() override { return STATUS_SUCCESS; }
  STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
  STDMETHODIMP ResetState() override { return STATUS_SUCCESS; }
  STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override {
    auto** channels = static_cast<float**>(data);
    for (ULONG c = 0; c < format->Format.nChannels; ++c) {
      for (ULONG i = 0; i < frames; ++i) channels[c][i] *= gain;
    }
    return STATUS_SUCCESS;
  }
  STDMETHODIMP Reset() override { return STATUS_SUCCESS; }
  volatile float gain = 1.0f;
};

inline WAVEFORMATEXTENSIBLE Stereo48() {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = 2;
  f.Format.nSamplesPerSec = 48000;
  f.Format.wBitsPerSample = 16;
  f.Format.nBlockAlign = 4;
  f.Format.nAvgBytesPerSec = 48000 * 4;
  f.Format.cbSize = 22;
  f.Samples.wValidBitsPerSample = 16;
  f.dwChannelMask = KSAUDIO_SPEAKER_STEREO;
  f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  return f;
}

}  // namespace bench_stream
