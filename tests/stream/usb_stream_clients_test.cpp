// The USB stream engine's clients: registration and its refusals, the priority that
// decides which client's format the device runs, every order of operations a client may
// take and the ones refused, hand-overs between clients with their format records, the
// restores after a failed prepare or start, processing objects on the effect lists, and
// client lists changed from two processors at once.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "kernel/callback.h"
#include "support/dsp_node_doubles.h"
#include "support/fault_sweep.h"
#include "support/kernel_fixture.h"
#include "support/wave_formats.h"
#include "stream/usb_stream_engine.h"

namespace {

using platform::testing::CTestDspNode;
using platform::testing::NewTestDspNode;
using stream::PSTREAMCLIENTRECORD;
using stream::StreamEngineRecord;

constexpr ULONG kEngineTag = MakePoolTag('T', 'u', 's', 'c');
constexpr ULONG kFirstFrame = 1000;

WAVEFORMATEXTENSIBLE Format(WORD channels, ULONG rate, WORD bits) {
  return platform::testing::ExtensibleFormat(channels, rate, bits);
}

const WAVEFORMATEXTENSIBLE kCd = Format(2, 44100, 16);
const WAVEFORMATEXTENSIBLE kHiRes = Format(2, 96000, 24);

// An engine whose resources and URBs are stand-ins: it records what the client
// operations ask of it and can be told to fail an allocation or the URB queuing.
class CFakeStream : public stream::CUsbStreamEngine {
 public:
  using CUsbStreamEngine::CUsbStreamEngine;

  STDMETHODIMP AllocateResources(PSTREAMCLIENTRECORD Record, PULONG BusFrame) override {
    log.push_back("alloc " + std::to_string(Record->Priority));
    if (failAllocationOf == Record->Priority) return STATUS_INSUFFICIENT_RESOURCES;
    if (GetStreamState() != stream::STREAM_STATE_NO_RESOURCES) return STATUS_INVALID_DEVICE_STATE;
    SetStreamState(stream::STREAM_STATE_ALLOCATED);
    allocatedFor = Record->Format;
    *BusFrame = nextFrame;
    nextFrame += 100;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP FreeResources() override {
    if (GetStreamState() != stream::STREAM_STATE_ALLOCATED) return STATUS_INVALID_PARAMETER;
    log.push_back("free");
    SetStreamState(stream::STREAM_STATE_NO_RESOURCES);
    return STATUS_SUCCESS;
  }
  STDMETHODIMP SendStreamUrb() override {
    ++urbsSent;
    if (!NT_SUCCESS(sendStatus) && sendFailures) {
      --sendFailures;
      return sendStatus;
    }
    return ++queued > slots ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
  }
  STDMETHODIMP Start(ULONG StartFrame, UCHAR Explicit) override {
    queued = 0;
    const NTSTATUS status = CUsbStreamEngine::Start(StartFrame, Explicit);
    log.push_back("start " + std::to_string(StartFrame) + (NT_SUCCESS(status) ? "" : " failed"));
    return status;
  }
  STDMETHODIMP Stop() override {
    const NTSTATUS status = CUsbStreamEngine::Stop();
    if (NT_SUCCESS(status)) log.push_back("stop");
    return status;
  }

  ULONG FirstEffects() const { return m_pFirstEffectList->GetCount(); }
  ULONG SecondEffects() const { return m_pSecondEffectList->GetCount(); }
  ULONG RegisteredCount() const { return m_pRegisteredList->GetCount(); }
  ULONG PreparedCount() const { return m_pPreparedList->GetCount(); }
  ULONG RunningCount() const { return m_pRunningList->GetCount(); }
  ULONG NextStartFrame() const { return m_nNextStartFrame; }
  UCHAR ExplicitStart() const { return m_bExplicitStart; }

  std::vector<std::string> log;
  ULONGLONG failAllocationOf = ~0ull;
  NTSTATUS sendStatus = STATUS_SUCCESS;
  ULONG sendFailures = ~0u;  // sends that fail with sendStatus before the others succeed
  ULONG slots = 10;
  ULONG queued = 0;
  ULONG urbsSent = 0;
  ULONG nextFrame = kFirstFrame;
  WAVEFORMATEXTENSIBLE allocatedFor{};
};

// What one client's callback saw.
struct Notice {
  PSTREAMCLIENTRECORD client;
  ULONG code;
  ULONG msPerUrb;
  ULONG urbs;
};

struct Client {
  std::vector<Notice> seen;
  PSTREAMCLIENTRECORD record = nullptr;
  ULONGLONG key() const { return record ? record->Key : 0xDEAD; }
};

VOID Listen(PVOID context, PVOID argument1, PVOID) {
  const auto* r = static_cast<const StreamEngineRecord*>(argument1);
  static_cast<Client*>(context)->seen.push_back(
      {r->Client, r->Code, r->Payload.Format.MsPerUrb, r->Payload.Format.UrbsInFlight});
}

class UsbStreamClients : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    engine_ = NewEngine(adapter::STREAM_DIRECTION_RENDER);
  }
  void TearDown() override {
    Release(engine_);
    KernelTest::TearDown();
  }
  static CFakeStream* NewEngine(ULONG direction) {
    auto* engine = new (NonPagedPool, kEngineTag) CFakeStream(nullptr, 1, 0);
    static_cast<stream::IUsbStreamEngine*>(engine)->AddRef();
    EXPECT_EQ(engine->Init(direction, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(engine->AddStreamFormat(&kCd, 1), STATUS_SUCCESS);
    EXPECT_EQ(engine->AddStreamFormat(&kHiRes, 2), STATUS_SUCCESS);
    return engine;
  }
  static void Release(CFakeStream* engine) { static_cast<stream::IUsbStreamEngine*>(engine)->Release(); }

  NTSTATUS Register(Client& c, ULONG priority, const WAVEFORMATEXTENSIBLE& format = kCd, ULONG ms = 2,
                    ULONG urbs = 3, CFakeStream* engine = nullptr) {
    return (engine ? engine : engine_)->RegisterClient(priority, &format, ms, urbs, Listen, &c, &c.record);
  }
  NTSTATUS Prepare(Client& c, ULONG* frame = nullptr) {
    ULONG ms = 0, f = 0;
    const NTSTATUS status = engine_->PrepareClient(c.key(), &ms, &f);
    if (frame) *frame = f;
    return status;
  }
  NTSTATUS StartAt(Client& c, ULONG frame, PUNKNOWN object = nullptr) {
    ULONG ms = 0;
    return engine_->StartClient(c.key(), frame, &ms, object);
  }
  // The whole way out of every client still attached, in the order a client leaves.
  void Detach(std::initializer_list<Client*> clients) {
    for (Client* c : clients) engine_->StopClient(c->key(), nullptr);
    for (Client* c : clients) engine_->UnprepareClient(c->key());
    for (Client* c : clients) engine_->UnregisterClient(c->key());
  }

  CFakeStream* engine_ = nullptr;
};

using Log = std::vector<std::string>;

// ---------------------------------------------------------------------------------------
// Registration

TEST_F(UsbStreamClients, RegistrationRefusesWhatTheEngineCannotServe) {
  Client c;
  WAVEFORMATEXTENSIBLE other = Format(6, 48000, 16);
  struct Case {
    const char* name;
    const WAVEFORMATEXTENSIBLE* format;
    ULONG ms, urbs;
    PCALLBACK_FUNCTION callback;
    bool out;
    NTSTATUS expected;
  } cases[] = {
      {"no format", nullptr, 2, 3, Listen, true, STATUS_INVALID_PARAMETER},
      {"no callback", &kCd, 2, 3, nullptr, true, STATUS_INVALID_PARAMETER},
      {"no record pointer", &kCd, 2, 3, Listen, false, STATUS_INVALID_PARAMETER},
      {"0 ms per URB", &kCd, 0, 3, Listen, true, STATUS_INVALID_PARAMETER},
      {"11 ms per URB", &kCd, 11, 3, Listen, true, STATUS_INVALID_PARAMETER},
      {"0 URBs", &kCd, 2, 0, Listen, true, STATUS_INVALID_PARAMETER},
      {"11 URBs", &kCd, 2, 11, Listen, true, STATUS_INVALID_PARAMETER},
      {"huge URBs", &kCd, 2, 0xFFFFFFFF, Listen, true, STATUS_INVALID_PARAMETER},
      {"format not offered", &other, 2, 3, Listen, true, STATUS_NO_MATCH},
      {"1 ms, 1 URB", &kCd, 1, 1, Listen, true, STATUS_SUCCESS},
      {"10 ms, 10 URBs", &kHiRes, 10, 10, Listen, true, STATUS_SUCCESS},
  };
  for (const Case& k : cases) {
    c.record = reinterpret_cast<PSTREAMCLIENTRECORD>(1);
    const NTSTATUS status =
        engine_->RegisterClient(3, k.format, k.ms, k.urbs, k.callback, &c, k.out ? &c.record : nullptr);
    EXPECT_EQ(status, k.expected) << k.name;
    if (!k.out) continue;
    if (NT_SUCCESS(status)) {
      ASSERT_NE(c.record, nullptr);
      EXPECT_EQ(c.record->MsPerUrb, k.ms);
      EXPECT_EQ(c.record->UrbsInFlight, k.urbs);
      EXPECT_EQ(c.record->Started, 0);
      EXPECT_EQ(c.record->Direction, adapter::STREAM_DIRECTION_RENDER);
      EXPECT_EQ(engine_->UnregisterClient(c.record->Key), STATUS_SUCCESS);
    } else {
      EXPECT_EQ(c.record, nullptr) << k.name;
    }
  }
  EXPECT_EQ(engine_->RegisteredCount(), 0u);
}

// A plain format is taken as the engine's matching entry.
TEST_F(UsbStreamClients, PlainFormatRegistersAsTheMatchingEntry) {
  WAVEFORMATEXTENSIBLE plain{};
  plain.Format = kHiRes.Format;
  plain.Format.wFormatTag = WAVE_FORMAT_PCM;
  plain.Format.cbSize = 0;
  plain.Format.nBlockAlign = 1;  // completed from the entry
  Client c;
  ASSERT_EQ(engine_->RegisterClient(5, &plain, 4, 4, Listen, &c, &c.record), STATUS_SUCCESS);
  EXPECT_EQ(c.record->Format.Format.nBlockAlign, 6);
  EXPECT_EQ(c.record->Format.Format.wFormatTag, WAVE_FORMAT_PCM);
  Detach({&c});
}

// An engine whose Init failed after its lists were made has formats but no callback
// object: registration fails instead of handing out nothing as a success. The engine's
// callback name is taken by an object of another type, so its creation fails.
TEST_F(UsbStreamClients, EngineWithoutCallbackObjectRefusesClients) {
  auto* engine = new (NonPagedPool, kEngineTag) CFakeStream(nullptr, 2, 0);
  static_cast<stream::IUsbStreamEngine*>(engine)->AddRef();
  WCHAR name[64];
  ASSERT_EQ(RtlStringCbPrintfW(name, sizeof name, u"\\Callback\\CyclicControlAddr%p", static_cast<const void*>(engine)),
            STATUS_SUCCESS);
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  platform::ob::CreateParams squatter;
  squatter.type = *ExEventObjectType;
  squatter.bodySize = sizeof(KEVENT);
  squatter.attributes = &attributes;
  PVOID body = nullptr;
  ASSERT_EQ(platform::ob::CreateObject(squatter, &body), STATUS_SUCCESS);

  EXPECT_FALSE(NT_SUCCESS(engine->Init(adapter::STREAM_DIRECTION_RENDER, nullptr)));
  EXPECT_EQ(engine->GetCyclicCallbackObject(), nullptr);
  ASSERT_EQ(engine->AddStreamFormat(&kCd, 1), STATUS_SUCCESS);
  Client c;
  c.record = reinterpret_cast<PSTREAMCLIENTRECORD>(1);
  EXPECT_EQ(engine->RegisterClient(3, &kCd, 2, 3, Listen, &c, &c.record), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(c.record, nullptr);
  Release(engine);
  ObDereferenceObject(body);
}

TEST_F(UsbStreamClients, RegistrationAllocationFailuresLeaveNothingBehind) {
  const auto allocations = platform::testing::ForEachAllocationFailure([&](platform::testing::FaultSweep& sweep) {
    Client c;
    sweep.Arm();
    const NTSTATUS status = Register(c, 3);
    const bool fired = sweep.Disarm();
    if (fired) {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(c.record, nullptr);
    } else {
      ASSERT_EQ(status, STATUS_SUCCESS);
      EXPECT_EQ(engine_->UnregisterClient(c.key()), STATUS_SUCCESS);
    }
  });
  EXPECT_EQ(allocations, 3u);  // record, callback registration, list node
}

// Clients still registered when the engine goes are freed with it (the fixture checks).
TEST_F(UsbStreamClients, EngineFreesClientsLeftRegistered) {
  CFakeStream* engine = NewEngine(adapter::STREAM_DIRECTION_CAPTURE);
  Client a, b;
  ASSERT_EQ(Register(a, 3, kCd, 2, 3, engine), STATUS_SUCCESS);
  ASSERT_EQ(Register(b, 5, kHiRes, 2, 3, engine), STATUS_SUCCESS);
  EXPECT_EQ(a.record->Direction, adapter::STREAM_DIRECTION_CAPTURE);
  Release(engine);
}

// ---------------------------------------------------------------------------------------
// Priorities

// The highest-priority prepared client holds the resources; among equals the one
// prepared last. Resources move only when that client changes.
TEST_F(UsbStreamClients, PreparedHeadFollowsPriorityWithLatestFirstAmongTies) {
  const ULONG priorities[] = {3, 5, 3, 1, 5, 5, 2};
  const size_t heads[] = {0, 1, 1, 1, 4, 5, 5};  // oracle: index of the expected head
  std::vector<Client> clients(7);
  for (size_t i = 0; i < 7; ++i) {
    ASSERT_EQ(Register(clients[i], priorities[i], i % 2 ? kHiRes : kCd), STATUS_SUCCESS);
    engine_->log.clear();
    ULONG frame = 0;
    ASSERT_EQ(Prepare(clients[i], &frame), STATUS_SUCCESS);
    PSTREAMCLIENTRECORD head = clients[heads[i]].record;
    EXPECT_EQ(engine_->GetCurrentPreparedClient(), head) << i;
    const bool moved = i == 0 || heads[i] != heads[i - 1];
    EXPECT_EQ(frame, moved ? engine_->nextFrame - 100 : 0u) << i;
    EXPECT_EQ(engine_->log, moved ? (i == 0 ? Log{"alloc 3"} : Log{"free", "alloc " + std::to_string(priorities[i])})
                                  : Log{})
        << i;
    EXPECT_EQ(std::memcmp(&engine_->GetCurrentWaveFormat(), &head->Format, sizeof(WAVEFORMATEXTENSIBLE)), 0);
  }
  // Unpreparing the head hands the resources to the next one.
  engine_->log.clear();
  ASSERT_EQ(engine_->UnprepareClient(clients[5].key()), STATUS_SUCCESS);
  EXPECT_EQ(engine_->GetCurrentPreparedClient(), clients[4].record);
  EXPECT_EQ(engine_->log, (Log{"free", "alloc 5"}));
  std::vector<Client*> all;
  for (Client& c : clients) all.push_back(&c);
  for (Client* c : all) engine_->UnprepareClient(c->key());
  EXPECT_EQ(engine_->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES);
  EXPECT_EQ(engine_->GetCurrentPreparedClient(), nullptr);
  for (Client* c : all) EXPECT_EQ(engine_->UnregisterClient(c->key()), STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------------------
// Orders of operations

enum Op { REG, PREP, START, STOP, UNPREP, UNREG };

struct Step {
  int client;  // 0: priority 3, 1: priority 5
  Op op;
  NTSTATUS expected;
};

struct Script {
  const char* name;
  std::vector<Step> steps;
  ULONG finalState;
};

TEST_F(UsbStreamClients, EveryOrderAllowedSucceedsAndTheOthersAreRefused) {
  const NTSTATUS ok = STATUS_SUCCESS, inval = STATUS_INVALID_PARAMETER, fail = STATUS_UNSUCCESSFUL,
                 busy = STATUS_INVALID_DEVICE_STATE;
  const Script scripts[] = {
      {"the whole way", {{0, REG, ok}, {0, PREP, ok}, {0, START, ok}, {0, STOP, ok}, {0, UNPREP, ok}, {0, UNREG, ok}}, 0},
      {"start before prepare", {{0, REG, ok}, {0, START, inval}, {0, UNREG, ok}}, 0},
      {"start unprepared while another holds resources",
       {{0, REG, ok}, {1, REG, ok}, {1, PREP, ok}, {0, START, inval}},
       1},
      {"unregister while prepared", {{0, REG, ok}, {0, PREP, ok}, {0, UNREG, fail}, {0, UNPREP, ok}, {0, UNREG, ok}}, 0},
      {"unregister while started", {{0, REG, ok}, {0, PREP, ok}, {0, START, ok}, {0, UNREG, fail}}, 2},
      {"unprepare while started", {{0, REG, ok}, {0, PREP, ok}, {0, START, ok}, {0, UNPREP, busy}, {0, STOP, ok}}, 1},
      {"prepare twice", {{0, REG, ok}, {0, PREP, ok}, {0, PREP, inval}}, 1},
      {"start twice", {{0, REG, ok}, {0, PREP, ok}, {0, START, ok}, {0, START, busy}, {0, STOP, ok}, {0, STOP, inval}}, 1},
      {"stop unstarted", {{0, REG, ok}, {0, STOP, inval}, {0, PREP, ok}, {0, STOP, inval}}, 1},
      {"unprepare unprepared", {{0, REG, ok}, {0, UNPREP, inval}}, 0},
      {"unregister twice", {{0, REG, ok}, {0, UNREG, ok}, {0, UNREG, fail}}, 0},
      {"unknown keys", {{0, PREP, inval}, {0, START, inval}, {0, STOP, inval}, {0, UNPREP, inval}, {0, UNREG, fail}}, 0},
      {"stop, start again", {{0, REG, ok}, {0, PREP, ok}, {0, START, ok}, {0, STOP, ok}, {0, START, ok}}, 2},
      {"two clients in and out",
       {{0, REG, ok}, {1, REG, ok}, {0, PREP, ok}, {0, START, ok}, {1, PREP, ok}, {1, START, ok}, {0, STOP, ok},
        {1, STOP, ok}, {1, UNPREP, ok}, {0, UNPREP, ok}, {1, UNREG, ok}, {0, UNREG, ok}},
       0},
      {"higher leaves first while lower runs",
       {{0, REG, ok}, {1, REG, ok}, {1, PREP, ok}, {1, START, ok}, {0, PREP, ok}, {0, START, ok}, {1, STOP, ok},
        {1, UNPREP, ok}, {1, UNREG, ok}},
       2},
      // The lower client starts on resources the higher one prepared: it waits for that
      // one, which then starts in its own format and hands the device down as it stops.
      {"lower starts while higher holds the device",
       {{0, REG, ok}, {1, REG, ok}, {0, PREP, ok}, {1, PREP, ok}, {0, START, ok}},
       1},
      {"higher starts after the lower one",
       {{0, REG, ok}, {1, REG, ok}, {0, PREP, ok}, {1, PREP, ok}, {0, START, ok}, {1, START, ok}, {1, STOP, ok}},
       2},
      // A client that held the device for itself and leaves without starting gives it
      // back to the one that runs.
      {"higher prepares and leaves unstarted",
       {{0, REG, ok}, {1, REG, ok}, {0, PREP, ok}, {0, START, ok}, {1, PREP, ok}, {1, UNPREP, ok}},
       2},
      {"lower waits, higher leaves unstarted",
       {{0, REG, ok}, {1, REG, ok}, {1, PREP, ok}, {0, PREP, ok}, {0, START, ok}, {1, UNPREP, ok}},
       2},
  };
  const ULONG priorities[] = {3, 5};
  for (const Script& script : scripts) {
    CFakeStream* engine = NewEngine(adapter::STREAM_DIRECTION_RENDER);
    Client clients[2];
    for (const Step& s : script.steps) {
      Client& c = clients[s.client];
      ULONG ms = 0, frame = 0;
      NTSTATUS status = STATUS_SUCCESS;
      switch (s.op) {
        case REG: status = Register(c, priorities[s.client], s.client ? kHiRes : kCd, 2, 3, engine); break;
        case PREP: status = engine->PrepareClient(c.key(), &ms, &frame); break;
        case START: status = engine->StartClient(c.key(), 2000, &ms, nullptr); break;
        case STOP: status = engine->StopClient(c.key(), nullptr); break;
        case UNPREP: status = engine->UnprepareClient(c.key()); break;
        case UNREG:
          status = engine->UnregisterClient(c.key());
          if (NT_SUCCESS(status)) c.record = nullptr;
          break;
      }
      EXPECT_EQ(status, s.expected) << script.name << ", step " << (&s - script.steps.data());
      // A running device runs for the head of the running list, in that client's format.
      if (engine->GetStreamState() == stream::STREAM_STATE_RUNNING) {
        ASSERT_NE(engine->GetRunningHead(), nullptr) << script.name;
        EXPECT_EQ(engine->GetCurrentClient(), engine->GetRunningHead()) << script.name;
        EXPECT_EQ(std::memcmp(&engine->allocatedFor, &engine->GetRunningHead()->Format, sizeof engine->allocatedFor), 0)
            << script.name << ", step " << (&s - script.steps.data());
      }
    }
    EXPECT_EQ(engine->GetStreamState(), script.finalState) << script.name;
    // Each client's started flag says whether it is in the running list.
    for (Client& c : clients) {
      if (c.record) {
        EXPECT_EQ(c.record->Started != 0, engine->FindRunning(c.key()) != nullptr) << script.name;
      }
    }
    for (Client& c : clients) engine->StopClient(c.key(), nullptr);
    for (Client& c : clients) engine->UnprepareClient(c.key());
    for (Client& c : clients) engine->UnregisterClient(c.key());
    EXPECT_EQ(engine->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES) << script.name;
    Release(engine);
  }
}

// ---------------------------------------------------------------------------------------
// Hand-overs

// The WaveCyclic stream runs, the ASIO client takes the device and gives it back: the
// stream stops, moves to the other format and restarts, and every client hears every
// format record.
TEST_F(UsbStreamClients, HigherPriorityClientTakesTheDeviceAndGivesItBack) {
  Client wave, asio;
  ASSERT_EQ(Register(wave, stream::kWaveCyclicClientPriority, kCd, 10, 3), STATUS_SUCCESS);
  ASSERT_EQ(Register(asio, stream::kAsioClientPriority, kHiRes, 1, 4), STATUS_SUCCESS);
  ULONG frame = 0;
  ASSERT_EQ(Prepare(wave, &frame), STATUS_SUCCESS);
  EXPECT_EQ(frame, kFirstFrame);
  ULONG ms = 0;
  ASSERT_EQ(engine_->StartClient(wave.key(), frame + 2, &ms, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ms, 10u);
  EXPECT_EQ(engine_->NextStartFrame(), kFirstFrame + 2);
  EXPECT_EQ(engine_->ExplicitStart(), 1);
  EXPECT_EQ(engine_->GetStreamState(), stream::STREAM_STATE_RUNNING);
  EXPECT_EQ(engine_->GetCurrentClient(), wave.record);
  EXPECT_EQ(wave.record->Started, 1);
  ASSERT_EQ(wave.seen.size(), 1u);
  EXPECT_EQ(wave.seen[0].code, stream::STREAM_NOTIFY_FORMAT);
  EXPECT_EQ(wave.seen[0].msPerUrb, 10u | stream::kFormatChangedFlag);
  EXPECT_EQ(wave.seen[0].urbs, 3u);
  EXPECT_EQ(engine_->urbsSent, 10u);  // the engine's URBs in flight

  engine_->log.clear();
  ASSERT_EQ(Prepare(asio, &frame), STATUS_SUCCESS);
  EXPECT_EQ(engine_->log, (Log{"stop", "free", "alloc 5"}));
  EXPECT_EQ(frame, kFirstFrame + 100);
  EXPECT_EQ(engine_->GetStreamState(), stream::STREAM_STATE_ALLOCATED);
  EXPECT_EQ(std::memcmp(&engine_->allocatedFor, &kHiRes, sizeof kHiRes), 0);

  engine_->log.clear();
  ASSERT_EQ(engine_->StartClient(asio.key(), frame + 5, &ms, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ms, 1u);
  EXPECT_EQ(engine_->log, (Log{"start 1105"}));
  EXPECT_EQ(engine_->GetCurrentClient(), asio.record);
  EXPECT_EQ(std::memcmp(&engine_->GetCurrentWaveFormat(), &kHiRes, sizeof kHiRes), 0);
  for (Client* c : {&wave, &asio}) {
    ASSERT_FALSE(c->seen.empty());
    EXPECT_EQ(c->seen.back().client, asio.record);
    EXPECT_EQ(c->seen.back().msPerUrb, 1u | stream::kFormatChangedFlag);
    EXPECT_EQ(c->seen.back().urbs, 4u);
  }

  // The ASIO client stops: the stream goes back to the WaveCyclic format, 5 frames on.
  engine_->log.clear();
  ASSERT_EQ(engine_->StopClient(asio.key(), nullptr), STATUS_SUCCESS);
  EXPECT_EQ(engine_->log, (Log{"stop", "free", "alloc 3", "start 1205"}));
  EXPECT_EQ(engine_->GetCurrentClient(), wave.record);
  EXPECT_EQ(asio.record->Started, 0);
  EXPECT_EQ(std::memcmp(&engine_->GetCurrentWaveFormat(), &kCd, sizeof kCd), 0);
  EXPECT_EQ(wave.seen.back().client, wave.record);
  EXPECT_EQ(wave.seen.back().msPerUrb, 10u | stream::kFormatChangedFlag);
  EXPECT_EQ(asio.seen.back().client, wave.record);
  Detach({&asio, &wave});
}

// A lower-priority client that starts while a higher one runs queues behind it: a format
// record without the change flag, the device untouched.
TEST_F(UsbStreamClients, LowerPriorityStartLeavesTheDeviceAlone) {
  Client wave, asio;
  ASSERT_EQ(Register(wave, 3, kCd, 10, 3), STATUS_SUCCESS);
  ASSERT_EQ(Register(asio, 5, kHiRes, 1, 4), STATUS_SUCCESS);
  ASSERT_EQ(Prepare(asio), STATUS_SUCCESS);
  ASSERT_EQ(StartAt(asio, 1005), STATUS_SUCCESS);
  ASSERT_EQ(Prepare(wave), STATUS_SUCCESS);
  engine_->log.clear();
  ULONG ms = 0;
  ASSERT_EQ(engine_->StartClient(wave.key(), 1002, &ms, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ms, 1u);  // the current client's
  EXPECT_EQ(engine_->log, Log{});
  EXPECT_EQ(engine_->GetCurrentClient(), asio.record);
  EXPECT_EQ(wave.record->Started, 1);
  EXPECT_EQ(wave.seen.back().client, asio.record);
  EXPECT_EQ(wave.seen.back().msPerUrb, 1u);  // no change flag
  // Stopping the one behind changes nothing either.
  ASSERT_EQ(engine_->StopClient(wave.key(), nullptr), STATUS_SUCCESS);
  EXPECT_EQ(engine_->log, Log{});
  EXPECT_EQ(wave.record->Started, 0);
  Detach({&wave, &asio});
}

// A higher-priority client whose allocation fails leaves the device to the client that
// had it: resources back in that client's format and, if it ran, running again.
TEST_F(UsbStreamClients, FailedPrepareRestoresThePreviousClient) {
  for (bool running : {true, false}) {
    SCOPED_TRACE(running ? "running" : "prepared");
    Client wave, asio;
    ASSERT_EQ(Register(wave, 3, kCd), STATUS_SUCCESS);
    ASSERT_EQ(Register(asio, 5, kHiRes), STATUS_SUCCESS);
    ASSERT_EQ(Prepare(wave), STATUS_SUCCESS);
    if (running) {
      ASSERT_EQ(StartAt(wave, 1002), STATUS_SUCCESS);
    }
    engine_->failAllocationOf = 5;
    engine_->log.clear();
    ULONG frame = 7;
    EXPECT_EQ(Prepare(asio, &frame), STATUS_INSUFFICIENT_RESOURCES);
    engine_->failAllocationOf = ~0ull;
    const ULONG restoredAt = engine_->nextFrame - 100;
    EXPECT_EQ(engine_->log, running ? (Log{"stop", "free", "alloc 5", "alloc 3", "start " + std::to_string(restoredAt + 5)})
                                    : (Log{"free", "alloc 5", "alloc 3"}));
    EXPECT_EQ(engine_->GetStreamState(), running ? stream::STREAM_STATE_RUNNING : stream::STREAM_STATE_ALLOCATED);
    EXPECT_EQ(engine_->GetCurrentPreparedClient(), wave.record);
    EXPECT_EQ(std::memcmp(&engine_->allocatedFor, &kCd, sizeof kCd), 0);
    EXPECT_EQ(engine_->FindPrepared(asio.key()), nullptr);
    EXPECT_EQ(engine_->FindRegistered(asio.key()), asio.record);  // still registered: it may try again
    ASSERT_EQ(Prepare(asio), STATUS_SUCCESS);
    EXPECT_EQ(engine_->GetCurrentPreparedClient(), asio.record);
    Detach({&asio, &wave});
    EXPECT_EQ(engine_->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES);
  }
}

// A start whose URBs cannot be queued frees the resources and puts back the client that
// drove the device before, with its format.
TEST_F(UsbStreamClients, FailedStartRestoresThePreviousCurrentClient) {
  Client wave, asio;
  ASSERT_EQ(Register(wave, 3, kCd, 10, 3), STATUS_SUCCESS);
  ASSERT_EQ(Register(asio, 5, kHiRes, 1, 4), STATUS_SUCCESS);

  // No previous client.
  ASSERT_EQ(Prepare(wave), STATUS_SUCCESS);
  engine_->sendStatus = STATUS_DEVICE_NOT_CONNECTED;
  EXPECT_EQ(StartAt(wave, 1002), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(engine_->GetCurrentClient(), nullptr);
  EXPECT_EQ(wave.record->Started, 0);
  EXPECT_EQ(engine_->RunningCount(), 0u);
  EXPECT_EQ(engine_->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES);
  // The resources went with the failure; the next prepare allocates them again.
  engine_->sendStatus = STATUS_SUCCESS;
  ASSERT_EQ(engine_->UnprepareClient(wave.key()), STATUS_SUCCESS);
  ASSERT_EQ(Prepare(wave), STATUS_SUCCESS);
  EXPECT_EQ(engine_->GetStreamState(), stream::STREAM_STATE_ALLOCATED);
  ASSERT_EQ(StartAt(wave, 1102), STATUS_SUCCESS);

  // With a previous client; only the new client's start fails.
  ASSERT_EQ(Prepare(asio), STATUS_SUCCESS);
  engine_->sendStatus = STATUS_DEVICE_NOT_CONNECTED;
  engine_->sendFailures = 1;
  EXPECT_EQ(StartAt(asio, 1205), STATUS_DEVICE_NOT_CONNECTED);
  engine_->sendStatus = STATUS_SUCCESS;
  EXPECT_EQ(engine_->GetCurrentClient(), wave.record);
  EXPECT_EQ(asio.record->Started, 0);
  EXPECT_EQ(engine_->FindRunning(asio.key()), nullptr);
  EXPECT_EQ(std::memcmp(&engine_->GetCurrentWaveFormat(), &kCd, sizeof kCd), 0);
  // The client that ran before runs again, re-allocated in its own format.
  EXPECT_EQ(engine_->GetStreamState(), stream::STREAM_STATE_RUNNING);
  EXPECT_EQ(std::memcmp(&engine_->allocatedFor, &kCd, sizeof kCd), 0);
  EXPECT_EQ(wave.seen.back().client, wave.record);
  EXPECT_EQ(wave.seen.back().msPerUrb, 10u | stream::kFormatChangedFlag);
  EXPECT_EQ(engine_->StopClient(asio.key(), nullptr), STATUS_INVALID_PARAMETER);
  Detach({&asio, &wave});
}

// ---------------------------------------------------------------------------------------
// Start and Stop

TEST_F(UsbStreamClients, StartHandsTheFormatToProcessingNodesAndStopResetsThem) {
  CTestDspNode* node = NewTestDspNode();
  ASSERT_EQ(engine_->AddDspNode(node), STATUS_SUCCESS);
  EXPECT_EQ(engine_->Start(0, 0), STATUS_UNSUCCESSFUL);  // no resources
  EXPECT_EQ(engine_->Stop(), STATUS_UNSUCCESSFUL);
  Client c;
  ASSERT_EQ(Register(c, 3, kHiRes), STATUS_SUCCESS);
  ASSERT_EQ(Prepare(c), STATUS_SUCCESS);
  engine_->slots = 4;  // the fifth URB finds no free slot: still a success
  ASSERT_EQ(StartAt(c, 1002), STATUS_SUCCESS);
  EXPECT_EQ(engine_->urbsSent, 5u);
  ASSERT_EQ(node->formats.size(), 1u);
  EXPECT_EQ(std::memcmp(&node->formats[0], &kHiRes, sizeof kHiRes), 0);
  EXPECT_EQ(engine_->Start(0, 0), STATUS_UNSUCCESSFUL);  // already running
  node->resetStatus = STATUS_DEVICE_BUSY;
  EXPECT_EQ(engine_->Stop(), STATUS_DEVICE_BUSY);
  EXPECT_EQ(engine_->GetStreamState(), stream::STREAM_STATE_ALLOCATED);
  EXPECT_EQ(node->resets, 1u);
  node->resetStatus = STATUS_SUCCESS;
  ASSERT_EQ(engine_->StopClient(c.key(), nullptr), STATUS_SUCCESS);
  Detach({&c});
  node->Release();
}

// ---------------------------------------------------------------------------------------
// Processing objects

TEST_F(UsbStreamClients, ProcessingObjectsGoToTheListOfTheirPriorityAndDirection) {
  struct Case {
    ULONG direction;
    ULONG priority;
    ULONG first, second;
  } cases[] = {
      {adapter::STREAM_DIRECTION_RENDER, 1, 0, 1},  {adapter::STREAM_DIRECTION_RENDER, 2, 1, 0},
      {adapter::STREAM_DIRECTION_CAPTURE, 1, 1, 0}, {adapter::STREAM_DIRECTION_CAPTURE, 2, 0, 1},
      {adapter::STREAM_DIRECTION_RENDER, 3, 0, 0},  {adapter::STREAM_DIRECTION_CAPTURE, 5, 0, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.direction) + "/" + std::to_string(k.priority));
    CFakeStream* engine = NewEngine(k.direction);
    CTestDspNode* node = NewTestDspNode();
    Client c;
    ASSERT_EQ(Register(c, k.priority, kCd, 2, 3, engine), STATUS_SUCCESS);
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(engine->PrepareClient(c.key(), &ms, &frame), STATUS_SUCCESS);
    ASSERT_EQ(engine->StartClient(c.key(), 5, &ms, static_cast<adapter::IDspNode*>(node)), STATUS_SUCCESS);
    EXPECT_EQ(engine->FirstEffects(), k.first);
    EXPECT_EQ(engine->SecondEffects(), k.second);
    EXPECT_EQ(node->References(), 1 + static_cast<LONG>(k.first + k.second));
    ASSERT_EQ(engine->StopClient(c.key(), static_cast<adapter::IDspNode*>(node)), STATUS_SUCCESS);
    EXPECT_EQ(engine->FirstEffects() + engine->SecondEffects(), 0u);
    EXPECT_EQ(node->References(), 1);
    EXPECT_EQ(engine->UnprepareClient(c.key()), STATUS_SUCCESS);
    EXPECT_EQ(engine->UnregisterClient(c.key()), STATUS_SUCCESS);
    node->Release();
    Release(engine);
  }
}

// An object that does not process buffers, or one that was never handed over, is refused
// before the client's state changes.
TEST_F(UsbStreamClients, WrongProcessingObjectsChangeNothing) {
  CFakeStream* other = NewEngine(adapter::STREAM_DIRECTION_RENDER);  // answers no IDspNode
  CTestDspNode* node = NewTestDspNode();
  Client c;
  ASSERT_EQ(Register(c, 2, kCd), STATUS_SUCCESS);
  ASSERT_EQ(Prepare(c), STATUS_SUCCESS);
  EXPECT_EQ(StartAt(c, 5, static_cast<stream::IUsbStreamEngine*>(other)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(c.record->Started, 0);
  EXPECT_EQ(engine_->GetStreamState(), stream::STREAM_STATE_ALLOCATED);
  ASSERT_EQ(StartAt(c, 5), STATUS_SUCCESS);
  EXPECT_EQ(engine_->StopClient(c.key(), static_cast<adapter::IDspNode*>(node)), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(c.record->Started, 1);  // still running
  EXPECT_EQ(engine_->StopClient(c.key(), nullptr), STATUS_SUCCESS);
  // No node for the effect list: the start fails as a whole.
  platform::pool::FailTag(adapter::kPtrListTag);
  EXPECT_EQ(StartAt(c, 5, static_cast<adapter::IDspNode*>(node)), STATUS_INSUFFICIENT_RESOURCES);
  platform::pool::FailTag(adapter::kPtrListTag, false);
  EXPECT_EQ(c.record->Started, 0);
  EXPECT_EQ(node->References(), 1);
  Detach({&c});
  node->Release();
  Release(other);
}

// ---------------------------------------------------------------------------------------
// Two processors at once

VOID Count(PVOID context, PVOID, PVOID) { static_cast<std::atomic<int>*>(context)->fetch_add(1); }

// Two clients come and go on the same engine from two processors while a timer's DPC
// runs the processing hook at DISPATCH_LEVEL. Registering, preparing, unpreparing and
// unregistering always succeed; a start can be refused while the other client drives
// the device (it did not prepare after that one started), and then its stop is refused
// too. The engine ends with no client and no resources. Runs under scheduler seeds (and
// free-running under the thread sanitizer).
TEST_F(UsbStreamClients, ClientsChangedFromTwoProcessorsAtOnce) {
  ASSERT_EQ(engine_->AllocStreamBuffers(), STATUS_SUCCESS);
  CTestDspNode* node = NewTestDspNode(0.5f);
  ASSERT_EQ(engine_->AddDspNode(node), STATUS_SUCCESS);
  std::atomic<int> notices{0};
  std::atomic<int> failures{0};
  auto cycle = [&](ULONG priority, const WAVEFORMATEXTENSIBLE& format, int rounds) {
    for (int i = 0; i < rounds; ++i) {
      PSTREAMCLIENTRECORD record = nullptr;
      ULONG ms = 0, frame = 0;
      NTSTATUS s = engine_->RegisterClient(priority, &format, 2, 3, Count, &notices, &record);
      if (!NT_SUCCESS(s)) {
        ++failures;
        continue;
      }
      const ULONGLONG key = record->Key;
      if (!NT_SUCCESS(engine_->PrepareClient(key, &ms, &frame))) ++failures;
      const NTSTATUS started = engine_->StartClient(key, frame + 2, &ms, nullptr);
      if (started != STATUS_SUCCESS && started != STATUS_UNSUCCESSFUL) ++failures;
      platform::testing::DelayMs(1 + i % 3);  // streams for a while, with the hook running
      if (engine_->StopClient(key, nullptr) != (NT_SUCCESS(started) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER))
        ++failures;
      if (!NT_SUCCESS(engine_->UnprepareClient(key))) ++failures;
      if (!NT_SUCCESS(engine_->UnregisterClient(key))) ++failures;
    }
  };
  // The processing hook runs as a transfer completion would: from a DPC, every
  // millisecond, on whatever the lists and the format are at that moment.
  struct Hook {
    CFakeStream* engine;
    std::vector<UCHAR> buffer = std::vector<UCHAR>(6 * 64);
  } hook{engine_};
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(
      &dpc,
      [](PKDPC, PVOID context, PVOID, PVOID) {
        auto* h = static_cast<Hook*>(context);
        // Either format may be current; both divide the buffer into whole frames.
        h->engine->ProcessBuffer(h->buffer.data(), static_cast<ULONG>(h->buffer.size()));
        h->engine->GetRunningHead();
      },
      &hook);
  ExSetTimerResolution(static_cast<ULONG>(platform::clock::kTicksPerMillisecond), TRUE);
  LARGE_INTEGER due;
  due.QuadPart = -platform::clock::kTicksPerMillisecond;
  KeSetTimerEx(&timer, due, 1, &dpc);
  platform::clock::Thread asio("asio client", [&] { cycle(5, kHiRes, 20); });
  cycle(3, kCd, 20);
  asio.Join();
  KeCancelTimer(&timer);
  KeFlushQueuedDpcs();
  ExSetTimerResolution(0, FALSE);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(notices.load(), 0);
  EXPECT_FALSE(node->frameCounts.empty());  // the hook ran on running streams
  EXPECT_EQ(engine_->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES);
  EXPECT_EQ(engine_->GetCurrentClient(), nullptr);
  EXPECT_EQ(engine_->RegisteredCount() + engine_->PreparedCount() + engine_->RunningCount(), 0u);
  node->Release();
}

}  // namespace
