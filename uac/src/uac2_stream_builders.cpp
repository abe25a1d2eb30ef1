// The UAC 2.0 reading of the Audio Streaming descriptors: the engine of an interface is
// clocked by its terminal's clock source, its channels come from AS_GENERAL, and its rates
// from that clock's rate list.
#include "adapter/audio_class.h"
#include "adapter/object_model.h"
#include "adapter/ref_list.h"
#include "stream_builder.h"
#include "uac/control_interfaces.h"
#include "uac/uac2_function.h"
#include "uac/uac2_units.h"
#include "uac/unit_interfaces.h"

namespace uac {
namespace {

using adapter::FORMAT_TYPE_I;
using adapter::FORMAT_TYPE_III;

// AS_GENERAL (2.0) up to bmChannelConfig; a Type I or III format-type descriptor up to
// bBitResolution.
constexpr ULONG kAsGeneral2Length = 15;
constexpr ULONG kFormatType2Length = 6;

// bmFormats: PCM (bit 0), IEC 61937 AC-3 (bit 0 of Type III), WMA Pro (bit 12 of Type
// III), and the raw-data bits a Type I setting marks a vendor format with.
constexpr ULONG kFormatPcm = 1u << 0;
constexpr ULONG kFormatWmaPro = 1u << 12;
constexpr ULONG kFormatRawData = (1u << 31) | (1u << 15);

// The extensible-format sub-types: the PCM GUID's first field replaced.
constexpr ULONG kSubFormatAc3Spdif = 0x0092;
constexpr ULONG kSubFormatWmaPro = 0x0164;
constexpr ULONG kSubFormatRawData = 0x0E7A;

// The rates a clock lists are read into a list of at most this many.
constexpr ULONG kMaxRates = 64;

ULONG Read32(const UCHAR* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<ULONG>(p[3]) << 24; }

class Uac2StreamBuilder : public StreamBuilder {
 public:
  Uac2StreamBuilder(CUac2Function& function, const StreamEngineFactory* factory)
      : StreamBuilder(function, factory, kUac2FunctionTag) {
    mixerTerminalMode_ = true;
  }

 protected:
  NTSTATUS OnGeneral(const UCHAR* d, ULONG at, UCHAR interfaceNumber, adapter::CStreamEngine** engine) override;
  NTSTATUS OnFormatType(const UCHAR* d, ULONG at, UCHAR interfaceNumber, UCHAR alternate,
                        adapter::CStreamEngine* engine) override;

 private:
  NTSTATUS ClockNodeOf(const UCHAR* general, ULONG at, adapter::IUacEntity* terminal, PULONG clockNode);
  NTSTATUS AddUac2Formats(adapter::CStreamEngine* engine, UCHAR alternate, const WAVEFORMATEXTENSIBLE& format);
  NTSTATUS Add(adapter::CStreamEngine* engine, WAVEFORMATEXTENSIBLE& format, ULONG subFormat, UCHAR alternate);

  ULONG clockNode_ = 0;
  UCHAR formatType_ = 0;
  ULONG formats_ = 0;
  ULONG channels_ = 0;
  ULONG channelConfig_ = 0;
};

NTSTATUS Uac2StreamBuilder::ClockNodeOf(const UCHAR* general, ULONG at, adapter::IUacEntity* terminal,
                                        PULONG clockNode) {
  ULONG clockId = 0;
  {
    adapter::ScopedRelease<IUacClockLink> link;
    NTSTATUS status = terminal->QueryInterface(IID_IUacClockLink, link.out());
    if (NT_SUCCESS(status)) status = link.p->GetClockSourceId(&clockId);
    if (!NT_SUCCESS(status)) return Fail(at, general, general[3], status, "the streaming terminal names no clock");
  }
  adapter::IUacEntity* clock = nullptr;
  NTSTATUS status = f_.FindEntityById(clockId, &clock);
  if (!NT_SUCCESS(status))
    return Fail(at, general, general[3], status, "the streaming terminal's clock is not a clock source of this function");
  adapter::ScopedRelease<IUacUnit> unit;
  status = clock->QueryInterface(IID_IUacUnit, unit.out());
  if (NT_SUCCESS(status)) status = unit.p->GetOutputNodeId(clockNode);
  return status;
}

NTSTATUS Uac2StreamBuilder::OnGeneral(const UCHAR* d, ULONG at, UCHAR interfaceNumber,
                                      adapter::CStreamEngine** engine) {
  if (d[0] < kAsGeneral2Length)
    return Fail(at, d, 0, STATUS_INVALID_PARAMETER, "AS_GENERAL shorter than its channel configuration");
  if (!*engine) {
    adapter::IUacEntity* terminal = nullptr;
    bool render = false;
    ULONG terminalNode = 0;
    NTSTATUS status = FindTerminal(d, at, &terminal, &render, &terminalNode);
    if (NT_SUCCESS(status)) status = ClockNodeOf(d, at, terminal, &clockNode_);
    if (!NT_SUCCESS(status)) return status;
    if (!factory_ || !factory_->CreateClocked)
      return Fail(at, d, d[3], STATUS_NOT_SUPPORTED, "no UAC 2.0 stream engine factory is registered");
    status = factory_->CreateClocked(render ? StreamEngineClass::Uac2Render : StreamEngineClass::Uac2Capture, tag_,
                                     interfaceNumber, terminalNode, clockNode_, static_cast<adapter::IAudioHal*>(&f_),
                                     engine);
    if (!NT_SUCCESS(status)) return status;
    status = AddEngine(d, at, *engine, terminalNode);
    if (!NT_SUCCESS(status)) return status;
  }
  formatType_ = d[5];
  formats_ = Read32(d + 6);
  channels_ = d[10];
  channelConfig_ = Read32(d + 11);
  return STATUS_SUCCESS;
}

NTSTATUS Uac2StreamBuilder::OnFormatType(const UCHAR* d, ULONG at, UCHAR interfaceNumber, UCHAR alternate,
                                         adapter::CStreamEngine* engine) {
  if (!engine || (formatType_ != FORMAT_TYPE_I && formatType_ != FORMAT_TYPE_III))
    return Fail(at, d, 0, STATUS_INVALID_PARAMETER,
                engine ? "format type other than I or III (Type II and unknown types are not supported)"
                       : "format-type descriptor before the interface's AS_GENERAL");
  if (d[0] < kFormatType2Length) return Fail(at, d, 0, STATUS_INVALID_PARAMETER, "format-type descriptor too short");
  const ULONG subslot = d[4], resolution = d[5];
  if (channels_ == 0 || subslot == 0 || resolution > 8 * subslot) {
    // Such a format has no frame size to stream with: the alternate setting is left out.
    DbgPrint("BuildFilters alternate setting %u of interface %u skipped: %u channels, subslot %u, resolution %u\n",
             alternate, interfaceNumber, channels_, subslot, resolution);
    return STATUS_SUCCESS;
  }
  WAVEFORMATEXTENSIBLE format{};
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.nChannels = static_cast<WORD>(channels_);
  format.Format.wBitsPerSample = static_cast<WORD>(8 * subslot);
  format.Format.nBlockAlign = static_cast<WORD>(channels_ * subslot);
  format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  format.Samples.wValidBitsPerSample = static_cast<WORD>(resolution);
  format.dwChannelMask = channelConfig_;
  format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  NTSTATUS status = AddUac2Formats(engine, alternate, format);
  if (!NT_SUCCESS(status)) Fail(at, d, 0, status, "the interface's clock did not list its rates");
  return status;
}

NTSTATUS Uac2StreamBuilder::Add(adapter::CStreamEngine* engine, WAVEFORMATEXTENSIBLE& format, ULONG subFormat,
                                UCHAR alternate) {
  format.SubFormat.Data1 = subFormat;
  return factory_->AddStreamFormat(engine, &format, alternate);
}

NTSTATUS Uac2StreamBuilder::AddUac2Formats(adapter::CStreamEngine* engine, UCHAR alternate,
                                           const WAVEFORMATEXTENSIBLE& format) {
  adapter::IUacEntity* node = nullptr;
  NTSTATUS status = f_.adapter::CAudioHal::FindEntityById(clockNode_, &node);
  if (!NT_SUCCESS(status)) return status;
  adapter::ScopedRelease<IUacClockSource> clock;
  status = node->QueryInterface(IID_IUacClockSource, clock.out());
  if (!NT_SUCCESS(status)) return status;
  ULONG count = 0;
  status = clock.p->GetRateCount(&count);
  if (!NT_SUCCESS(status)) return status;
  if (count == 0) return STATUS_SUCCESS;  // a clock without rates offers no format
  if (count > kMaxRates) count = kMaxRates;
  auto* rates = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), tag_));
  if (!rates) return STATUS_INSUFFICIENT_RESOURCES;
  status = clock.p->GetRates(&count, rates);

  WAVEFORMATEXTENSIBLE f = format;
  const ULONG pcm = format.SubFormat.Data1;
  for (ULONG k = 0; k < count && NT_SUCCESS(status); ++k) {
    const ULONGLONG bytesPerSecond = ULONGLONG{f.Format.nBlockAlign} * rates[k];
    // A rate of 0 (or one whose byte rate does not fit) cannot be streamed: left out.
    if (rates[k] == 0 || bytesPerSecond > 0xFFFFFFFFull) continue;
    f.Format.nSamplesPerSec = rates[k];
    f.Format.nAvgBytesPerSec = static_cast<ULONG>(bytesPerSecond);
    if (formatType_ == FORMAT_TYPE_I) {
      if (formats_ & kFormatPcm) {
        status = Add(engine, f, pcm, alternate);
      } else if (formats_ & kFormatRawData) {
        // The vendor raw-data format is offered only where the clock takes the rate and
        // the device names the alternate setting valid.
        if (!NT_SUCCESS(clock.p->SetCurrentRate(rates[k]))) continue;
        if (factory_->IsAltSettingValid && !factory_->IsAltSettingValid(engine, alternate)) continue;
        status = Add(engine, f, kSubFormatRawData, alternate);
      }
    } else {
      if (formats_ & kFormatPcm) status = Add(engine, f, kSubFormatAc3Spdif, alternate);
      if (NT_SUCCESS(status) && (formats_ & kFormatWmaPro)) status = Add(engine, f, kSubFormatWmaPro, alternate);
    }
  }
  ExFreePoolWithTag(rates, tag_);
  return status;
}

}  // namespace

STDMETHODIMP CUac2Function::BuildFilters(PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                                         PUSB_INTERFACE_DESCRIPTOR FirstInterface, ULONG Bytes) {
  Uac2StreamBuilder builder(*this, GetStreamEngineFactory());
  return BuildStreamInterfaces(builder, Configuration, FirstInterface, Bytes, kProtocolUac2, m_nControlInterface,
                               &m_Fault);
}

}  // namespace uac
