// The USB stream engine as the filter builder makes it: Init with its callback object and
// control thread, the end of that thread in the destructor (also for an engine whose Init
// never ran), the format records and the alternate-setting lookup.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "kernel/callback.h"
#include "kernel/pool.h"
#include "support/fault_sweep.h"
#include "support/kernel_fixture.h"
#include "support/wave_formats.h"
#include "stream/uac1_stream_engines.h"

// The control thread's priorities as Init sets them: the kernel's KeSetPriorityThread is
// wrapped at link time for this suite, so each call is recorded before it runs.
std::mutex g_priorityLock;
std::vector<std::pair<PKTHREAD, KPRIORITY>> g_prioritySets;

extern "C" KPRIORITY __real__Z19KeSetPriorityThreadP7KTHREADi(PKTHREAD thread, KPRIORITY priority);
extern "C" KPRIORITY __wrap__Z19KeSetPriorityThreadP7KTHREADi(PKTHREAD thread, KPRIORITY priority) {
  {
    std::lock_guard lock(g_priorityLock);
    g_prioritySets.emplace_back(thread, priority);
  }
  return __real__Z19KeSetPriorityThreadP7KTHREADi(thread, priority);
}

namespace {

using platform::testing::FaultSweep;
using platform::testing::ForEachAllocationFailure;
using stream::CUac1CaptureStream;
using stream::CUac1RenderStream;
using stream::CUsbStreamEngine;

constexpr ULONG kEngineTag = MakePoolTag('T', 'u', 's', 'e');

template <class Engine = CUac1RenderStream>
CUsbStreamEngine* NewEngine(ULONG interfaceNumber = 1, ULONG terminalNode = 0) {
  auto* engine = new (NonPagedPool, kEngineTag) Engine(nullptr, interfaceNumber, terminalNode);
  static_cast<stream::IUsbStreamEngine*>(engine)->AddRef();
  return engine;
}

void Release(CUsbStreamEngine* engine) { static_cast<stream::IUsbStreamEngine*>(engine)->Release(); }

// The PCM sub-type with its first field replaced (0x92: AC-3 over S/PDIF), and an explicit mask.
WAVEFORMATEXTENSIBLE Format(WORD channels, ULONG rate, WORD bits, ULONG mask, ULONG subFormat = 1) {
  GUID sub = KSDATAFORMAT_SUBTYPE_PCM;
  sub.Data1 = subFormat;
  WAVEFORMATEXTENSIBLE f = platform::testing::ExtensibleFormat(channels, rate, bits, sub);
  f.dwChannelMask = mask;
  return f;
}

class UsbStreamEngine : public platform::testing::KernelTest {};

TEST_F(UsbStreamEngine, InitStartsTheControlThreadAndTheDestructorEndsIt) {
  for (ULONG direction : {adapter::STREAM_DIRECTION_RENDER, adapter::STREAM_DIRECTION_CAPTURE}) {
    CUsbStreamEngine* engine =
        direction == adapter::STREAM_DIRECTION_RENDER ? NewEngine<CUac1RenderStream>() : NewEngine<CUac1CaptureStream>();
    ASSERT_EQ(engine->Init(direction, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(engine->HasControlThread());
    EXPECT_NE(engine->GetCyclicCallbackObject(), nullptr);
    EXPECT_EQ(engine->GetDirection(), direction);
    EXPECT_EQ(engine->GetMsPerUrb(), 10u);
    EXPECT_EQ(engine->GetUrbsInFlight(), 10u);
    // The engine's name for its clients: a second creation by name opens the same object.
    WCHAR name[64];
    ASSERT_EQ(RtlStringCbPrintfW(name, sizeof name, u"\\Callback\\CyclicControlAddr%p",
                                 static_cast<const void*>(engine)),
              STATUS_SUCCESS);
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PCALLBACK_OBJECT opened = nullptr;
    ASSERT_EQ(ExCreateCallback(&opened, &attributes, FALSE, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(opened, engine->GetCyclicCallbackObject());
    ObDereferenceObject(opened);
    Release(engine);  // ends the thread; the fixture reports a thread left running
  }
}

// An engine whose Init never ran (or failed) has no control thread: its destructor must
// not wait for one.
TEST_F(UsbStreamEngine, DestructorWithoutControlThreadReturns) {
  CUsbStreamEngine* engine = NewEngine();
  EXPECT_FALSE(engine->HasControlThread());
  Release(engine);
  engine = NewEngine();
  EXPECT_EQ(engine->Init(7, nullptr), STATUS_INVALID_PARAMETER);  // no such direction
  EXPECT_FALSE(engine->HasControlThread());
  Release(engine);
}

TEST_F(UsbStreamEngine, InitAllocationFailuresLeaveNothingBehind) {
  const auto allocations = ForEachAllocationFailure([&](FaultSweep& sweep) {
    CUsbStreamEngine* engine = NewEngine();
    sweep.Arm();
    const NTSTATUS status = engine->Init(adapter::STREAM_DIRECTION_CAPTURE, nullptr);
    const bool fired = sweep.Disarm();
    if (fired) {
      EXPECT_FALSE(NT_SUCCESS(status)) << "allocation " << sweep.n();
    } else {
      EXPECT_EQ(status, STATUS_SUCCESS);
    }
    EXPECT_EQ(engine->HasControlThread(), NT_SUCCESS(status));
    Release(engine);
  });
  EXPECT_GT(allocations, 0u);
}

// Engines come and go while their threads start and wait: each destructor ends its own
// thread, whatever the scheduler interleaves (the suite runs under several seeds).
TEST_F(UsbStreamEngine, EnginesCreatedAndDestroyedInTurnEndEveryThread) {
  std::vector<CUsbStreamEngine*> engines;
  for (ULONG i = 0; i < 6; ++i) {
    engines.push_back(NewEngine(i));
    ASSERT_EQ(engines.back()->Init(i % 2, nullptr), STATUS_SUCCESS);
    if (i % 3 == 2) {
      Release(engines.front());
      engines.erase(engines.begin());
    }
  }
  // A transfer error outside the running state wakes the thread, which leaves it alone.
  for (CUsbStreamEngine* engine : engines) engine->SignalTransferError();
  platform::testing::DelayMs(1);
  for (CUsbStreamEngine* engine : engines) Release(engine);
}

TEST_F(UsbStreamEngine, AnswersItsInterfacesOnly) {
  CUsbStreamEngine* engine = NewEngine();
  auto* unknown = static_cast<stream::IUsbStreamEngine*>(engine);
  const GUID* answered[] = {&stream::IID_IUsbStreamEngine, &stream::IID_IUsbStreamDrm, &adapter::IID_IStreamEngine,
                            &IID_IUnknown};
  for (const GUID* iid : answered) {
    PVOID itf = nullptr;
    EXPECT_EQ(unknown->QueryInterface(*iid, &itf), STATUS_SUCCESS);
    ASSERT_NE(itf, nullptr);
    static_cast<PUNKNOWN>(itf)->Release();
  }
  PVOID itf = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(unknown->QueryInterface(adapter::IID_IDspNode, &itf), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(itf, nullptr);
  // An engine without its owner or a client: nothing to allocate, free, stop or send.
  EXPECT_EQ(engine->AllocateResources(nullptr, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(engine->FreeResources(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(engine->Stop(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(engine->SendStreamUrb(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(engine->Restart(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(engine->Recover(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(engine->SetContentId(1, nullptr), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(engine->IsAltSettingValid(3));
  Release(engine);
}

VOID IgnoreRecords(PVOID, PVOID, PVOID) {}

// The engine's fixed values, each as the interface contract states it: its interfaces'
// identifiers, the control thread raised to priority 31 and then set to 24, at which it
// runs, and the pool tag "USBS" of the format and client records.
TEST_F(UsbStreamEngine, IdentifiersThreadPriorityAndRecordTags) {
  const GUID kUsbStreamEngine = {0x7C4D1930, 0x875A, 0x418C, {0xA0, 0xA4, 0x3A, 0x30, 0x45, 0x6A, 0x89, 0x96}};
  const GUID kUsbStreamDrm = {0xAA68946D, 0x7D26, 0x4137, {0x9A, 0x5D, 0x71, 0xE1, 0xED, 0xB6, 0xC0, 0xCC}};
  const ULONG kRecordTag = MakePoolTag('U', 'S', 'B', 'S');
  CUsbStreamEngine* engine = NewEngine();
  {
    std::lock_guard lock(g_priorityLock);
    g_prioritySets.clear();
  }
  ASSERT_EQ(engine->Init(adapter::STREAM_DIRECTION_RENDER, nullptr), STATUS_SUCCESS);
  std::vector<std::pair<PKTHREAD, KPRIORITY>> sets;
  {
    std::lock_guard lock(g_priorityLock);
    sets = g_prioritySets;
  }
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[0].first, sets[1].first);
  EXPECT_EQ(sets[0].second, 31);
  EXPECT_EQ(sets[1].second, 24);
  EXPECT_EQ(KeQueryPriorityThread(sets[1].first), 24);

  const struct {
    const char* what;
    const GUID& iid;
    PVOID expected;
  } interfaces[] = {
      {"{7C4D1930-875A-418C-A0A4-3A30456A8996}", kUsbStreamEngine, static_cast<stream::IUsbStreamEngine*>(engine)},
      {"{AA68946D-7D26-4137-9A5D-71E1EDB6C0CC}", kUsbStreamDrm, static_cast<stream::IUsbStreamDrm*>(engine)},
  };
  for (const auto& i : interfaces) {
    PVOID itf = nullptr;
    ASSERT_EQ(static_cast<stream::IUsbStreamEngine*>(engine)->QueryInterface(i.iid, &itf), STATUS_SUCCESS) << i.what;
    EXPECT_EQ(itf, i.expected) << i.what;
    static_cast<PUNKNOWN>(itf)->Release();
  }

  const platform::pool::Mark mark = platform::pool::CurrentMark();
  const WAVEFORMATEXTENSIBLE f = Format(2, 48000, 16, 3);
  ASSERT_EQ(engine->AddStreamFormat(&f, 1), STATUS_SUCCESS);
  auto records = platform::pool::LiveBlocksWithTag(kRecordTag, mark);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(records[0].paged);  // the format record
  stream::PSTREAMCLIENTRECORD client = nullptr;
  ASSERT_EQ(engine->RegisterClient(stream::kWaveCyclicClientPriority, &f, 5, 3, IgnoreRecords, nullptr, &client),
            STATUS_SUCCESS);
  records = platform::pool::LiveBlocksWithTag(kRecordTag, mark);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_FALSE(records[1].paged);  // the client record
  EXPECT_EQ(records[1].address, static_cast<const void*>(client));
  EXPECT_EQ(engine->UnregisterClient(client->Key), STATUS_SUCCESS);
  Release(engine);
}

TEST_F(UsbStreamEngine, FindAltSettingMatchesAsFindFormatDoes) {
  CUsbStreamEngine* engine = NewEngine();
  ASSERT_EQ(engine->Init(adapter::STREAM_DIRECTION_RENDER, nullptr), STATUS_SUCCESS);
  const std::pair<WAVEFORMATEXTENSIBLE, UCHAR> offered[] = {{Format(2, 48000, 16, 0x3), 1},
                                                              {Format(2, 48000, 24, 0x3), 2},
                                                              {Format(2, 48000, 16, 0x3, 0x92), 3},
                                                              {Format(2, 48000, 16, 0x0), 4}};
  for (const auto& [format, alt] : offered) ASSERT_EQ(engine->AddStreamFormat(&format, alt), STATUS_SUCCESS);
  EXPECT_EQ(engine->GetFormatRecordCount(), 4u);
  EXPECT_EQ(engine->GetFormatCount(), 4u);

  // Extensible formats with room for more bytes than their 40: the lookup reads exactly
  // 40 of them (ASan would report a read past the block).
  struct Case {
    const char* name;
    WAVEFORMATEXTENSIBLE format;
    USHORT cbSize;
    WORD tag;  // 0: keep the extensible tag
    NTSTATUS status;
    UCHAR alt;
  } cases[] = {
      {"extensible 16-bit", Format(2, 48000, 16, 0x3), 22, 0, STATUS_SUCCESS, 1},
      {"extensible 24-bit", Format(2, 48000, 24, 0x3), 22, 0, STATUS_SUCCESS, 2},
      {"extensible, mask 0", Format(2, 48000, 16, 0x0), 22, 0, STATUS_SUCCESS, 4},
      {"extensible, cbSize claims more", Format(2, 48000, 16, 0x3), 0xFFFF, 0, STATUS_INVALID_PARAMETER, 0},
      {"extensible, too short", Format(2, 48000, 16, 0x3), 21, 0, STATUS_INVALID_PARAMETER, 0},
      {"extensible, other rate", Format(2, 44100, 16, 0x3), 22, 0, STATUS_INVALID_PARAMETER, 0},
      {"plain PCM", Format(2, 48000, 16, 0x3), 0, WAVE_FORMAT_PCM, STATUS_SUCCESS, 1},
      {"plain sub-type 0x92", Format(2, 48000, 16, 0x3), 0, 0x92, STATUS_SUCCESS, 3},
      {"plain, no such tag", Format(2, 48000, 16, 0x3), 0, WAVE_FORMAT_IEEE_FLOAT, STATUS_INVALID_PARAMETER, 0},
      {"plain, other channels", Format(1, 48000, 16, 0x3), 0, WAVE_FORMAT_PCM, STATUS_INVALID_PARAMETER, 0},
  };
  for (auto& c : cases) {
    WAVEFORMATEXTENSIBLE f = c.format;
    f.Format.cbSize = c.cbSize;
    if (c.tag) f.Format.wFormatTag = c.tag;
    UCHAR alt = 0xEE;
    const NTSTATUS status = engine->FindAltSetting(&f.Format, &alt);
    EXPECT_EQ(status, c.status) << c.name;
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(alt, c.alt) << c.name;
    }
  }
  const WAVEFORMATEXTENSIBLE known = Format(2, 48000, 16, 0x3);
  EXPECT_EQ(engine->FindAltSetting(&known.Format, nullptr), STATUS_INVALID_PARAMETER);
  Release(engine);
}

TEST_F(UsbStreamEngine, AddStreamFormatAllocationFailuresKeepListsInStep) {
  const auto allocations = ForEachAllocationFailure([&](FaultSweep& sweep) {
    CUsbStreamEngine* engine = NewEngine();
    ASSERT_EQ(engine->Init(adapter::STREAM_DIRECTION_RENDER, nullptr), STATUS_SUCCESS);
    WAVEFORMATEXTENSIBLE f = Format(2, 48000, 16, 0x3);
    sweep.Arm();
    const NTSTATUS status = engine->AddStreamFormat(&f, 1);
    sweep.Disarm();
    EXPECT_EQ(engine->GetFormatRecordCount(), NT_SUCCESS(status) ? 1u : 0u);
    EXPECT_EQ(engine->GetFormatCount(), NT_SUCCESS(status) ? 1u : 0u);
    Release(engine);
  });
  EXPECT_GE(allocations, 3u);  // at least the record, the format copy and its stereo copy
}

}  // namespace
