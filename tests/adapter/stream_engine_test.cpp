// The endpoint base: set-up and its clean-up, the name, the format lists and format
// matching, the signal path and the stream buffers.
#include "adapter/stream_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "adapter/endpoint_type.h"
#include "support/fault_sweep.h"
#include "support/kernel_fixture.h"
#include "support/model_doubles.h"
#include "support/wave_formats.h"

namespace {

using adapter::CStreamEngine;
using adapter::IStreamEngine;
using platform::testing::CProbeEntity;
using platform::testing::NewProbeEntity;

constexpr ULONG kEngineTag = MakePoolTag('T', 'e', 'n', 'g');

class StreamEngine : public platform::testing::KernelTest {
 protected:
  CStreamEngine* NewEngine(ULONG id = 3) {
    IStreamEngine* engine = nullptr;
    EXPECT_EQ(adapter::CreateInstance<CStreamEngine>(&engine, nullptr, NonPagedPool, kEngineTag, id), STATUS_SUCCESS);
    return static_cast<CStreamEngine*>(engine);
  }
  CStreamEngine* NewInitialisedEngine(ULONG direction = adapter::STREAM_DIRECTION_RENDER) {
    CStreamEngine* engine = NewEngine();
    EXPECT_EQ(engine->Init(direction), STATUS_SUCCESS);
    return engine;
  }
};

using platform::testing::ExtensibleFormat;

// A caller's format in a heap block of exactly the bytes it declares (18 + cbSize, at
// least 18), so reading past it is caught by the address sanitizer.
struct CallerFormat {
  explicit CallerFormat(const WAVEFORMATEX& head, SIZE_T bytes) : bytes_(bytes), block_(new UCHAR[bytes]) {
    std::memset(block_.get(), 0x5A, bytes);
    std::memcpy(block_.get(), &head, sizeof head);
  }
  CallerFormat(const WAVEFORMATEXTENSIBLE& full, SIZE_T bytes) : bytes_(bytes), block_(new UCHAR[bytes]) {
    std::memcpy(block_.get(), &full, bytes < sizeof full ? bytes : sizeof full);
  }
  PWAVEFORMATEX get() { return reinterpret_cast<PWAVEFORMATEX>(block_.get()); }
  SIZE_T bytes_;
  std::unique_ptr<UCHAR[]> block_;
};

TEST_F(StreamEngine, InitMakesItsListsNameAndNamedCallbackObject) {
  CStreamEngine* engine = NewEngine(5);
  EXPECT_EQ(engine->GetEngineId(), 5u);
  EXPECT_EQ(engine->Init(2), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(engine->Init(adapter::STREAM_DIRECTION_CAPTURE), STATUS_SUCCESS);
  EXPECT_EQ(engine->GetDirection(), adapter::STREAM_DIRECTION_CAPTURE);
  EXPECT_EQ(engine->Init(adapter::STREAM_DIRECTION_RENDER), STATUS_INVALID_DEVICE_STATE);
  // Nine lists and the paged name buffer.
  auto blocks = platform::pool::LiveBlocksWithTag(adapter::kStreamEnginePoolTag);
  ASSERT_EQ(blocks.size(), 10u);
  EXPECT_EQ(std::count_if(blocks.begin(), blocks.end(), [](const auto& b) { return b.paged; }), 1);

  WCHAR name[64];
  RtlStringCbPrintfW(name, sizeof name, u"\\Callback\\StreamEngineAddr%p", static_cast<const void*>(engine));
  UNICODE_STRING us;
  RtlInitUnicodeString(&us, name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  PCALLBACK_OBJECT object = nullptr;
  ASSERT_EQ(ExCreateCallback(&object, &attributes, FALSE, TRUE), STATUS_SUCCESS);
  int calls = 0;
  PVOID registration = nullptr;
  ASSERT_EQ(engine->RegisterCallback([](PVOID context, PVOID, PVOID) { ++*static_cast<int*>(context); }, &calls,
                                     &registration),
            STATUS_SUCCESS);
  ExNotifyCallback(object, nullptr, nullptr);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(engine->UnregisterCallback(registration), STATUS_SUCCESS);
  EXPECT_EQ(engine->UnregisterCallback(nullptr), STATUS_SUCCESS);  // nothing to undo
  ObDereferenceObject(object);
  EXPECT_EQ(engine->SetPowerState(PowerDeviceD3), STATUS_SUCCESS);

  // With no client attached the engine goes at once.
  const LONGLONG before = platform::clock::Now();
  engine->Release();
  EXPECT_EQ(platform::clock::Now(), before);
}

TEST_F(StreamEngine, EveryAllocationOfInitFailsCleanly) {
  const auto allocations = platform::testing::ForEachAllocationFailure([&](platform::testing::FaultSweep& sweep) {
    CStreamEngine* engine = NewEngine();
    sweep.Arm();
    NTSTATUS status = engine->Init(adapter::STREAM_DIRECTION_RENDER);
    if (sweep.Disarm()) {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(engine->GetName(), nullptr);
      EXPECT_EQ(engine->GetNodeCount(), 0u);
      EXPECT_EQ(platform::pool::LiveBlocksWithTag(adapter::kStreamEnginePoolTag).size(), 0u);
    } else {
      EXPECT_EQ(status, STATUS_SUCCESS);
    }
    engine->Release();
  });
  EXPECT_EQ(allocations, 10u);
}

TEST_F(StreamEngine, NamesUpToOneHundredBytes) {
  CStreamEngine* engine = NewEngine();
  EXPECT_EQ(engine->SetName(u"SPKOut00"), STATUS_UNSUCCESSFUL);  // no buffer before Init
  ASSERT_EQ(engine->Init(adapter::STREAM_DIRECTION_RENDER), STATUS_SUCCESS);
  ASSERT_EQ(engine->SetName(u"SPKOut00"), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(engine->GetName()), u"SPKOut00");
  const std::u16string fifty(50, u'x');
  ASSERT_EQ(engine->SetName(fifty.c_str()), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(engine->GetName()), fifty);
  const std::u16string fiftyOne(51, u'y');
  EXPECT_EQ(engine->SetName(fiftyOne.c_str()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(std::u16string(engine->GetName()), fifty);
  EXPECT_EQ(engine->SetName(nullptr), STATUS_INVALID_PARAMETER);
  engine->Release();
}

TEST_F(StreamEngine, TwoChannelFormatsAlsoGoToTheStereoList) {
  CStreamEngine* engine = NewEngine();
  const auto stereo = ExtensibleFormat(2, 48000, 16, KSDATAFORMAT_SUBTYPE_PCM);
  EXPECT_EQ(engine->AddFormat(&stereo), STATUS_UNSUCCESSFUL);  // before Init
  WAVEFORMATEXTENSIBLE out{};
  EXPECT_EQ(engine->GetFormat(0, &out), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(engine->GetFormatCount(), 0u);
  ASSERT_EQ(engine->Init(adapter::STREAM_DIRECTION_RENDER), STATUS_SUCCESS);

  const auto six = ExtensibleFormat(6, 48000, 24, KSDATAFORMAT_SUBTYPE_PCM);
  ASSERT_EQ(engine->AddFormat(&six), STATUS_SUCCESS);
  ASSERT_EQ(engine->AddFormat(&stereo), STATUS_SUCCESS);
  EXPECT_EQ(engine->AddFormat(nullptr), STATUS_INVALID_PARAMETER);
  // Two full-list entries and one stereo copy: three format blocks beside the ten of Init.
  EXPECT_EQ(platform::pool::LiveBlocksWithTag(adapter::kStreamEnginePoolTag).size(), 13u);
  // Without a terminal on the path the engine is a "Stream" endpoint: all formats.
  EXPECT_EQ(engine->GetFormatCount(), 2u);
  ASSERT_EQ(engine->GetFormat(1, &out), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(&out, &stereo, sizeof out), 0);
  EXPECT_EQ(engine->GetFormat(2, &out), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(engine->GetFormat(0, nullptr), STATUS_INVALID_PARAMETER);
  engine->Release();
}

TEST_F(StreamEngine, EveryAllocationOfAddFormatFailsWithTheListsUnchanged) {
  for (WORD channels : {1, 2}) {
    CStreamEngine* engine = NewInitialisedEngine();
    const auto format = ExtensibleFormat(channels, 44100, 16, KSDATAFORMAT_SUBTYPE_PCM);
    const auto allocations = platform::testing::ForEachAllocationFailure([&](platform::testing::FaultSweep& sweep) {
      sweep.Arm();
      NTSTATUS status = engine->AddFormat(&format);
      if (sweep.Disarm()) {
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(engine->GetFormatCount(), 0u);
      } else {
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(engine->GetFormatCount(), 1u);
      }
      if (!sweep.fired()) {
        // Leave nothing from this run: a fresh engine frees what it was given.
        engine->Release();
        engine = nullptr;
      }
    });
    EXPECT_EQ(allocations, channels == 2 ? 4u : 2u);
    ASSERT_EQ(engine, nullptr);
  }
}

// Format matching for PCM, float and extensible formats against an independent oracle:
// a plain format matches on channels, rate, bits and the sub-format's tag and is
// completed from the entry; an extensible format matches exactly its 40 bytes.
TEST_F(StreamEngine, FindFormatAgreesWithTheMatchingRuleOnRandomFormats) {
  CStreamEngine* engine = NewInitialisedEngine();
  const GUID subFormats[] = {KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT};
  const WORD channelChoices[] = {1, 2, 6, 8};
  const DWORD rates[] = {44100, 48000, 96000};
  const WORD bitChoices[] = {16, 24, 32};
  std::vector<WAVEFORMATEXTENSIBLE> entries;
  std::mt19937 random(1234);
  auto pick = [&](const auto& choices) { return choices[random() % std::size(choices)]; };
  for (int i = 0; i < 24; ++i) {
    const GUID& sub = pick(subFormats);
    WORD bits = IsEqualGUID(sub, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT) ? 32 : pick(bitChoices);
    auto f = ExtensibleFormat(pick(channelChoices), pick(rates), bits, sub, bits == 32 && random() % 2 ? 24 : 0);
    entries.push_back(f);
    ASSERT_EQ(engine->AddFormat(&f), STATUS_SUCCESS);
  }

  int outcomes[2][2] = {};  // [extensible][matched]
  for (int trial = 0; trial < 2000; ++trial) {
    const bool extensible = random() % 2;
    if (extensible) {
      auto query = random() % 2 ? entries[random() % entries.size()]
                                : ExtensibleFormat(pick(channelChoices), pick(rates), pick(bitChoices), pick(subFormats));
      if (random() % 4 == 0) query.dwChannelMask ^= 1u << (random() % 8);
      const bool expected = std::any_of(entries.begin(), entries.end(),
                                        [&](const auto& e) { return std::memcmp(&e, &query, sizeof e) == 0; });
      CallerFormat caller(query, sizeof query);
      ++outcomes[1][expected];
      EXPECT_EQ(engine->FindFormat(caller.get()), expected ? STATUS_SUCCESS : STATUS_NO_MATCH);
      EXPECT_EQ(std::memcmp(caller.get(), &query, sizeof query), 0);  // untouched
      continue;
    }
    WAVEFORMATEX query{};
    query.wFormatTag = random() % 2 ? WAVE_FORMAT_PCM : WAVE_FORMAT_IEEE_FLOAT;
    query.nChannels = pick(channelChoices);
    query.nSamplesPerSec = pick(rates);
    query.wBitsPerSample = pick(bitChoices);
    query.nBlockAlign = 1;
    query.nAvgBytesPerSec = 7;
    query.cbSize = static_cast<WORD>(random() % 3 == 0 ? 0xFFFF : random() % 3);  // extra bytes, some absurd
    const WAVEFORMATEXTENSIBLE* match = nullptr;
    for (const auto& e : entries) {
      if (e.Format.nChannels == query.nChannels && e.Format.nSamplesPerSec == query.nSamplesPerSec &&
          e.Format.wBitsPerSample == query.wBitsPerSample && e.SubFormat.Data1 == query.wFormatTag) {
        match = &e;
        break;
      }
    }
    CallerFormat caller(query, sizeof(WAVEFORMATEX));  // only the 18 bytes exist
    NTSTATUS status = engine->FindFormat(caller.get());
    ++outcomes[0][match != nullptr];
    if (!match) {
      EXPECT_EQ(status, STATUS_NO_MATCH);
      EXPECT_EQ(std::memcmp(caller.get(), &query, sizeof query), 0);
      continue;
    }
    ASSERT_EQ(status, STATUS_SUCCESS);
    WAVEFORMATEX expected = match->Format;
    expected.wFormatTag = query.wFormatTag;
    expected.cbSize = 0;
    EXPECT_EQ(std::memcmp(caller.get(), &expected, sizeof expected), 0);
  }
  for (auto& kind : outcomes) {
    EXPECT_GT(kind[0], 100);
    EXPECT_GT(kind[1], 100);
  }
  engine->Release();
}

TEST_F(StreamEngine, PlainFormatTakesTheMatchingEntrysAlignmentAndRate) {
  CStreamEngine* engine = NewInitialisedEngine();
  WAVEFORMATEX query{WAVE_FORMAT_PCM, 2, 48000, 0, 0, 16, 0};
  EXPECT_EQ(engine->FindFormat(&query), STATUS_NO_MATCH);
  EXPECT_EQ(engine->FindFormat(nullptr), STATUS_INVALID_PARAMETER);
  const auto entry = ExtensibleFormat(2, 48000, 16, KSDATAFORMAT_SUBTYPE_PCM);
  ASSERT_EQ(engine->AddFormat(&entry), STATUS_SUCCESS);
  query.cbSize = 22;  // claims extra bytes it does not have
  ASSERT_EQ(engine->FindFormat(&query), STATUS_SUCCESS);
  EXPECT_EQ(query.wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(query.nBlockAlign, 4);
  EXPECT_EQ(query.nAvgBytesPerSec, 192000u);
  EXPECT_EQ(query.cbSize, 0);
  // A float query does not match a PCM entry of the same shape.
  WAVEFORMATEX floatQuery{WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 0, 0, 16, 0};
  EXPECT_EQ(engine->FindFormat(&floatQuery), STATUS_NO_MATCH);
  engine->Release();
}

// An extensible format is compared over its 40 bytes only, whatever cbSize says; one
// that declares fewer than the 22 extra bytes is no extensible format and is read no
// further than it goes.
TEST_F(StreamEngine, ExtensibleFormatsAreNeverReadPastTheirBytes) {
  CStreamEngine* engine = NewInitialisedEngine();
  auto entry = ExtensibleFormat(2, 48000, 24, KSDATAFORMAT_SUBTYPE_PCM);
  ASSERT_EQ(engine->AddFormat(&entry), STATUS_SUCCESS);
  {
    CallerFormat caller(entry, sizeof entry);
    EXPECT_EQ(engine->FindFormat(caller.get()), STATUS_SUCCESS);
  }
  for (WORD cbSize : {0xFFFF, 0x7FFF, 23, 200}) {
    auto query = entry;
    query.Format.cbSize = cbSize;
    CallerFormat caller(query, sizeof query);
    EXPECT_EQ(engine->FindFormat(caller.get()), STATUS_NO_MATCH) << cbSize;
  }
  for (WORD cbSize : {0, 1, 21}) {
    auto query = entry;
    query.Format.cbSize = cbSize;
    CallerFormat caller(query, sizeof(WAVEFORMATEX) + cbSize);
    EXPECT_EQ(engine->FindFormat(caller.get()), STATUS_NO_MATCH) << cbSize;
  }
  // An entry and a caller's format that agree on an absurd cbSize are still compared
  // over their 40 bytes only.
  auto absurd = ExtensibleFormat(8, 192000, 32, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
  absurd.Format.cbSize = 0xFFFF;
  ASSERT_EQ(engine->AddFormat(&absurd), STATUS_SUCCESS);
  {
    CallerFormat caller(absurd, sizeof absurd);
    EXPECT_EQ(engine->FindFormat(caller.get()), STATUS_SUCCESS);
  }
  engine->Release();
}

TEST_F(StreamEngine, PathKeepsOneEntityPerIdentifierAndProcessingNodesTwice) {
  using namespace platform::testing;
  CStreamEngine* engine = NewEngine();
  CProbeEntity* node = NewProbeEntity(4, 2, ANSWER_DSP_NODE);
  CProbeEntity* sameId = NewProbeEntity(4, 3);
  CProbeEntity* plain = NewProbeEntity(5, 3);
  EXPECT_EQ(engine->AddNode(node), STATUS_UNSUCCESSFUL);  // before Init
  adapter::IUacEntity* got = nullptr;
  EXPECT_EQ(engine->GetNode(0, &got), STATUS_UNSUCCESSFUL);
  ASSERT_EQ(engine->Init(adapter::STREAM_DIRECTION_RENDER), STATUS_SUCCESS);

  ASSERT_EQ(engine->AddNode(node), STATUS_SUCCESS);
  EXPECT_EQ(node->References(), 3);  // the caller's, the path's and the processing list's
  ASSERT_EQ(engine->AddNode(sameId), STATUS_SUCCESS);
  EXPECT_EQ(sameId->References(), 1);  // an entity with that identifier is there already
  ASSERT_EQ(engine->AddNode(plain), STATUS_SUCCESS);
  EXPECT_EQ(plain->References(), 2);
  EXPECT_EQ(engine->AddNode(nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(engine->AddDspNode(nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(engine->GetNodeCount(), 2u);
  ASSERT_EQ(engine->GetNode(1, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, static_cast<adapter::IUacEntity*>(plain));
  EXPECT_EQ(engine->GetNode(2, &got), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(engine->GetNode(0, nullptr), STATUS_INVALID_PARAMETER);

  engine->Release();
  EXPECT_EQ(node->References(), 1);
  EXPECT_EQ(plain->References(), 1);
  for (CProbeEntity* e : {node, sameId, plain}) e->Release();
}

TEST_F(StreamEngine, EveryAllocationOfAddNodeFailsWithThePathUnchanged) {
  using namespace platform::testing;
  CProbeEntity* node = NewProbeEntity(4, 2, ANSWER_DSP_NODE);
  const auto allocations = ForEachAllocationFailure([&](FaultSweep& sweep) {
    CStreamEngine* engine = NewInitialisedEngine();
    sweep.Arm();
    NTSTATUS status = engine->AddNode(node);
    if (sweep.Disarm()) {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(engine->GetNodeCount(), 0u);
      EXPECT_EQ(node->References(), 1);
    } else {
      EXPECT_EQ(status, STATUS_SUCCESS);
    }
    engine->Release();
  });
  EXPECT_EQ(allocations, 2u);
  node->Release();
}

TEST_F(StreamEngine, StreamBuffersAreMadeOnceAndCompletedAfterAFailure) {
  const auto allocations = platform::testing::ForEachAllocationFailure([&](platform::testing::FaultSweep& sweep) {
    CStreamEngine* engine = NewInitialisedEngine();
    sweep.Arm();
    NTSTATUS status = engine->AllocStreamBuffers();
    if (sweep.Disarm()) {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
      // A later call makes what is missing.
      EXPECT_EQ(engine->AllocStreamBuffers(), STATUS_SUCCESS);
    } else {
      EXPECT_EQ(status, STATUS_SUCCESS);
    }
    // Init's ten blocks, the scratch, the pointer array and eight channel buffers.
    EXPECT_EQ(platform::pool::LiveBlocksWithTag(adapter::kStreamEnginePoolTag).size(), 20u);
    const auto before = platform::pool::AllocationCount();
    EXPECT_EQ(engine->AllocStreamBuffers(), STATUS_SUCCESS);
    EXPECT_EQ(platform::pool::AllocationCount(), before);
    engine->Release();
  });
  EXPECT_EQ(allocations, 10u);
}

TEST(EndpointTypes, PrefixesNameTypesZeroToEighteenOnly) {
  EXPECT_EQ(std::u16string(adapter::EndpointTypePrefix(0)), u"Stream");
  EXPECT_EQ(std::u16string(adapter::EndpointTypePrefix(2)), u"HP");
  EXPECT_EQ(std::u16string(adapter::EndpointTypePrefix(16)), u"StereoMix");
  EXPECT_EQ(std::u16string(adapter::EndpointTypePrefix(18)), u"Rec");
  for (ULONG type : {19u, 32u, 0x80000000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(adapter::EndpointTypePrefix(type), nullptr);
    EXPECT_FALSE(adapter::EndpointTypeIn(type, 0xFFFFFFFFu));
  }
}

}  // namespace
