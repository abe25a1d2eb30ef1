// Stand-ins for the WaveCyclic miniport's tests: a USB stream engine whose transfers are
// the test's (it publishes the records a real engine would, when the test says so), and a
// WaveCyclic port that counts its notifications.
#pragma once

#include <atomic>
#include <vector>

#include "adapter/object_model.h"
#include "kernel/ke.h"
#include "portcls/portcls.h"
#include "stream/usb_stream_engine.h"
#include "support/model_doubles.h"

namespace filters_test {

inline constexpr ULONG kDoubleTag = MakePoolTag('T', 'w', 'a', 'v');
inline constexpr ULONG kBusFrame = 500;

class CFakeEngine : public stream::CUsbStreamEngine {
 public:
  using CUsbStreamEngine::CUsbStreamEngine;

  STDMETHODIMP AllocateResources(stream::PSTREAMCLIENTRECORD, PULONG BusFrame) override {
    if (failAllocation) return STATUS_INSUFFICIENT_RESOURCES;
    SetStreamState(stream::STREAM_STATE_ALLOCATED);
    *BusFrame = kBusFrame;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP FreeResources() override {
    SetStreamState(stream::STREAM_STATE_NO_RESOURCES);
    return STATUS_SUCCESS;
  }
  STDMETHODIMP SendStreamUrb() override { return sendStatus; }
  STDMETHODIMP SetContentId(ULONG ContentId, PVOID DrmRights) override {
    contentId = ContentId;
    drmRights = DrmRights;
    return contentStatus;
  }
  STDMETHODIMP Start(ULONG StartFrame, UCHAR Explicit) override {
    startFrame = StartFrame;
    return CUsbStreamEngine::Start(StartFrame, Explicit);
  }

  // Records as a running engine publishes them, at DISPATCH_LEVEL.
  void Publish(ULONG code, PVOID buffer, ULONG length, ULONG value = 0, ULONG urbs = 0) {
    stream::StreamEngineRecord record{};
    record.Client = GetCurrentClient();
    record.Code = code;
    if (code == stream::STREAM_NOTIFY_URB_DONE) {
      record.Payload.ByteCount = value;
    } else if (code == stream::STREAM_NOTIFY_FORMAT) {
      record.Payload.Format.MsPerUrb = value;
      record.Payload.Format.UrbsInFlight = urbs;
    } else {
      record.Payload.Buffer = buffer;
      record.Length = length;
    }
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    CUsbStreamEngine::Publish(&record);
    KeLowerIrql(old);
  }
  void Fill(PVOID buffer, ULONG bytes) { Publish(stream::STREAM_NOTIFY_RENDER_FILL, buffer, bytes); }
  void Done(ULONG bytes) { Publish(stream::STREAM_NOTIFY_URB_DONE, nullptr, 0, bytes); }
  void Captured(PVOID buffer, ULONG bytes) { Publish(stream::STREAM_NOTIFY_CAPTURE_DATA, buffer, bytes); }
  void FormatRecord(ULONG msPerUrb, ULONG urbs) { Publish(stream::STREAM_NOTIFY_FORMAT, nullptr, 0, msPerUrb, urbs); }

  bool failAllocation = false;
  NTSTATUS sendStatus = STATUS_SUCCESS;
  ULONG startFrame = 0;
  ULONG contentId = 0;
  PVOID drmRights = nullptr;
  NTSTATUS contentStatus = STATUS_SUCCESS;
};

// Makes an engine of the direction with the given formats (alternate setting i + 1 each).
inline CFakeEngine* NewFakeEngine(ULONG direction, const std::vector<WAVEFORMATEXTENSIBLE>& formats) {
  auto* engine = new (NonPagedPool, kDoubleTag) CFakeEngine(nullptr, 1, 0);
  static_cast<stream::IUsbStreamEngine*>(engine)->AddRef();
  engine->Init(direction, nullptr);
  UCHAR alternate = 1;
  for (const auto& f : formats) engine->AddStreamFormat(&f, alternate++);
  return engine;
}

class CFakePort : public IPortWaveCyclic, public CUnknown {
 public:
  explicit CFakePort(PUNKNOWN outer) : CUnknown(outer) {}
  DECLARE_STD_UNKNOWN() {
    if (!object) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IPortWaveCyclic) || IsEqualGUID(iid, IID_IPort))
      return adapter::ReturnInterface<IPortWaveCyclic>(this, object);
    return CUnknown::NonDelegatingQueryInterface(iid, object);
  }
  STDMETHODIMP Init(PDEVICE_OBJECT, PIRP, PUNKNOWN, PUNKNOWN, PRESOURCELIST) override { return STATUS_SUCCESS; }
  STDMETHODIMP GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP NewRegistryKey(PREGISTRYKEY*, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG,
                              PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(void) Notify(PSERVICEGROUP ServiceGroup) override {
    if (ServiceGroup) ++notifications;
  }
  std::atomic<ULONG> notifications{0};
};

inline CFakePort* NewFakePort() {
  IPortWaveCyclic* port = nullptr;
  adapter::CreateInstance<CFakePort>(&port, nullptr, NonPagedPool, kDoubleTag);
  return static_cast<CFakePort*>(port);
}

}  // namespace filters_test
