#include "iso_stream_fixture.h"

#include "kernel/registry.h"

#include "adapter/object_model.h"
#include "support/wave_formats.h"

namespace iso_test {
namespace {

using usb_device_test::Configuration;
using usb_device_test::Interface;

// The engines of the system with a record of every completed URB and every restart.
template <class Base>
class CRecording : public Base {
 public:
  CRecording(PUNKNOWN outer, ULONG number, ULONG terminal) : Base(outer, number, terminal) {
    KeInitializeSpinLock(&seenLock);
  }
  STDMETHODIMP OnUrbComplete(PDEVICE_OBJECT device, PIRP irp, stream::UrbContext* context) override {
    const auto& r = context->Urb->UrbIsochronousTransfer;
    UrbSeen seen{r.StartFrame, irp->IoStatus.Status, false, {}};
    const bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    for (ULONG i = 0; i < r.NumberOfPackets; ++i) {
      if (static_cast<LONG>(r.IsoPacket[i].Status) < 0) seen.failedPacket = true;
      const ULONG end = i + 1 < r.NumberOfPackets ? r.IsoPacket[i + 1].Offset : r.TransferBufferLength;
      seen.packets.push_back(in ? r.IsoPacket[i].Length : end - r.IsoPacket[i].Offset);
    }
    KIRQL irql;
    KeAcquireSpinLock(&seenLock, &irql);
    urbs.push_back(std::move(seen));
    KeReleaseSpinLock(&seenLock, irql);
    return Base::OnUrbComplete(device, irp, context);
  }
  STDMETHODIMP Restart() override {
    restarting = true;
    const NTSTATUS status = Base::Restart();
    restarting = false;
    return status;
  }
  // The restart reads the bus frame right after its selection, with no wait between.
  STDMETHODIMP SelectAltSetting(UCHAR alt, stream::PSTREAMCLIENTRECORD record) override {
    const NTSTATUS status = Base::SelectAltSetting(alt, record);
    if (restarting && NT_SUCCESS(status)) {
      ULONG frame = 0;
      if (adapter::IUsbAudioDevice* device = this->QueryDevice()) {
        device->GetCurrentFrame(&frame);
        device->Release();
      }
      restartFrames.push_back(frame);
    }
    return status;
  }
  bool restarting = false;

  KSPIN_LOCK seenLock;
  std::vector<UrbSeen> urbs;
  std::vector<ULONG> restartFrames;
};
using CRecordingRender = CRecording<stream::CUac1RenderStream>;
using CRecordingCapture = CRecording<stream::CUac1CaptureStream>;
using CRecordingChipD = CRecording<stream::CTZ4180Render>;

template <class Engine>
NTSTATUS Make(ULONG tag, ULONG direction, UCHAR number, ULONG terminal, adapter::IAudioHal* owner,
              adapter::CStreamEngine** out) {
  auto* engine = new (NonPagedPool, tag) Engine(nullptr, number, terminal);
  if (!engine) return STATUS_INSUFFICIENT_RESOURCES;
  static_cast<stream::IUsbStreamEngine*>(engine)->AddRef();
  const NTSTATUS status = engine->Init(direction, owner);
  if (!NT_SUCCESS(status)) {
    static_cast<stream::IUsbStreamEngine*>(engine)->Release();
    return status;
  }
  *out = engine;
  return STATUS_SUCCESS;
}

NTSTATUS RecordingCreate(uac::StreamEngineClass cls, ULONG tag, UCHAR number, ULONG terminal,
                         adapter::IAudioHal* owner, adapter::CStreamEngine** out) {
  *out = nullptr;
  if (cls == uac::StreamEngineClass::Uac1Render)
    return Make<CRecordingRender>(tag, adapter::STREAM_DIRECTION_RENDER, number, terminal, owner, out);
  if (cls == uac::StreamEngineClass::Uac1Capture)
    return Make<CRecordingCapture>(tag, adapter::STREAM_DIRECTION_CAPTURE, number, terminal, owner, out);
  if (cls == uac::StreamEngineClass::ChipDRender)
    return Make<CRecordingChipD>(tag, adapter::STREAM_DIRECTION_RENDER, number, terminal, owner, out);
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS RecordingAdd(adapter::CStreamEngine* engine, const WAVEFORMATEXTENSIBLE* format, UCHAR alt) {
  return static_cast<stream::CUsbStreamEngine*>(engine)->AddStreamFormat(format, alt);
}

constexpr uac::StreamEngineFactory kRecordingFactory = {RecordingCreate, RecordingAdd, nullptr, nullptr};

Bytes Rates(const std::vector<ULONG>& rates) {
  Bytes b;
  for (ULONG r : rates) b.insert(b.end(), {UCHAR(r), UCHAR(r >> 8), UCHAR(r >> 16)});
  return b;
}

std::vector<Bytes> Streaming(UCHAR number, UCHAR terminal, UCHAR endpoint, const std::vector<AltSpec>& alts) {
  std::vector<Bytes> pieces = {Interface(number, 0, 0, 1, 2)};
  for (size_t k = 0; k < alts.size(); ++k) {
    const AltSpec& a = alts[k];
    std::vector<Endpoint> endpoints = a.endpoints;
    if (endpoints.empty()) endpoints.push_back({endpoint});
    pieces.push_back(Interface(number, UCHAR(k + 1), UCHAR(endpoints.size()), 1, 2));
    pieces.push_back({7, 0x24, 1, terminal, 1, 1, 0});
    Bytes format = {0, 0x24, 2, 1, a.channels, a.subframe, a.bits, UCHAR(a.rates.size())};
    const Bytes r = Rates(a.rates);
    format.insert(format.end(), r.begin(), r.end());
    format[0] = UCHAR(format.size());
    pieces.push_back(format);
    for (const Endpoint& e : endpoints) {
      pieces.push_back({9, 5, e.address, e.attributes, UCHAR(e.maxPacket), UCHAR(e.maxPacket >> 8), e.interval, 0, 0});
      pieces.push_back({7, 0x25, 1, 1, 0, 0, 0});
    }
  }
  return pieces;
}

VOID Listen(PVOID context, PVOID argument1, PVOID) {
  auto* client = static_cast<TestClient*>(context);
  const auto* r = static_cast<const stream::StreamEngineRecord*>(argument1);
  KIRQL irql;
  KeAcquireSpinLock(&client->lock, &irql);
  const bool mine = r->Client == client->record;
  switch (r->Code) {
    case stream::STREAM_NOTIFY_URB_DONE:
      client->records.push_back({r->Code, r->Payload.ByteCount, 0, mine});
      break;
    case stream::STREAM_NOTIFY_FORMAT:
      client->records.push_back({r->Code, r->Payload.Format.MsPerUrb, r->Payload.Format.UrbsInFlight, mine});
      break;
    case stream::STREAM_NOTIFY_RENDER_FILL: {
      client->records.push_back({r->Code, r->Length, 0, mine});
      if (!mine) break;  // only the client the device runs for fills the buffer
      client->fills.push_back(r->Length);
      auto* samples = static_cast<std::int16_t*>(r->Payload.Buffer);
      for (ULONG i = 0; i < r->Length / 2; ++i) samples[i] = static_cast<std::int16_t>(client->nextSample++);
      break;
    }
    case stream::STREAM_NOTIFY_CAPTURE_DATA: {
      client->records.push_back({r->Code, r->Length, 0, mine});
      if (!mine) break;
      const auto* samples = static_cast<const std::int16_t*>(r->Payload.Buffer);
      client->captured.insert(client->captured.end(), samples, samples + r->Length / 2);
      break;
    }
    default:
      break;
  }
  KeReleaseSpinLock(&client->lock, irql);
}

}  // namespace

Bytes SpeakerAndMicrophone(const std::vector<AltSpec>& render, const std::vector<AltSpec>& capture) {
  const std::vector<Bytes> units = {
      {12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0},  // input terminal 1, USB streaming
      {10, 0x24, 6, 2, 1, 1, 0x03, 0, 0, 0},           // feature unit 2: master mute and volume
      {9, 0x24, 3, 3, 0x01, 0x03, 0, 2, 0},            // output terminal 3, speaker
      {12, 0x24, 2, 4, 0x01, 0x02, 0, 1, 0, 0, 0, 0},  // input terminal 4, microphone
      {9, 0x24, 3, 5, 0x01, 0x01, 0, 4, 0},            // output terminal 5, USB streaming
  };
  ULONG total = 10;
  for (const Bytes& u : units) total += ULONG(u.size());
  const Bytes header = {10, 0x24, 1, 0x00, 0x01, UCHAR(total), UCHAR(total >> 8), 2, kRenderInterface,
                        kCaptureInterface};
  std::vector<Bytes> pieces = {Interface(0, 0, 0, 1, 1), header};
  pieces.insert(pieces.end(), units.begin(), units.end());
  for (Bytes& p : Streaming(kRenderInterface, 1, kRenderEndpoint, render)) pieces.push_back(std::move(p));
  for (Bytes& p : Streaming(kCaptureInterface, 5, kCaptureEndpoint, capture)) pieces.push_back(std::move(p));
  return Configuration(pieces);
}

std::vector<Record> TestClient::Records() {
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  std::vector<Record> copy = records;
  KeReleaseSpinLock(&lock, irql);
  return copy;
}

ULONG TestClient::Count(ULONG code, bool formatChanged) {
  ULONG n = 0;
  for (const Record& r : Records())
    if (r.code == code && (!formatChanged || (r.value & stream::kFormatChangedFlag))) ++n;
  return n;
}

WAVEFORMATEXTENSIBLE Pcm(WORD channels, ULONG rate, WORD bits) {
  return platform::testing::ExtensibleFormat(channels, rate, bits);
}

void IsoStreamTest::SetUp() {
  UsbDeviceTest::SetUp();
  savedFunction_ = adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, nullptr);
  uac::RegisterFunctionFactories();
  savedEngines_ = uac::SetStreamEngineFactory(&kRecordingFactory);
}

void IsoStreamTest::TearDown() {
  UsbDeviceTest::TearDown();
  adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, savedFunction_);
  uac::SetStreamEngineFactory(savedEngines_);
}

NTSTATUS IsoStreamTest::StartDevice(const std::vector<AltSpec>& render, const std::vector<AltSpec>& capture,
                                    bool highSpeed, sim::device::DeviceProfile profile) {
  profile.strings[uac::kModelStringIndex] = u"Neutral";
  profile.high_speed = highSpeed;
  profile.signal.kind = sim::device::SignalKind::Ramp;
  Plug(usb_device_test::DeviceDescriptor(0x1234, 0x5678), SpeakerAndMicrophone(render, capture), profile);
  if (selectiveSuspend_) platform::registry::SetDword(ParametersPath(), u"SelectiveSuspendEnabled", 1);
  return Start();
}

stream::CUsbStreamEngine* IsoStreamTest::Engine(ULONG index) {
  adapter::IStreamEngine* engine = nullptr;
  if (!hal_ || !NT_SUCCESS(hal_->GetEngine(index, &engine))) return nullptr;
  PVOID itf = nullptr;
  if (!NT_SUCCESS(engine->QueryInterface(stream::IID_IUsbStreamEngine, &itf))) return nullptr;
  static_cast<stream::IUsbStreamEngine*>(itf)->Release();
  return static_cast<stream::CUsbStreamEngine*>(static_cast<stream::IUsbStreamEngine*>(itf));
}

NTSTATUS IsoStreamTest::Register(stream::CUsbStreamEngine* engine, TestClient& client,
                                 const WAVEFORMATEXTENSIBLE& format) {
  return engine->RegisterClient(stream::kWaveCyclicClientPriority, &format, 5, 3, Listen, &client, &client.record);
}

NTSTATUS IsoStreamTest::Attach(stream::CUsbStreamEngine* engine, TestClient& client,
                               const WAVEFORMATEXTENSIBLE& format, ULONG ms, ULONG urbs, ULONG priority) {
  NTSTATUS status = engine->RegisterClient(priority, &format, ms, urbs, Listen, &client, &client.record);
  if (!NT_SUCCESS(status)) return status;
  ULONG granted = 0, frame = 0;
  status = engine->PrepareClient(client.key(), &granted, &frame);
  if (!NT_SUCCESS(status)) return status;
  return engine->StartClient(client.key(), frame + 2, &granted, nullptr);
}

void IsoStreamTest::Detach(stream::CUsbStreamEngine* engine, TestClient& client) {
  if (!client.record) return;
  engine->StopClient(client.key(), nullptr);
  engine->UnprepareClient(client.key());
  engine->UnregisterClient(client.key());
  client.record = nullptr;
}

namespace {
template <class Recording>
std::vector<UrbSeen> CopyUrbs(Recording* engine) {
  KIRQL irql;
  KeAcquireSpinLock(&engine->seenLock, &irql);
  std::vector<UrbSeen> copy = engine->urbs;
  KeReleaseSpinLock(&engine->seenLock, irql);
  return copy;
}
}  // namespace

std::vector<UrbSeen> IsoStreamTest::Urbs(stream::CUsbStreamEngine* engine) {
  if (auto* chipD = dynamic_cast<CRecordingChipD*>(engine)) return CopyUrbs(chipD);
  if (engine->GetDirection() == adapter::STREAM_DIRECTION_CAPTURE)
    return CopyUrbs(static_cast<CRecordingCapture*>(static_cast<stream::CUac1CaptureStream*>(engine)));
  return CopyUrbs(static_cast<CRecordingRender*>(static_cast<stream::CUac1RenderStream*>(engine)));
}

std::vector<ULONG> IsoStreamTest::RestartFrames(stream::CUsbStreamEngine* engine) {
  if (auto* chipD = dynamic_cast<CRecordingChipD*>(engine)) return chipD->restartFrames;
  if (engine->GetDirection() == adapter::STREAM_DIRECTION_CAPTURE)
    return static_cast<CRecordingCapture*>(static_cast<stream::CUac1CaptureStream*>(engine))->restartFrames;
  return static_cast<CRecordingRender*>(static_cast<stream::CUac1RenderStream*>(engine))->restartFrames;
}

}  // namespace iso_test
