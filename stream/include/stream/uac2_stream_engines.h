// The UAC 2.0 engines: an asynchronous OUT endpoint with its explicit feedback endpoint,
// and an IN endpoint, each clocked by a clock source of the function. The builders need
// their construction and the valid-alternate-settings check; isochronous streaming builds
// on the USB stream engine.
#pragma once

#include "stream/usb_stream_engine.h"

namespace stream {

inline constexpr ULONG kUac2StreamTag = MakePoolTag('U', 'S', '2', '0');

class CUac2StreamEngine : public CUsbStreamEngine {
 public:
  CUac2StreamEngine(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId, ULONG clockNodeId);

  // Setting 0 always; another when the interface's valid-alternates control (CUR,
  // selector 2) has its bit set. A failed request: not valid.
  STDMETHODIMP_(BOOLEAN) IsAltSettingValid(UCHAR AlternateSetting) override;

  // The identifier of the rate control of the clock that clocks the interface.
  ULONG GetClockNodeId() const { return m_nClockNodeId; }

 protected:
  ULONG m_nClockNodeId;
};

class CUac2RenderStream : public CUac2StreamEngine {
 public:
  CUac2RenderStream(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId, ULONG clockNodeId)
      : CUac2StreamEngine(outerUnknown, interfaceNumber, terminalNodeId, clockNodeId) {}
};

class CUac2CaptureStream : public CUac2StreamEngine {
 public:
  CUac2CaptureStream(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId, ULONG clockNodeId)
      : CUac2StreamEngine(outerUnknown, interfaceNumber, terminalNodeId, clockNodeId) {}
};

}  // namespace stream
