// The UAC 1.0 engines: an OUT endpoint (adaptive or synchronous) and an IN endpoint on
// the shared isochronous machinery of CUsbStreamEngine. The render engine lays its
// packets out by the nominal rate, carrying the fraction of a frame from packet to
// packet (44.1 kHz at full speed: nine packets of 44 frames and one of 45 in every ten);
// the capture engine asks for packets of the endpoint's size and copies what arrives into
// its 40 ms ring, from which clients get whole frames.
#pragma once

#include "stream/usb_stream_engine.h"

namespace stream {

class CUac1RenderStream : public CUsbStreamEngine {
 public:
  CUac1RenderStream(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId);

  // Under the engine mutex, in state 0 only (else STATUS_INSUFFICIENT_RESOURCES with
  // nothing changed): the record's format and its alternate setting, packets per frame
  // (an unusable high-speed interval: STATUS_NOT_SUPPORTED), transfer buffers with one
  // spare frame per packet, and the shared allocation.
  STDMETHODIMP AllocateResources(PSTREAMCLIENTRECORD Record, PULONG BusFrame) override;
  // The setting with its OUT data pipe; with a record, the record's rate to the endpoint
  // (a device that refuses it still plays).
  STDMETHODIMP SelectAltSetting(UCHAR AlternateSetting, PSTREAMCLIENTRECORD Record) override;
  // Under the send lock: a free transfer (none: STATUS_BUFFER_TOO_SMALL) laid out by the
  // rate, zeroed, filled by the clients, processed and sent. Not running or the device
  // gone: success, nothing sent.
  STDMETHODIMP SendStreamUrb() override;
  STDMETHODIMP OnUrbComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, UrbContext* Context) override;
  STDMETHODIMP Restart() override;

  LONG GetSampleRemainder() const { return m_lSampleRemainder; }

 protected:
  // Lays the URB's packets out by the rate (offsets and lengths in client bytes) and
  // returns the bytes of all of them.
  ULONG LayOutPackets(PURB Urb, ULONG Packets);
  // The first packet with a failing status becomes the URB's status; its index, or
  // Packets when none failed.
  ULONG TakePacketStatus(PURB Urb);

  ULONG m_nNominalRate;      // Hz, the client format's rate
  LONG m_lSampleRemainder;   // fraction of a frame carried between packets, in 1/(packets per s)
};

class CUac1CaptureStream : public CUsbStreamEngine {
 public:
  CUac1CaptureStream(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId);

  // As the render engine's, with at least 10 ms of URBs queued (the record's URB count is
  // raised to match) and packets of the data endpoint's size; an endpoint too small for
  // one frame: STATUS_NOT_SUPPORTED.
  STDMETHODIMP AllocateResources(PSTREAMCLIENTRECORD Record, PULONG BusFrame) override;
  // The setting with its IN data pipe; with a record, the record's rate to the endpoint,
  // whose refusal is returned.
  STDMETHODIMP SelectAltSetting(UCHAR AlternateSetting, PSTREAMCLIENTRECORD Record) override;
  STDMETHODIMP SendStreamUrb() override;
  STDMETHODIMP OnUrbComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, UrbContext* Context) override;

 private:
  // Under the ring lock: the packets into the ring (an empty packet with a good status
  // as silence), then every whole frame to the clients, processed in place.
  void CopyCaptureData(UrbContext* Context);
};

}  // namespace stream
