// CChipARenderStream: chip class A's render engine, a UAC 1.0 render engine (10 ms per
// URB) that keeps the chip A function. After every streaming alternate-setting selection
// it programs the chip's register 0 with the stream's rate (44.1, 48 or 96 kHz; other
// rates leave the bits alone) and data kind (PCM or IEC 61937); the write's result does
// not decide the selection. When it is named it rewrites its format lists by the kind of
// output it plays: a speaker gets neither AC-3 nor 96 kHz PCM, headphones 96 kHz PCM on
// alternate setting 5, S/PDIF the three AC-3 formats and 96 kHz PCM.
#pragma once

#include "stream/uac1_stream_engines.h"

namespace uac {
class CChipAFunction;
}

namespace stream {

// Register 0 of the chip: rate bits and the data-kind bit.
inline constexpr ULONG kChipARateRegister = 0;
inline constexpr USHORT kChipARateMask = 0x7000;
inline constexpr USHORT kChipARate44100 = 0x0000;
inline constexpr USHORT kChipARate48000 = 0x2000;
inline constexpr USHORT kChipARate96000 = 0x6000;
inline constexpr USHORT kChipADataKindMask = 0x0002;
inline constexpr USHORT kChipADataKindCompressed = 0x0002;
// The alternate settings of the formats the engine adds.
inline constexpr UCHAR kChipAHighRateAlt = 5;
inline constexpr UCHAR kChipACompressedAlt = 2;
// IEC 61937 AC-3: the sub-format's first field.
inline constexpr USHORT kChipAAc3Tag = 0x0092;

class CChipARenderStream : public CUac1RenderStream {
 public:
  CChipARenderStream(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId);

  // CUsbStreamEngine::Init for rendering, then keeps the chip A function (not referenced:
  // the function owns the engine).
  NTSTATUS Init(ULONG Direction, adapter::IAudioHal* Owner, uac::CChipAFunction* Function);
  using CUac1RenderStream::Init;

  // The base's name; then the format lists by the endpoint type (see the header). The
  // base's refusal is returned before the lists are touched. Named again, the lists come
  // out the same.
  // Under the engine mutex; a format an attached client uses is kept until it leaves.
  STDMETHODIMP SetName(PCWSTR Name) override;
  // The base's; then the formats kept for clients at the last naming that none uses any
  // more are taken out.
  STDMETHODIMP UnregisterClient(ULONGLONG Key) override;
  // The UAC 1.0 selection; after a streaming setting with a record, register 0's rate and
  // data-kind bits for the record's format.
  STDMETHODIMP SelectAltSetting(UCHAR AlternateSetting, PSTREAMCLIENTRECORD Record) override;

  uac::CChipAFunction* GetChipFunction() const { return m_pChipFunction; }

 private:
  // Takes every format of the tag (and, when Rate is not 0, of that rate) out of both
  // lists and the format records.
  // Formats a registered or prepared client uses are kept (and remembered as kept).
  void RemoveFormats(USHORT Tag, ULONG Rate);
  // Whether an attached client's format is the format; the engine mutex is held (the client
  // lists change only under it).
  bool IsFormatInUseLocked(const WAVEFORMATEXTENSIBLE& Format) const;
  // Adds the format unless the lists hold it already.
  void AddMissingFormat(ULONG Rate, USHORT Tag, UCHAR AlternateSetting);
  // The format lists by the endpoint type (under the engine mutex).
  void UpdateKindFormats();
  void ProgramRegisters(const WAVEFORMATEXTENSIBLE& Format);

  uac::CChipAFunction* m_pChipFunction;
  bool m_bFormatsKept;  // the last naming kept formats of attached clients
};

// The format tag a chip A format goes by: wFormatTag, or the sub-format's tag for an
// extensible format.
USHORT ChipAFormatTag(const WAVEFORMATEXTENSIBLE& Format);

}  // namespace stream
