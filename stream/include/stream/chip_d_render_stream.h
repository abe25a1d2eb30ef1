// CTZ4180Render: the render engine of a chip class D function. The device plays two
// channels, but the engine's formats are announced with eight (the builder's), so that
// clients and the processing chain (the chip's reverb and headphone virtualiser among
// it) work in the full multichannel format. Each transfer is filled and processed in the
// client's format; then only channels 0 and 1 of every frame go to the device.
#pragma once

#include "stream/uac1_stream_engines.h"

namespace stream {

// Moves channels 0 and 1 of each of `Frames` frames of `BlockAlign` bytes to the front
// of the same buffer, packed (2 x `BytesPerSample` bytes a frame), and returns the bytes
// they take. In place: a frame's destination never lies past its source. BytesPerSample
// is 2, 3 or 4 and BlockAlign at least twice it; anything else moves nothing (0).
ULONG PackFirstTwoChannels(PUCHAR Buffer, ULONG Frames, ULONG BlockAlign, ULONG BytesPerSample);

class CTZ4180Render : public CUac1RenderStream {
 public:
  CTZ4180Render(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId);

  // The UAC 1.0 render allocation for formats the packing can carry: an even number of
  // channels of 16, 24 or 32 bits in blocks without padding; any other (one channel, an
  // odd count, 20 bits...): STATUS_NOT_SUPPORTED before anything is allocated.
  STDMETHODIMP AllocateResources(PSTREAMCLIENTRECORD Record, PULONG BusFrame) override;
  // As the UAC 1.0 render send, then the packing: every packet keeps its frames, now of
  // two channels, at its new offset.
  STDMETHODIMP SendStreamUrb() override;
  // As the UAC 1.0 render completion, with URB-done counted in the client's bytes (the
  // device frames at the client's block size) and the failure messages of this engine.
  STDMETHODIMP OnUrbComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, UrbContext* Context) override;

 private:
  ULONG m_nBytesPerSample;  // of the client format; the device frame is twice it
};

}  // namespace stream
