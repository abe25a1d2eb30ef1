// Recovery of a running stream after a transfer error, on the engine's control thread
// under the engine mutex, and the content-protection forwarding every engine answers.
// The completions only mark the error (the work interlock at 2) and stop sending, so the
// queue drains; the thread then waits for the last URB, drops the interface to its
// zero-bandwidth setting, tells the clients the stream starts over and restarts it.
#include "adapter/object_model.h"
#include "portcls/portcls.h"
#include "stream/usb_stream_engine.h"

namespace stream {

STDMETHODIMP CUsbStreamEngine::Recover() {
  if (!m_pOwner) return STATUS_UNSUCCESSFUL;
  PVOID itf = nullptr;
  NTSTATUS status = m_pOwner->QueryInterface(adapter::IID_IAudioHal, &itf);
  if (!NT_SUCCESS(status)) return status;
  auto* hal = static_cast<adapter::IAudioHal*>(itf);
  // The device object stays while the recovery talks to the device.
  PDEVICE_OBJECT deviceObject = hal->GetDeviceObject();
  if (deviceObject) ObReferenceObject(deviceObject);
  hal->Release();
  adapter::IUsbAudioDevice* device = QueryDevice();
  if (!device) {
    if (deviceObject) ObDereferenceObject(deviceObject);
    return STATUS_UNSUCCESSFUL;
  }

  // Every URB is back: nothing is outstanding while the interface changes.
  KeWaitForSingleObject(&m_AllBackEvent, Executive, KernelMode, FALSE, nullptr);
  InterlockedExchange(&m_lWorkInterlock, 0);
  const bool gone = device->CheckPort();
  __atomic_store_n(&m_bDeviceGone, gone ? 1 : 0, __ATOMIC_SEQ_CST);
  if (gone) {
    status = STATUS_DEVICE_NOT_CONNECTED;
  } else {
    LARGE_INTEGER delay;
    delay.QuadPart = -kRecoveryDelayMs * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    status = SelectZeroBandwidth();
    if (!NT_SUCCESS(status)) {
      device->CyclePort();
    } else {
      // Every client resets its position and conversion.
      if (m_pCurrentClient) PublishFormat(m_pCurrentClient, true);
      status = Restart();
      if (!NT_SUCCESS(status)) device->CyclePort();
    }
  }
  device->Release();
  if (deviceObject) ObDereferenceObject(deviceObject);
  return status;
}

STDMETHODIMP CUsbStreamEngine::Restart() {
  adapter::IUsbAudioDevice* device = QueryDevice();
  if (!device) return STATUS_UNSUCCESSFUL;
  adapter::ScopedRelease<adapter::IUsbAudioDevice> held(device);
  if (!m_pCurrentClient) return STATUS_UNSUCCESSFUL;
  UCHAR alt = 0;
  NTSTATUS status = FindAltSetting(&m_pCurrentClient->Format.Format, &alt);
  if (!NT_SUCCESS(status)) return status;
  status = SelectAltSetting(alt, m_pCurrentClient);
  if (!NT_SUCCESS(status)) return status;

  KIRQL irql;
  KeAcquireSpinLock(&m_RingLock, &irql);
  m_nRingRead = 0;
  m_nRingWrite = 0;
  KeReleaseSpinLock(&m_RingLock, irql);
  InterlockedExchange(&m_lUrbsOutstanding, 0);
  KeClearEvent(&m_WorkEvent);
  ULONG frame = 0;
  device->GetCurrentFrame(&frame);  // the frame is what counts, not the status
  m_nNextStartFrame = frame + kRestartFrameOffset;
  InterlockedExchange(&m_lWorkInterlock, 0);

  status = STATUS_SUCCESS;
  for (ULONG i = 0; i < m_nUrbsInFlight; ++i) {
    status = SendStreamUrb();
    if (!NT_SUCCESS(status)) break;
  }
  return status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
}

STDMETHODIMP CUsbStreamEngine::SetContentId(ULONG ContentId, PVOID) {
  adapter::IUsbAudioDevice* device = QueryDevice();
  if (!device) return STATUS_UNSUCCESSFUL;
  DRMFORWARD forward{};
  forward.Flags = DRMFORWARD_FLAGS_NONE;
  forward.DeviceObject = device->GetLowerDevice();
  // The pipe table changes only under the engine mutex.
  m_EngineMutex.Lock();
  const USBD_PIPE_INFORMATION* pipe = GetDataPipe();
  PVOID handle = pipe ? pipe->PipeHandle : nullptr;
  m_EngineMutex.Unlock();
  forward.FileObject = static_cast<PFILE_OBJECT>(handle);
  forward.Context = handle;
  const NTSTATUS status = PcForwardContentToDeviceObject(ContentId, nullptr, &forward);
  device->Release();
  return status;
}

}  // namespace stream
