#include "wave_e2e_fixture.h"

#include <cstring>

#include "adapter/object_model.h"
#include "portcls/ksclient.h"
#include "stream/usb_stream_engine.h"

namespace wave_e2e {
namespace {

constexpr ULONG kPinMapTag = MakePoolTag('T', 'e', '2', 'e');

// The topology filter's pin map: every streaming terminal joins its pin 0.
class CAnyPinMap : public adapter::IMiniportPinMap, public CUnknown {
 public:
  explicit CAnyPinMap(PUNKNOWN outer) : CUnknown(outer) {}
  DECLARE_STD_UNKNOWN() {
    if (object && IsEqualGUID(iid, adapter::IID_IMiniportPinMap))
      return adapter::ReturnInterface<adapter::IMiniportPinMap>(this, object);
    return CUnknown::NonDelegatingQueryInterface(iid, object);
  }
  STDMETHODIMP MapPin(ULONG, PULONG Result) override {
    *Result = 0;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP GetSubdeviceName(PWSTR* Name) override {
    static WCHAR name[] = u"Topo";
    *Name = name;
    return STATUS_SUCCESS;
  }
};

}  // namespace

void WaveEndToEnd::SetUp() {
  IsoStreamTest::SetUp();
  subdeviceDevice_ = fakes::FakeDevice(5);
  topology_ = fakes::FakeTopologyMiniport::Create();
  ASSERT_EQ(PcNewPort(&topologyPort_, CLSID_PortTopology), STATUS_SUCCESS);
  ASSERT_EQ(topologyPort_->Init(subdeviceDevice_, nullptr, static_cast<IMiniportTopology*>(topology_), nullptr,
                                nullptr),
            STATUS_SUCCESS);
  WCHAR name[] = u"Topo";
  ASSERT_EQ(PcRegisterSubdevice(subdeviceDevice_, name, topologyPort_), STATUS_SUCCESS);
  adapter::CreateInstance<CAnyPinMap>(&pinMap_, nullptr, NonPagedPool, kPinMapTag);
}

void WaveEndToEnd::TearDown() {
  // As at removal: every engine's subdevice goes before the device does.
  for (adapter::IStreamEngine* engine : installed_) engine->UnregisterSubdevice(subdeviceDevice_, nullptr, hal_);
  installed_.clear();
  PVOID object = nullptr;
  if (topologyPort_ && NT_SUCCESS(topologyPort_->QueryInterface(IID_IUnregisterSubdevice, &object))) {
    static_cast<PUNREGISTERSUBDEVICE>(object)->UnregisterSubdevice(subdeviceDevice_, topologyPort_);
    static_cast<PUNREGISTERSUBDEVICE>(object)->Release();
  }
  TearDownDevice();
  if (pinMap_) pinMap_->Release();
  if (topologyPort_) topologyPort_->Release();
  if (topology_) topology_->Release();
  IsoStreamTest::TearDown();
}

NTSTATUS WaveEndToEnd::StartDump(const std::string& dump, sim::device::DeviceProfile profile) {
  // The model string the probe reads: one no quirk row matches.
  if (!profile.strings.count(adapter::kModelStringIndex)) profile.strings[adapter::kModelStringIndex] = u"Neutral";
  Plug(dump, std::move(profile));
  return Start();
}

void WaveEndToEnd::InstallSubdevices() {
  ULONG outputs = 0, inputs = 0;
  for (ULONG i = 0; i < hal_->GetEngineCount(); ++i) {
    adapter::IStreamEngine* engine = nullptr;
    ASSERT_EQ(hal_->GetEngine(i, &engine), STATUS_SUCCESS);
    WCHAR name[50];
    const bool capture = engine->GetDirection() == adapter::STREAM_DIRECTION_CAPTURE;
    RtlStringCbPrintfW(name, sizeof name, capture ? u"%sIn%02d" : u"%sOut%02d", capture ? u"Mic" : u"SPK",
                       capture ? inputs++ : outputs++);
    ASSERT_EQ(engine->SetName(name), STATUS_SUCCESS);
    ASSERT_EQ(engine->SetMiniportFactory(filters::CreateMiniportWaveCyclic, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    ASSERT_EQ(engine->SetTopologyPeer(topologyPort_, pinMap_), STATUS_SUCCESS);
    ASSERT_EQ(engine->UpdateSubdevice(subdeviceDevice_, nullptr, hal_), STATUS_SUCCESS) << i;
    installed_.push_back(engine);
  }
}

std::unique_ptr<sim::engine::FilterClient> WaveEndToEnd::OpenFilter(const std::u16string& name) {
  for (const auto& info : sim::engine::EnumerateFilters(&KSCATEGORY_AUDIO)) {
    if (info.name != name) continue;
    std::unique_ptr<sim::engine::FilterClient> client;
    EXPECT_EQ(sim::engine::FilterClient::Open(info, &client), STATUS_SUCCESS);
    return client;
  }
  ADD_FAILURE() << "no filter of that name";
  return nullptr;
}

NTSTATUS WaveEndToEnd::OpenStream(sim::engine::FilterClient& filter, const WAVEFORMATEXTENSIBLE& format,
                                  sim::engine::StreamOptions options, std::unique_ptr<sim::engine::Stream>* stream) {
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE f{};
  f.DataFormat.FormatSize = sizeof f;
  f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  f.DataFormat.SubFormat = format.SubFormat;
  f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  f.DataFormat.SampleSize = format.Format.nBlockAlign;
  f.WaveFormatExt = format;
  std::vector<BYTE> bytes(sizeof f);
  std::memcpy(bytes.data(), &f, sizeof f);
  return filter.OpenStream(filters::kWaveStreamingPin, bytes, options, stream);
}

void WaveEndToEnd::ExpectNoFindings(const sim::engine::Stream& stream) {
  for (const auto& finding : stream.Findings())
    ADD_FAILURE() << sim::engine::IssueName(finding.issue) << ": " << finding.detail;
}

}  // namespace wave_e2e
