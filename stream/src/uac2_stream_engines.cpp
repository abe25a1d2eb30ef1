#include "stream/uac2_stream_engines.h"

#include "adapter/audio_class.h"
#include "adapter/usb_audio_device.h"

namespace stream {

namespace {

// The valid-alternates control of a UAC 2.0 streaming interface: CUR, selector 2; the
// reply is bControlSize and then the bitmap (bit n of byte 1 + n / 8 is setting n).
constexpr UCHAR kCur = 0x01;
constexpr USHORT kValidAltSettings = 0x0200;
constexpr ULONG kReplyBytes = 5;  // at most 4 bitmap bytes: settings 0 to 31

}  // namespace

CUac2StreamEngine::CUac2StreamEngine(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId,
                                     ULONG clockNodeId)
    : CUsbStreamEngine(outerUnknown, interfaceNumber, terminalNodeId), m_nClockNodeId(clockNodeId) {}

STDMETHODIMP_(BOOLEAN) CUac2StreamEngine::IsAltSettingValid(UCHAR AlternateSetting) {
  if (AlternateSetting == 0) return TRUE;
  if (!m_pOwner || AlternateSetting >= 8 * (kReplyBytes - 1)) return FALSE;
  PVOID itf = nullptr;
  if (!NT_SUCCESS(m_pOwner->QueryInterface(adapter::IID_IUsbAudioDevice, &itf))) return FALSE;
  auto* device = static_cast<adapter::IUsbAudioDevice*>(itf);
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), kUac2StreamTag));
  UCHAR reply[kReplyBytes] = {};
  BOOLEAN valid = FALSE;
  if (urb) {
    RtlZeroMemory(urb, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    auto& r = urb->UrbControlVendorClassRequest;
    r.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    r.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
    r.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    r.TransferBuffer = reply;
    r.TransferBufferLength = kReplyBytes;
    r.Request = kCur;
    r.Value = kValidAltSettings;
    r.Index = static_cast<USHORT>(GetEngineId());
    if (NT_SUCCESS(device->SubmitUrbSync(urb))) {
      // Only what the device sent counts: a short reply names no setting past its end.
      const ULONG got = r.TransferBufferLength < kReplyBytes ? r.TransferBufferLength : kReplyBytes;
      const ULONG byte = 1 + AlternateSetting / 8;
      valid = got > byte && AlternateSetting < 8u * reply[0] && (reply[byte] >> (AlternateSetting % 8)) & 1;
    }
    ExFreePoolWithTag(urb, kUac2StreamTag);
  }
  device->Release();
  return valid;
}

}  // namespace stream
