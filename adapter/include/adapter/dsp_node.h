// IDspNode: a node that works on the stream's audio itself. The stream engine keeps every
// path node that answers it in its processing list, hands it the format when a stream
// starts and calls Process on every buffer.
//
// Process data: for a PCM stream (format tag 1) an array of nChannels pointers to planar
// 32-bit float buffers of Frames samples each; for any other format one interleaved buffer
// of nBlockAlign x Frames bytes. The format tag is wFormatTag, or the low 16 bits of the
// SubFormat's first field for an extensible format.
#pragma once

#include "adapter/stream_engine.h"
#include "kernel/nt.h"
#include "portcls/ksmedia.h"

namespace adapter {

struct IDspNode : IUnknown {
  // Two operations the processing chain does not use; their results differ per node.
  STDMETHOD(Reserved1)() = 0;
  STDMETHOD(Reserved2)() = 0;
  STDMETHOD(SetFormat)(const WAVEFORMATEXTENSIBLE* Format) = 0;
  STDMETHOD(ResetState)() = 0;
  // Always succeeds; the caller never passes null data.
  STDMETHOD(Process)(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) = 0;
  STDMETHOD(Reset)() = 0;
};
using PDSPNODE = IDspNode*;

// The format tag Process goes by.
inline WORD DspFormatTag(const WAVEFORMATEXTENSIBLE* Format) {
  if (Format->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) return static_cast<WORD>(Format->SubFormat.Data1);
  return Format->Format.wFormatTag;
}

}  // namespace adapter
