// The stream engine's client lists (priority order, failed insertions), the effect lists
// of processing objects, and ProcessBuffer: PCM of every converted width and channel
// count through planar float and back against exact integer oracles, the floating-point
// control word, chunking, other formats, and the refusals that leave a buffer untouched.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "adapter/dsp_node.h"
#include "adapter/stream_engine.h"
#include "support/dsp_node_doubles.h"
#include "support/kernel_fixture.h"
#include "support/pcm_oracle.h"

namespace {

using adapter::CClientList;
using adapter::CStreamEngine;
using adapter::StreamClientRecord;
using platform::testing::CTestDspNode;
using platform::testing::NewTestDspNode;
using platform::testing::pcm::Expected;
using platform::testing::pcm::RandomPcm;
using platform::testing::pcm::ReadSample;
using platform::testing::pcm::WriteSample;

constexpr ULONG kEngineTag = MakePoolTag('T', 'p', 'r', 'c');

// An engine whose running format a test sets, as a USB engine does when a client starts.
class CFormatEngine : public CStreamEngine {
 public:
  using CStreamEngine::CStreamEngine;
  void SetCurrentFormat(const WAVEFORMATEXTENSIBLE& format) { m_CurrentWaveFormat = format; }
  ULONG FirstEffectCount() const { return m_pFirstEffectList->GetCount(); }
};

WAVEFORMATEXTENSIBLE Pcm(WORD channels, WORD bits, bool extensible = true, const GUID& sub = KSDATAFORMAT_SUBTYPE_PCM) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : static_cast<WORD>(sub.Data1);
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = 48000;
  f.Format.wBitsPerSample = bits;
  f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.Format.nAvgBytesPerSec = 48000 * f.Format.nBlockAlign;
  f.Format.cbSize = extensible ? 22 : 0;
  f.Samples.wValidBitsPerSample = bits;
  f.SubFormat = sub;
  return f;
}

class StreamProcessing : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    adapter::IStreamEngine* itf = nullptr;
    ASSERT_EQ(adapter::CreateInstance<CFormatEngine>(&itf, nullptr, NonPagedPool, kEngineTag, 1u), STATUS_SUCCESS);
    engine_ = static_cast<CFormatEngine*>(itf);
    ASSERT_EQ(engine_->Init(adapter::STREAM_DIRECTION_RENDER), STATUS_SUCCESS);
    ASSERT_EQ(engine_->AllocStreamBuffers(), STATUS_SUCCESS);
  }
  void TearDown() override {
    static_cast<adapter::IStreamEngine*>(engine_)->Release();
    for (CTestDspNode* node : nodes_) node->Release();
    KernelTest::TearDown();
  }
  CTestDspNode* Node(float gain = 1.0f) {
    nodes_.push_back(NewTestDspNode(gain));
    return nodes_.back();
  }
  // ProcessBuffer as the send and capture paths call it, at DISPATCH_LEVEL.
  NTSTATUS Process(std::vector<UCHAR>& buffer) { return Process(buffer.data(), static_cast<ULONG>(buffer.size())); }
  NTSTATUS Process(PVOID buffer, ULONG bytes) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const NTSTATUS status = engine_->ProcessBuffer(buffer, bytes);
    KeLowerIrql(old);
    return status;
  }

  CFormatEngine* engine_ = nullptr;
  std::vector<CTestDspNode*> nodes_;
};

// ---------------------------------------------------------------------------------------
// Client lists

// Priority order, highest first, the latest of equal priorities first: the oracle is a
// stable sort by (priority descending, insertion order descending).
TEST_F(StreamProcessing, ClientListKeepsPriorityOrderWithLatestFirstAmongTies) {
  std::mt19937 rng(26);
  for (int round = 0; round < 200; ++round) {
    CClientList list;
    std::vector<StreamClientRecord> records(std::uniform_int_distribution<int>(0, 24)(rng));
    struct Seen {
      ULONG priority;
      size_t order;
      ULONGLONG key;
    };
    std::vector<Seen> oracle;
    for (size_t i = 0; i < records.size(); ++i) {
      records[i].Priority = std::uniform_int_distribution<ULONG>(1, 6)(rng);
      records[i].Key = 1000 + i;
      ASSERT_EQ(list.InsertByPriority(&records[i]), STATUS_SUCCESS);
      oracle.push_back({static_cast<ULONG>(records[i].Priority), i, records[i].Key});
      // Now and then a record leaves again, by key.
      if (std::uniform_int_distribution<int>(0, 4)(rng) == 0) {
        const size_t victim = std::uniform_int_distribution<size_t>(0, oracle.size() - 1)(rng);
        ASSERT_EQ(list.Remove(oracle[victim].key)->Key, oracle[victim].key);
        oracle.erase(oracle.begin() + static_cast<std::ptrdiff_t>(victim));
      }
    }
    std::stable_sort(oracle.begin(), oracle.end(), [](const Seen& a, const Seen& b) {
      return a.priority != b.priority ? a.priority > b.priority : a.order > b.order;
    });
    ASSERT_EQ(list.GetCount(), oracle.size());
    ULONG index = 0;
    for (const Seen& s : oracle) {
      PVOID data = nullptr;
      ASSERT_TRUE(list.GetAt(index++, &data));
      EXPECT_EQ(static_cast<StreamClientRecord*>(data)->Key, s.key) << "round " << round;
    }
    EXPECT_EQ(list.Head() ? list.Head()->Key : 0, oracle.empty() ? 0 : oracle.front().key);
    EXPECT_EQ(list.Find(99), nullptr);
    EXPECT_EQ(list.Remove(99), nullptr);
  }
}

// Priorities compare as unsigned 32-bit numbers.
TEST_F(StreamProcessing, ClientPrioritiesCompareUnsigned) {
  CClientList list;
  StreamClientRecord low{}, high{};
  low.Priority = 1;
  low.Key = 1;
  high.Priority = 0xFFFFFFF0u;
  high.Key = 2;
  ASSERT_EQ(list.InsertByPriority(&low), STATUS_SUCCESS);
  ASSERT_EQ(list.InsertByPriority(&high), STATUS_SUCCESS);
  EXPECT_EQ(list.Head(), &high);
}

// Without a list node an insertion changes nothing; its status tells whether the walk
// stopped at an equal priority.
TEST_F(StreamProcessing, FailedInsertionsLeaveTheListsAsTheyWere) {
  StreamClientRecord records[3]{};
  const ULONG priorities[] = {5, 3, 1};
  for (int i = 0; i < 3; ++i) {
    records[i].Priority = priorities[i];
    records[i].Key = 10 + i;
  }
  ASSERT_EQ(engine_->InsertPrepared(&records[0]), STATUS_SUCCESS);
  ASSERT_EQ(engine_->InsertPrepared(&records[1]), STATUS_SUCCESS);

  struct Case {
    ULONG priority;
    NTSTATUS expected;
  } cases[] = {
      {5, STATUS_INVALID_PARAMETER},      // stops at an equal priority
      {3, STATUS_INVALID_PARAMETER},      //
      {4, STATUS_INSUFFICIENT_RESOURCES}, // between
      {9, STATUS_INSUFFICIENT_RESOURCES}, // before the head
      {1, STATUS_INSUFFICIENT_RESOURCES}, // appended
  };
  for (const Case& c : cases) {
    StreamClientRecord r{};
    r.Priority = c.priority;
    r.Key = 77;
    platform::pool::FailTag(adapter::kPtrListTag);
    EXPECT_EQ(engine_->InsertPrepared(&r), c.expected) << c.priority;
    EXPECT_EQ(engine_->InsertRunning(&r), STATUS_INSUFFICIENT_RESOURCES);  // empty: appended
    EXPECT_EQ(engine_->AddRegistered(&r), STATUS_INSUFFICIENT_RESOURCES);
    platform::pool::FailTag(adapter::kPtrListTag, false);
    EXPECT_EQ(engine_->GetPreparedHead(), &records[0]);
    EXPECT_EQ(engine_->FindPrepared(77), nullptr);
    EXPECT_EQ(engine_->GetRunningHead(), nullptr);
    EXPECT_EQ(engine_->FindRegistered(77), nullptr);
  }
  EXPECT_EQ(engine_->RemovePrepared(10), &records[0]);
  EXPECT_EQ(engine_->RemovePrepared(11), &records[1]);
  EXPECT_EQ(engine_->GetPreparedHead(), nullptr);
}

TEST_F(StreamProcessing, ListsBeforeInitRefuseAndFindNothing) {
  adapter::IStreamEngine* itf = nullptr;
  ASSERT_EQ(adapter::CreateInstance<CFormatEngine>(&itf, nullptr, NonPagedPool, kEngineTag, 2u), STATUS_SUCCESS);
  auto* bare = static_cast<CFormatEngine*>(itf);
  StreamClientRecord r{};
  EXPECT_EQ(bare->AddRegistered(&r), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(bare->InsertPrepared(&r), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(bare->InsertRunning(&r), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(bare->FindRegistered(0), nullptr);
  EXPECT_EQ(bare->GetPreparedHead(), nullptr);
  EXPECT_EQ(bare->AddFirstEffectNode(Node()), STATUS_UNSUCCESSFUL);
  std::vector<UCHAR> buffer(8, 0x11);
  EXPECT_EQ(bare->ProcessBuffer(buffer.data(), 8), STATUS_UNSUCCESSFUL);  // no format yet
  itf->Release();
}

TEST_F(StreamProcessing, EffectListsHoldOneReferencePerObject) {
  CTestDspNode* a = Node();
  CTestDspNode* b = Node();
  EXPECT_EQ(engine_->AddFirstEffectNode(a), STATUS_SUCCESS);
  EXPECT_EQ(engine_->AddSecondEffectNode(b), STATUS_SUCCESS);
  EXPECT_EQ(a->References(), 2);
  EXPECT_EQ(engine_->RemoveFirstEffectNode(b), STATUS_UNSUCCESSFUL);  // on the other list
  EXPECT_EQ(engine_->RemoveSecondEffectNode(b), STATUS_SUCCESS);
  EXPECT_EQ(b->References(), 1);
  EXPECT_EQ(engine_->RemoveSecondEffectNode(b), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(engine_->AddFirstEffectNode(nullptr), STATUS_INVALID_PARAMETER);

  platform::pool::FailTag(adapter::kPtrListTag);
  EXPECT_EQ(engine_->AddSecondEffectNode(b), STATUS_INSUFFICIENT_RESOURCES);
  platform::pool::FailTag(adapter::kPtrListTag, false);
  EXPECT_EQ(b->References(), 1);

  EXPECT_EQ(engine_->AddFirstEffectNode(b), STATUS_SUCCESS);
  engine_->DrainFirstEffectNodes();
  EXPECT_EQ(engine_->FirstEffectCount(), 0u);
  EXPECT_EQ(a->References(), 1);
  EXPECT_EQ(b->References(), 1);
  // What the engine still holds at its end it releases.
  EXPECT_EQ(engine_->AddSecondEffectNode(a), STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------------------
// ProcessBuffer on PCM


// Every converted width and channel count, plain and extensible, through one node on
// either list, against the integer oracle; an empty chain leaves the bytes alone.
TEST_F(StreamProcessing, PcmRoundTripsThroughPlanarFloatAsTheOracleSays) {
  std::mt19937 rng(2026);
  const float gains[] = {1.0f, 0.5f, 1.5f};  // 1.5 saturates the loudest samples
  const ULONG frameCounts[] = {1, 300, 512, 1200};
  for (WORD bits : {16, 24, 32}) {
    for (WORD channels = 1; channels <= 8; ++channels) {
      for (bool extensible : {false, true}) {
        const WAVEFORMATEXTENSIBLE format = Pcm(channels, bits, extensible);
        engine_->SetCurrentFormat(format);
        const ULONG frames = frameCounts[(bits + channels) % 4];
        const std::vector<UCHAR> input = RandomPcm(rng, bits, size_t{frames} * channels);

        std::vector<UCHAR> buffer = input;
        ASSERT_EQ(Process(buffer), STATUS_SUCCESS);
        EXPECT_EQ(buffer, input) << "empty chain changed " << bits << "/" << channels;

        for (float gain : gains) {
          for (bool onNodeList : {true, false}) {
            // A fresh engine per placement keeps each chain at exactly one node.
            adapter::IStreamEngine* itf = nullptr;
            ASSERT_EQ(adapter::CreateInstance<CFormatEngine>(&itf, nullptr, NonPagedPool, kEngineTag, 5u),
                      STATUS_SUCCESS);
            auto* engine = static_cast<CFormatEngine*>(itf);
            ASSERT_EQ(engine->Init(adapter::STREAM_DIRECTION_RENDER), STATUS_SUCCESS);
            ASSERT_EQ(engine->AllocStreamBuffers(), STATUS_SUCCESS);
            engine->SetCurrentFormat(format);
            CTestDspNode* node = Node(gain);
            ASSERT_EQ(onNodeList ? engine->AddDspNode(node) : engine->AddFirstEffectNode(node), STATUS_SUCCESS);

            buffer = input;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            const NTSTATUS status = engine->ProcessBuffer(buffer.data(), static_cast<ULONG>(buffer.size()));
            KeLowerIrql(old);
            ASSERT_EQ(status, STATUS_SUCCESS);
            const size_t width = bits / 8;
            size_t mismatches = 0;
            for (size_t i = 0; i < input.size() / width; ++i) {
              const int64_t want = Expected(ReadSample(&input[i * width], bits), bits, gain);
              const int64_t got = ReadSample(&buffer[i * width], bits);
              if (got != want && mismatches++ < 3) {
                ADD_FAILURE() << bits << " bits, " << channels << " channels, gain " << gain << ", sample " << i
                              << ": " << ReadSample(&input[i * width], bits) << " -> " << got << ", want " << want;
              }
            }
            EXPECT_EQ(mismatches, 0u);
            itf->Release();
          }
        }
      }
    }
  }
}

TEST_F(StreamProcessing, SixteenAndTwentyFourBitSamplesSurviveTheRoundTripExactly) {
  engine_->SetCurrentFormat(Pcm(2, 16));
  ASSERT_EQ(engine_->AddDspNode(Node(1.0f)), STATUS_SUCCESS);
  std::vector<UCHAR> buffer(4);
  WriteSample(buffer.data(), 16, 0x7FFF);
  WriteSample(buffer.data() + 2, 16, -0x8000);
  ASSERT_EQ(Process(buffer), STATUS_SUCCESS);
  EXPECT_EQ(ReadSample(buffer.data(), 16), 0x7FFF);
  EXPECT_EQ(ReadSample(buffer.data() + 2, 16), -0x8000);

  // Every 24-bit value in steps that cover all byte patterns of the low bytes.
  engine_->SetCurrentFormat(Pcm(1, 24));
  std::vector<UCHAR> all;
  for (int64_t v = -8388608; v <= 8388607; v += 4099) {
    all.resize(all.size() + 3);
    WriteSample(&all[all.size() - 3], 24, v);
  }
  const std::vector<UCHAR> input = all;
  ASSERT_EQ(Process(all), STATUS_SUCCESS);
  EXPECT_EQ(all, input);
}

TEST_F(StreamProcessing, ChunksOfAtMost512FramesInOrder) {
  engine_->SetCurrentFormat(Pcm(2, 16));
  CTestDspNode* node = Node();
  ASSERT_EQ(engine_->AddDspNode(node), STATUS_SUCCESS);
  std::vector<UCHAR> buffer(1200 * 4);
  ASSERT_EQ(Process(buffer), STATUS_SUCCESS);
  EXPECT_EQ(node->frameCounts, (std::vector<ULONG>{512, 512, 176}));
}

// The call runs with flush-to-zero and round-to-nearest and gives the caller its own
// control word back, whatever it was.
TEST_F(StreamProcessing, FloatingPointControlWordIsSetForTheCallAndRestored) {
  engine_->SetCurrentFormat(Pcm(2, 32));
  CTestDspNode* node = Node();
  ASSERT_EQ(engine_->AddFirstEffectNode(node), STATUS_SUCCESS);
  const unsigned saved = _mm_getcsr();
  for (unsigned caller : {0x1F80u, 0x7F80u, 0x3F80u | 0x8000u, 0x5F80u}) {
    _mm_setcsr(caller);
    std::vector<UCHAR> buffer(8 * 16);
    const NTSTATUS status = Process(buffer);
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(after & ~0x3Fu, caller & ~0x3Fu) << std::hex << caller;  // flags aside
    ASSERT_FALSE(node->mxcsrSeen.empty());
    EXPECT_EQ(node->mxcsrSeen.back() & 0x8000u, 0x8000u) << "flush-to-zero";
    EXPECT_EQ(node->mxcsrSeen.back() & 0x6000u, 0u) << "round to nearest";
  }
  // Refused calls change nothing either.
  _mm_setcsr(0x7F80u);
  std::vector<UCHAR> odd(7);
  EXPECT_EQ(Process(odd), STATUS_UNSUCCESSFUL);
  const unsigned after = _mm_getcsr();
  _mm_setcsr(saved);
  EXPECT_EQ(after & ~0x3Fu, 0x7F80u);
}

// Buffers the conversion cannot take are refused before a byte is touched.
TEST_F(StreamProcessing, RefusedBuffersAreLeftUntouched) {
  struct Case {
    const char* name;
    WAVEFORMATEXTENSIBLE format;
    ULONG bytes;
    bool withBuffers;
  };
  WAVEFORMATEXTENSIBLE wide = Pcm(10, 16);
  WAVEFORMATEXTENSIBLE noBlock = Pcm(2, 16);
  noBlock.Format.nBlockAlign = 0;
  WAVEFORMATEXTENSIBLE loose = Pcm(2, 16);
  loose.Format.nBlockAlign = 6;  // more than two 16-bit samples per frame
  WAVEFORMATEXTENSIBLE tight = Pcm(4, 32);
  tight.Format.nBlockAlign = 8;  // fewer bytes than the samples need
  const Case cases[] = {
      {"more than 8 channels", wide, 20 * 40, true},
      {"no block size", noBlock, 64, true},
      {"length not whole frames", Pcm(2, 24), 6 * 10 + 1, true},
      {"block size wider than the samples", loose, 6 * 10, true},
      {"block size narrower than the samples", tight, 8 * 10, true},
      {"no stream buffers", Pcm(2, 16), 4 * 10, false},
  };
  for (const Case& c : cases) {
    adapter::IStreamEngine* itf = nullptr;
    ASSERT_EQ(adapter::CreateInstance<CFormatEngine>(&itf, nullptr, NonPagedPool, kEngineTag, 6u), STATUS_SUCCESS);
    auto* engine = static_cast<CFormatEngine*>(itf);
    ASSERT_EQ(engine->Init(adapter::STREAM_DIRECTION_CAPTURE), STATUS_SUCCESS);
    if (c.withBuffers) {
      ASSERT_EQ(engine->AllocStreamBuffers(), STATUS_SUCCESS);
    }
    engine->SetCurrentFormat(c.format);
    CTestDspNode* node = Node(0.0f);
    ASSERT_EQ(engine->AddFirstEffectNode(node), STATUS_SUCCESS);
    // The exact length, so the address sanitizer sees any write past it.
    std::vector<UCHAR> buffer(c.bytes);
    for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<UCHAR>(i * 7 + 1);
    const std::vector<UCHAR> before = buffer;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const NTSTATUS status = engine->ProcessBuffer(buffer.data(), c.bytes);
    KeLowerIrql(old);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL) << c.name;
    EXPECT_EQ(buffer, before) << c.name;
    EXPECT_TRUE(node->frameCounts.empty()) << c.name;
    itf->Release();
  }
}

// With nothing to run no conversion happens, so even a format the buffers could not hold
// passes unchanged.
TEST_F(StreamProcessing, EmptyChainPassesAnyWholeFrameBufferUnchanged) {
  engine_->SetCurrentFormat(Pcm(12, 24));
  std::vector<UCHAR> buffer(36 * 3, 0xA5);
  EXPECT_EQ(Process(buffer), STATUS_SUCCESS);
  EXPECT_EQ(buffer, std::vector<UCHAR>(36 * 3, 0xA5));
  EXPECT_EQ(Process(nullptr, 0), STATUS_SUCCESS);
}

// A float stream reaches the processing nodes interleaved, chunk by chunk; the clients'
// effect objects do not see it.
TEST_F(StreamProcessing, OtherFormatsReachOnlyTheProcessingNodesInterleaved) {
  const WAVEFORMATEXTENSIBLE format = Pcm(2, 32, true, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
  engine_->SetCurrentFormat(format);
  CTestDspNode* processing = Node(0.0f);
  CTestDspNode* effect = Node(0.0f);
  ASSERT_EQ(engine_->AddDspNode(processing), STATUS_SUCCESS);
  ASSERT_EQ(engine_->AddFirstEffectNode(effect), STATUS_SUCCESS);
  std::vector<UCHAR> buffer(700 * 8, 0x3C);
  ASSERT_EQ(Process(buffer), STATUS_SUCCESS);
  EXPECT_EQ(processing->frameCounts, (std::vector<ULONG>{512, 188}));
  EXPECT_EQ(processing->dataSeen, (std::vector<PVOID>{buffer.data(), buffer.data() + 512 * 8}));
  EXPECT_TRUE(effect->frameCounts.empty());
  EXPECT_EQ(buffer, std::vector<UCHAR>(700 * 8, 0x3C));  // the test node leaves non-PCM alone
}

// The second effect list is reset once per chunk; the first failing object ends the
// call with its status, and the chunk it failed in is not written back.
TEST_F(StreamProcessing, SecondListResetsAndFailuresStopTheChain) {
  engine_->SetCurrentFormat(Pcm(1, 16));
  CTestDspNode* first = Node(0.0f);
  CTestDspNode* second = Node(0.0f);
  ASSERT_EQ(engine_->AddFirstEffectNode(first), STATUS_SUCCESS);
  ASSERT_EQ(engine_->AddSecondEffectNode(second), STATUS_SUCCESS);
  std::vector<UCHAR> buffer(600 * 2, 0x40);
  ASSERT_EQ(Process(buffer), STATUS_SUCCESS);
  EXPECT_EQ(second->resets, 2u);
  EXPECT_TRUE(second->frameCounts.empty());
  EXPECT_EQ(buffer, std::vector<UCHAR>(600 * 2, 0));  // gain 0 from the first list

  std::fill(buffer.begin(), buffer.end(), 0x40);
  second->resetStatus = STATUS_DEVICE_BUSY;
  EXPECT_EQ(Process(buffer), STATUS_DEVICE_BUSY);
  EXPECT_EQ(buffer, std::vector<UCHAR>(600 * 2, 0x40));
  EXPECT_EQ(second->resets, 3u);  // stopped after the first chunk

  second->resetStatus = STATUS_SUCCESS;
  first->processStatus = STATUS_INVALID_DEVICE_REQUEST;
  EXPECT_EQ(Process(buffer), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(second->resets, 3u);  // never reached
}

// The interleaved runs take one list each through the same checks and conversion as
// ProcessBuffer: a processing object never sees PCM other than as planar float.
TEST_F(StreamProcessing, InterleavedEffectRunsConvertAndRunTheirOwnList) {
  engine_->SetCurrentFormat(Pcm(2, 16));
  CTestDspNode* first = Node(0.5f);
  CTestDspNode* second = Node();
  ASSERT_EQ(engine_->AddFirstEffectNode(first), STATUS_SUCCESS);
  ASSERT_EQ(engine_->AddSecondEffectNode(second), STATUS_SUCCESS);
  std::vector<UCHAR> buffer(40);
  for (size_t i = 0; i < 20; ++i) WriteSample(&buffer[i * 2], 16, 1000 * static_cast<int64_t>(i) - 9000);
  const std::vector<UCHAR> input = buffer;
  EXPECT_EQ(engine_->RunEffectNodesInterleaved(buffer.data(), 40), STATUS_SUCCESS);
  EXPECT_EQ(first->frameCounts, (std::vector<ULONG>{10}));
  EXPECT_NE(first->dataSeen.back(), buffer.data());
  for (size_t i = 0; i < 20; ++i) EXPECT_EQ(ReadSample(&buffer[i * 2], 16), ReadSample(&input[i * 2], 16) / 2);
  EXPECT_EQ(second->resets, 0u);
  EXPECT_EQ(engine_->RunSecondEffectNodesInterleaved(buffer.data(), 40), STATUS_SUCCESS);
  EXPECT_EQ(second->resets, 1u);
  EXPECT_EQ(first->frameCounts.size(), 1u);
  EXPECT_EQ(engine_->RunEffectNodesInterleaved(buffer.data(), 39), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(engine_->RunEffectNodes(513), STATUS_UNSUCCESSFUL);  // more than the buffers hold
  EXPECT_EQ(engine_->ProcessBufferUnlocked(buffer.data(), 40), STATUS_SUCCESS);
  EXPECT_EQ(first->frameCounts.size(), 1u);  // the unlocked form runs the processing nodes only
}

}  // namespace
