// The ASIO rings of a device as CAsioStreams makes them, on stand-in engines (the audio
// layer's base engine with formats of our choosing) behind a stand-in audio layer that
// marks some of them ASIO-capable: what each header shows, the fills of PCM and DSD rings,
// the signalling ring, the render start and lead after a reset, the silence Stop leaves,
// and nothing left behind by a refusal or a failure.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "adapter/asio_streams.h"
#include "adapter/capability_record.h"
#include "adapter/object_model.h"
#include "kernel/mm.h"
#include "kernel/pool.h"
#include "support/kernel_fixture.h"
#include "support/wave_formats.h"

namespace {

using namespace adapter;
using platform::testing::ExtensibleFormat;

constexpr ULONG kTag = MakePoolTag('T', 'a', 's', 'r');

// An audio layer of stand-in engines; engine i is ASIO-capable when bit i of the mask is set.
class CFakeHal : public CAudioHal {
 public:
  explicit CFakeHal(PUNKNOWN outer) : CAudioHal(outer) {}
  STDMETHODIMP ProbeDevice() override { return STATUS_SUCCESS; }
  STDMETHODIMP BuildTopology() override { return STATUS_SUCCESS; }
  STDMETHODIMP GetEngineCapabilityRecord(ULONG Index, EndpointCapabilityRecord* Record) override {
    *Record = {};
    if (asioMask & (1u << Index)) Record->FeatureFlags = ENDPOINT_FEATURE_ASIO;
    return STATUS_SUCCESS;
  }
  using CAudioHal::AddStreamEngine;
  ULONG asioMask = 0;
};


// A stand-in engine that also takes stream clients, and writes down each client call: the
// engine, the operation and its value (the priority, the start frame). PrepareClient
// reports bus frame 100 x (engine + 1).
struct ClientCall {
  ULONG engine;
  std::string op;
  ULONG value;
  bool operator==(const ClientCall&) const = default;
};
std::vector<ClientCall> gCalls;

class CClientEngine : public CStreamEngine, public IUsbStreamClient {
 public:
  CClientEngine(PUNKNOWN outer, ULONG id) : CStreamEngine(outer, id), m_Id(id) {}
  DECLARE_STD_UNKNOWN() {
    if (object && IsEqualGUID(iid, IID_IUsbStreamEngine)) return ReturnInterface<IUsbStreamClient>(this, object);
    return CStreamEngine::NonDelegatingQueryInterface(iid, object);
  }
  STDMETHODIMP RegisterClient(ULONG Priority, const WAVEFORMATEXTENSIBLE*, ULONG MsPerUrb, ULONG UrbsInFlight,
                              PCALLBACK_FUNCTION, PVOID, PSTREAMCLIENTRECORD* Record) override {
    gCalls.push_back({m_Id, "register", Priority});
    m_Record = {};
    m_Record.Priority = Priority;
    m_Record.Key = 0x1000 + m_Id;
    m_Record.MsPerUrb = MsPerUrb;
    m_Record.UrbsInFlight = UrbsInFlight;
    *Record = &m_Record;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP UnregisterClient(ULONGLONG) override {
    gCalls.push_back({m_Id, "unregister", 0});
    return STATUS_SUCCESS;
  }
  STDMETHODIMP StartClient(ULONGLONG, ULONG StartFrame, PULONG, PUNKNOWN) override {
    gCalls.push_back({m_Id, "start", StartFrame});
    m_Record.Started = 1;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP StopClient(ULONGLONG, PUNKNOWN) override {
    gCalls.push_back({m_Id, "stop", 0});
    m_Record.Started = 0;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP PrepareClient(ULONGLONG, PULONG MsPerUrb, PULONG BusFrame) override {
    gCalls.push_back({m_Id, "prepare", 0});
    *MsPerUrb = m_Record.MsPerUrb;
    *BusFrame = 100 * (m_Id + 1);
    return STATUS_SUCCESS;
  }
  STDMETHODIMP UnprepareClient(ULONGLONG) override {
    gCalls.push_back({m_Id, "unprepare", 0});
    return STATUS_SUCCESS;
  }

 private:
  ULONG m_Id;
  StreamClientRecord m_Record{};
};

class AsioRingSet : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    IAudioHal* hal = nullptr;
    ASSERT_EQ(CreateInstance<CFakeHal>(&hal, nullptr, NonPagedPool, kTag), STATUS_SUCCESS);
    hal_ = static_cast<CFakeHal*>(hal);
    ASSERT_EQ(hal_->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (asio_) delete asio_;
    for (CStreamEngine* e : engines_) e->Release();
    if (hal_) hal_->Release();
    EXPECT_TRUE(platform::mm::UserMappings().empty());
    KernelTest::TearDown();
  }
  // An engine of the direction with the formats; ASIO-capable when asked.
  // With `clients`, the engine takes stream clients (CClientEngine).
  void AddEngine(ULONG direction, const std::vector<WAVEFORMATEXTENSIBLE>& formats, bool asio = true,
                 bool clients = false) {
    IStreamEngine* engine = nullptr;
    const ULONG id = static_cast<ULONG>(engines_.size());
    if (clients) {
      ASSERT_EQ(CreateInstance<CClientEngine>(&engine, nullptr, NonPagedPool, kTag, id), STATUS_SUCCESS);
    } else {
      ASSERT_EQ(CreateInstance<CStreamEngine>(&engine, nullptr, NonPagedPool, kTag, 1u), STATUS_SUCCESS);
    }
    auto* e = static_cast<CStreamEngine*>(engine);
    ASSERT_EQ(e->Init(direction), STATUS_SUCCESS);
    for (const WAVEFORMATEXTENSIBLE& f : formats) ASSERT_EQ(e->AddFormat(&f), STATUS_SUCCESS);
    if (asio) hal_->asioMask |= 1u << engines_.size();
    ASSERT_EQ(hal_->AddStreamEngine(e), STATUS_SUCCESS);
    engines_.push_back(e);
  }
  void Make() {
    asio_ = new (NonPagedPool, kTag) CAsioStreams;
    ASSERT_EQ(asio_->Init(hal_, nullptr, false), STATUS_SUCCESS);
  }
  const AsioRingHeader& Header(ULONG i) { return *static_cast<const AsioRingHeader*>(asio_->Channel(i).UserAddress); }
  const UCHAR* Data(ULONG i) { return static_cast<const UCHAR*>(asio_->Channel(i).UserAddress) + 40; }
  bool Filled(ULONG i, UCHAR value) {
    const ULONG n = asio_->Channel(i).DataSize;
    for (ULONG k = 0; k < n; ++k)
      if (Data(i)[k] != value) return false;
    return n > 0;
  }

  CFakeHal* hal_ = nullptr;
  std::vector<CStreamEngine*> engines_;
  CAsioStreams* asio_ = nullptr;
};

TEST_F(AsioRingSet, HeadersOfAPcmDevice) {
  // Render stereo, a plain engine in between, capture stereo and a capture quad.
  AddEngine(STREAM_DIRECTION_RENDER, {ExtensibleFormat(2, 48000, 16)});
  AddEngine(STREAM_DIRECTION_RENDER, {ExtensibleFormat(2, 48000, 16)}, false);
  AddEngine(STREAM_DIRECTION_CAPTURE, {ExtensibleFormat(2, 48000, 16)});
  AddEngine(STREAM_DIRECTION_CAPTURE, {ExtensibleFormat(4, 48000, 16), ExtensibleFormat(2, 48000, 16)});
  Make();
  EXPECT_EQ(asio_->AsioEndpointCount(), 3u);
  EXPECT_EQ(asio_->AsioChannelTotal(kAsioModePcm), 8u);
  const AsioChannelPair pairs[] = {{0, 1}, {1, 3}};  // render ch 1, capture ch 3 (the quad's first)
  ASSERT_EQ(asio_->CreateRings({kAsioModePcm, 48000, 16, 480}, pairs, 2), STATUS_SUCCESS);
  EXPECT_EQ(platform::mm::UserMappings().size(), 3u);
  const struct {
    ULONG index, active, input, channels, first, size, signals;
  } rows[] = {
      {0, 1, 0, 2, 0, 7680, 0},
      {2, 0, 1, 2, 0, 7680, 0},
      {3, 1, 1, 4, 2, 15360, 1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.index);
    const AsioRingHeader& h = Header(r.index);
    EXPECT_EQ(h.Active, r.active);
    EXPECT_EQ(h.IsInput, r.input);
    EXPECT_EQ(h.Channels, r.channels);
    EXPECT_EQ(h.FirstChannel, r.first);
    EXPECT_EQ(h.DataSize, r.size);
    EXPECT_EQ(h.Signals, r.signals);
    EXPECT_EQ(h.Position, 0u);
    EXPECT_EQ(h.Periods, 0u);
    EXPECT_TRUE(Filled(r.index, 0));
  }
  EXPECT_EQ(asio_->Channel(1).Ring, nullptr);
  ULONGLONG addresses[3] = {};
  asio_->GetUserAddresses(addresses, 3);
  EXPECT_EQ(addresses[0], reinterpret_cast<ULONG_PTR>(asio_->Channel(0).UserAddress));
  EXPECT_EQ(addresses[1], reinterpret_cast<ULONG_PTR>(asio_->Channel(2).UserAddress));
  EXPECT_EQ(addresses[2], reinterpret_cast<ULONG_PTR>(asio_->Channel(3).UserAddress));
  // 480 frames at 48 kHz: 2 ms URBs of 384 bytes, 4 of lead from position 0.
  asio_->ResetAsioChannels(nullptr);
  EXPECT_EQ(Header(0).Position, 0u);
  EXPECT_EQ(Header(0).StartPosition, 0u);
  EXPECT_EQ(Header(0).Lead, 1536u);
  EXPECT_EQ(Header(3).Lead, 0u);
  asio_->FreeRings();
  EXPECT_FALSE(asio_->HasRings());
}

TEST_F(AsioRingSet, ShortPeriodStartsOneUrbBeforeTheEnd) {
  AddEngine(STREAM_DIRECTION_RENDER, {ExtensibleFormat(2, 44100, 16)});
  Make();
  const AsioChannelPair pairs[] = {{0, 0}};
  ASSERT_EQ(asio_->CreateRings({kAsioModePcm, 44100, 16, 64}, pairs, 1), STATUS_SUCCESS);
  EXPECT_EQ(Header(0).Signals, 1u);  // no capture ring: the last active ring signals
  asio_->ResetAsioChannels(nullptr);
  // 64 frames: 1 ms -> 2 ms, 1 ms URBs of 176 bytes, count 2: 2 of lead from one URB before the end.
  EXPECT_EQ(Header(0).DataSize, 7056u);
  EXPECT_EQ(Header(0).Position, 7056u - 176);
  EXPECT_EQ(Header(0).StartPosition, 7056u - 176);
  EXPECT_EQ(Header(0).Lead, 352u);
}

TEST_F(AsioRingSet, DsdRingsHoldIdleFillAndStopLeavesTheStopFill) {
  const WAVEFORMATEXTENSIBLE dsd = ExtensibleFormat(2, 44100, 64, KSDATAFORMAT_SUBTYPE_ASIO_DSD);
  AddEngine(STREAM_DIRECTION_RENDER, {ExtensibleFormat(2, 44100, 16), dsd});
  AddEngine(STREAM_DIRECTION_RENDER, {dsd});
  Make();
  const AsioChannelPair pairs[] = {{0, 0}, {0, 1}};  // the first ring only
  ASSERT_EQ(asio_->CreateRings({kAsioModeDsd, 2822400, 16, 2200}, pairs, 2), STATUS_SUCCESS);
  EXPECT_EQ(asio_->Channel(0).DataSize, 28224u);
  EXPECT_EQ(asio_->Channel(0).OneUrb, 3520u);  // 2 x 5 ms x 44 x 8
  EXPECT_EQ(Header(1).FirstChannel, 2u);
  EXPECT_TRUE(Filled(0, 0x69));
  EXPECT_TRUE(Filled(1, 0x69));
  asio_->SilenceRings();
  EXPECT_TRUE(Filled(0, 0x96));
  EXPECT_TRUE(Filled(1, 0x69));  // inactive rings are left as they are
  asio_->ResetAsioChannels(nullptr);
  EXPECT_EQ(Header(0).Lead, 4u * 3520);
}

TEST_F(AsioRingSet, UnusableConfigurationsAreRefusedBeforeAnythingIsMade) {
  const struct {
    const char* what;
    std::vector<WAVEFORMATEXTENSIBLE> capture;
    AsioBufferSettings settings;
  } rows[] = {
      // The capture engine has no DSD format: its ring would have no channels.
      {"ring without channels", {ExtensibleFormat(2, 44100, 16)}, {kAsioModeDsd, 2822400, 16, 2200}},
      {"unknown sample type", {ExtensibleFormat(2, 44100, 16)}, {kAsioModePcm, 44100, 19, 441}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    for (CStreamEngine* e : engines_) e->Release();
    engines_.clear();
    hal_->Release();
    IAudioHal* hal = nullptr;
    ASSERT_EQ(CreateInstance<CFakeHal>(&hal, nullptr, NonPagedPool, kTag), STATUS_SUCCESS);
    hal_ = static_cast<CFakeHal*>(hal);
    ASSERT_EQ(hal_->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
    AddEngine(STREAM_DIRECTION_RENDER,
              {ExtensibleFormat(2, 44100, 16), ExtensibleFormat(2, 44100, 64, KSDATAFORMAT_SUBTYPE_ASIO_DSD)});
    AddEngine(STREAM_DIRECTION_CAPTURE, r.capture);
    delete asio_;
    Make();
    const auto before = platform::pool::AllocationCount();
    const AsioChannelPair pairs[] = {{0, 0}};
    EXPECT_EQ(asio_->CreateRings(r.settings, pairs, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(platform::pool::AllocationCount(), before);
    EXPECT_FALSE(asio_->HasRings());
    EXPECT_TRUE(platform::mm::UserMappings().empty());
  }
}

TEST_F(AsioRingSet, NoActiveRingOpensNoStream) {
  AddEngine(STREAM_DIRECTION_RENDER, {ExtensibleFormat(2, 48000, 16)});
  Make();
  const AsioChannelPair pairs[] = {{0, 2}, {1, 0}};  // neither exists
  ASSERT_EQ(asio_->CreateRings({kAsioModePcm, 48000, 16, 480}, pairs, 2), STATUS_SUCCESS);
  EXPECT_EQ(Header(0).Active, 0u);
  EXPECT_EQ(Header(0).Signals, 0u);
  EXPECT_EQ(asio_->OpenAsioStreams(), STATUS_INVALID_PARAMETER);
  asio_->FreeRings();
}

// Streaming registers every active ring's stream at the ASIO priority 5, prepares them
// all, and starts the capture streams before the render streams, all at the bus frame
// the last preparation reported + 5.
TEST_F(AsioRingSet, StreamsRegisterAtPriorityFiveAndStartCaptureFirstFiveFramesOn) {
  AddEngine(STREAM_DIRECTION_RENDER, {ExtensibleFormat(2, 48000, 16)}, true, true);
  AddEngine(STREAM_DIRECTION_CAPTURE, {ExtensibleFormat(2, 48000, 16)}, true, true);
  AddEngine(STREAM_DIRECTION_RENDER, {ExtensibleFormat(2, 48000, 16)}, true, true);
  AddEngine(STREAM_DIRECTION_CAPTURE, {ExtensibleFormat(2, 48000, 16)}, true, true);
  Make();
  const AsioChannelPair pairs[] = {{0, 0}, {0, 2}, {1, 0}, {1, 2}};
  ASSERT_EQ(asio_->CreateRings({kAsioModePcm, 48000, 16, 480}, pairs, 4), STATUS_SUCCESS);
  gCalls.clear();
  ASSERT_EQ(asio_->OpenAsioStreams(), STATUS_SUCCESS);
  ASSERT_EQ(asio_->StartAsioStreaming(), STATUS_SUCCESS);
  // The last preparation (engine 3) reports frame 400: every stream starts at 405.
  const std::vector<ClientCall> expected = {
      {0, "register", 5}, {1, "register", 5}, {2, "register", 5}, {3, "register", 5},
      {0, "prepare", 0},  {1, "prepare", 0},  {2, "prepare", 0},  {3, "prepare", 0},
      {1, "start", 405},  {3, "start", 405},  {0, "start", 405},  {2, "start", 405},
  };
  EXPECT_EQ(gCalls, expected);
  EXPECT_EQ(asio_->StopAsioStreaming(), STATUS_SUCCESS);
  asio_->CloseAsioStreams();
  asio_->FreeRings();
  gCalls.clear();
}

}  // namespace
