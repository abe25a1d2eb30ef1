// Stream engines and the function base over real nodes: the endpoint type read from the
// terminals on a path, the formats an endpoint offers, whether its jacks are in use, and
// the selector linking of BuildTopology, bounded on cyclic and deep graphs.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "adapter/audio_hal.h"
#include "adapter/endpoint_type.h"
#include "adapter/stream_engine.h"
#include "support/fault_sweep.h"
#include "support/kernel_fixture.h"
#include "support/model_doubles.h"
#include "uac/control_nodes.h"
#include "uac/path_nodes.h"
#include "uac/terminal_nodes.h"

namespace {

using adapter::CStreamEngine;
using adapter::IUacEntity;
using platform::testing::CProbeEntity;
using platform::testing::CProbeHal;
using platform::testing::NewProbeEntity;

constexpr ULONG kTag = MakePoolTag('T', 'm', 'd', 'l');
constexpr ULONG kRender = adapter::STREAM_DIRECTION_RENDER;
constexpr ULONG kCapture = adapter::STREAM_DIRECTION_CAPTURE;

// One node of a hand-built path.
struct NodeSpec {
  enum Kind { Input, Output, KindNode, Volume, StereoMix } kind;
  ULONG endpointKind = 0;
  ULONG jackCount = 0;
  ULONG connected = 0;
};

class EndpointModel : public platform::testing::KernelTest {
 protected:
  void TearDown() override {
    for (IUacEntity* entity : owned_) entity->Release();
    platform::testing::KernelTest::TearDown();
  }

  IUacEntity* Make(const NodeSpec& spec) {
    const ULONG id = nextId_++;
    adapter::JackRecord jacks[3] = {};
    for (ULONG i = 0; i < spec.jackCount; ++i) {
      jacks[i].ChannelMapping = 3;
      jacks[i].PresenceDetect = 1;
      jacks[i].IsConnected = i == spec.jackCount - 1 ? spec.connected : 0;
    }
    const ULONG kinds[] = {spec.endpointKind, 1};
    IUacEntity* entity = nullptr;
    switch (spec.kind) {
      case NodeSpec::Input: {
        auto* node = new (NonPagedPool, kTag) uac::CInputTerminalNode(nullptr, id);
        EXPECT_EQ(node->InitTerminal(1, kinds, spec.jackCount, jacks), STATUS_SUCCESS);
        entity = node;
        break;
      }
      case NodeSpec::Output: {
        auto* node = new (NonPagedPool, kTag) uac::COutputTerminalNode(nullptr, id);
        EXPECT_EQ(node->InitTerminal(id - 1, 1, kinds, spec.jackCount, jacks), STATUS_SUCCESS);
        entity = node;
        break;
      }
      case NodeSpec::KindNode: {
        auto* node = new (NonPagedPool, kTag) uac::CTerminalKindNode(nullptr, id);
        EXPECT_EQ(node->InitKinds(id - 1, 2, kinds), STATUS_SUCCESS);
        entity = node;
        break;
      }
      case NodeSpec::Volume: {
        auto* node = new (NonPagedPool, kTag) uac::CVolumeControl(nullptr, id);
        EXPECT_EQ(node->InitChannels(id - 1, 2, 0, -10, 1), STATUS_SUCCESS);
        entity = node;
        break;
      }
      case NodeSpec::StereoMix: {
        auto* node = new (NonPagedPool, kTag) uac::CMixerNode(nullptr, id);
        const ULONG sources[] = {1, 2};
        EXPECT_EQ(node->InitMixerTerminal(2, sources), STATUS_SUCCESS);
        node->SetTerminalMode(1);
        entity = node;
        break;
      }
    }
    entity->AddRef();
    owned_.push_back(entity);
    return entity;
  }

  CStreamEngine* Engine(ULONG direction, const std::vector<NodeSpec>& path) {
    adapter::IStreamEngine* engine = nullptr;
    EXPECT_EQ(adapter::CreateInstance<CStreamEngine>(&engine, nullptr, NonPagedPool, kTag, 1u), STATUS_SUCCESS);
    auto* e = static_cast<CStreamEngine*>(engine);
    EXPECT_EQ(e->Init(direction), STATUS_SUCCESS);
    for (const NodeSpec& spec : path) EXPECT_EQ(e->AddNode(Make(spec)), STATUS_SUCCESS);
    return e;
  }

  std::vector<IUacEntity*> owned_;
  ULONG nextId_ = 1;
  std::vector<std::string> log_;
};

using S = NodeSpec;

TEST_F(EndpointModel, CaptureTypeComesFromItsInputTerminals) {
  struct Row {
    const char* what;
    std::vector<NodeSpec> path;
    ULONG type;
  };
  const Row rows[] = {
      {"no terminal", {{S::Volume}}, 0},
      {"microphone", {{S::Input, 7}, {S::Volume}}, 7},
      {"microphone and line input", {{S::Input, 7}, {S::Input, 6}, {S::Volume}}, 18},
      {"S/PDIF input", {{S::Input, 3}}, 3},
      {"S/PDIF then line", {{S::Input, 3}, {S::Input, 6}}, 18},
      {"streaming terminal does not count", {{S::Input, 0}, {S::Input, 7}}, 7},
      {"kind outside the table is ignored", {{S::Input, 99}, {S::Input, 11}}, 11},
      {"only a kind outside the table", {{S::Input, 0x80000000u}}, 0},
      {"output terminal on a capture path", {{S::Output, 2}, {S::Input, 7}}, 7},
      {"mixer as StereoMix terminal", {{S::StereoMix}}, 16},
  };
  for (const Row& row : rows) {
    CStreamEngine* engine = Engine(kCapture, row.path);
    EXPECT_EQ(engine->GetEndpointType(), row.type) << row.what;
    engine->Release();
  }
}

TEST_F(EndpointModel, RenderTypeComesFromTheKindNodeOrTheLastOutputTerminal) {
  struct Row {
    const char* what;
    std::vector<NodeSpec> path;
    ULONG type;
  };
  const Row rows[] = {
      {"no terminal", {{S::Volume}}, 0},
      {"speaker", {{S::Volume}, {S::Output, 1}}, 1},
      {"last output terminal wins", {{S::Output, 1}, {S::Output, 2}}, 2},
      {"kind node decides", {{S::Output, 1}, {S::KindNode, 14}, {S::Output, 2}}, 14},
      {"input terminal on a render path", {{S::Input, 7}}, 0},
      {"output kind outside the table", {{S::Output, 99}}, 0},
      {"kind node outside the table", {{S::KindNode, 1000}, {S::Output, 2}}, 0},
  };
  for (const Row& row : rows) {
    CStreamEngine* engine = Engine(kRender, row.path);
    EXPECT_EQ(engine->GetEndpointType(), row.type) << row.what;
    EXPECT_LT(engine->GetEndpointType(), adapter::kEndpointTypeCount);
    engine->Release();
  }
}

// An engine without a path list is a "Stream" endpoint: type 0, never a status that a
// caller would use as an index.
TEST_F(EndpointModel, EngineWithoutAPathIsOfTypeZero) {
  adapter::IStreamEngine* engine = nullptr;
  ASSERT_EQ(adapter::CreateInstance<CStreamEngine>(&engine, nullptr, NonPagedPool, kTag, 1u), STATUS_SUCCESS);
  EXPECT_EQ(engine->GetEndpointType(), 0u);
  EXPECT_EQ(engine->GetFormatCount(), 0u);
  engine->Release();
}

TEST_F(EndpointModel, HeadphoneStyleRenderEndpointsOfferOnlyTwoChannelFormats) {
  struct Row {
    ULONG direction;
    ULONG kind;
    ULONG formats;
  };
  // Entries: 2, 6 and 2 channels.
  const Row rows[] = {
      {kRender, 1, 3},  {kRender, 2, 2},  {kRender, 3, 2},   {kRender, 14, 2}, {kRender, 17, 2},
      {kRender, 4, 3},  {kRender, 18, 3}, {kRender, 99, 3},  {kCapture, 2, 3},
  };
  for (const Row& row : rows) {
    CStreamEngine* engine =
        Engine(row.direction, {{row.direction == kRender ? S::Output : S::Input, row.kind}});
    for (WORD channels : {2, 6, 2}) {
      WAVEFORMATEXTENSIBLE f{};
      f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
      f.Format.nChannels = channels;
      f.Format.nSamplesPerSec = 44100u * channels;
      ASSERT_EQ(engine->AddFormat(&f), STATUS_SUCCESS);
    }
    EXPECT_EQ(engine->GetFormatCount(), row.formats) << "kind " << row.kind;
    WAVEFORMATEXTENSIBLE out{};
    for (ULONG i = 0; i < row.formats; ++i) {
      ASSERT_EQ(engine->GetFormat(i, &out), STATUS_SUCCESS);
      if (row.formats == 2) {
        EXPECT_EQ(out.Format.nChannels, 2);
      }
    }
    EXPECT_EQ(engine->GetFormat(row.formats, &out), STATUS_INVALID_PARAMETER);
    engine->Release();
  }
}

// The two-channel list stands for a headphone-style endpoint only while it holds a PCM
// format or the endpoint has none: the wave filter is built from PCM formats, so an
// endpoint whose PCM settings all have more channels offers every format it has (a
// four-channel headphone output beside its two-channel raw-data setting).
TEST_F(EndpointModel, HeadphoneStyleEndpointWithoutTwoChannelPcmOffersAllItsFormats) {
  constexpr ULONG kPcm = 0x0001, kRaw = 0x0E7A, kAc3 = 0x0092, kNone = 0;
  struct Entry {
    WORD channels;
    ULONG subFormat;  // the PCM GUID with this first field; kNone: an all-zero GUID
  };
  struct Row {
    const char* what;
    ULONG direction;
    ULONG kind;
    std::vector<Entry> entries;
    std::vector<ULONG> offered;  // indices into `entries`, in order
  };
  const Row rows[] = {
      {"four-channel PCM beside two-channel raw data", kRender, 2, {{4, kPcm}, {4, kPcm}, {2, kRaw}}, {0, 1, 2}},
      {"two-channel PCM among them", kRender, 2, {{4, kPcm}, {2, kPcm}, {2, kRaw}}, {1, 2}},
      {"only two-channel raw data and AC-3", kRender, 3, {{2, kRaw}, {2, kAc3}}, {0, 1}},
      {"six-channel PCM beside two-channel AC-3", kRender, 3, {{2, kAc3}, {6, kPcm}}, {0, 1}},
      {"no PCM at all", kRender, 14, {{6, kNone}, {2, kNone}}, {1}},
      {"eight-channel PCM only", kRender, 17, {{8, kPcm}}, {0}},
      {"no format", kRender, 2, {}, {}},
      {"speaker", kRender, 1, {{4, kPcm}, {2, kRaw}}, {0, 1}},
      {"capture headphone kind", kCapture, 2, {{4, kPcm}, {2, kRaw}}, {0, 1}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    CStreamEngine* engine = Engine(row.direction, {{row.direction == kRender ? S::Output : S::Input, row.kind}});
    std::vector<WAVEFORMATEXTENSIBLE> added;
    for (size_t i = 0; i < row.entries.size(); ++i) {
      WAVEFORMATEXTENSIBLE f{};
      f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
      f.Format.nChannels = row.entries[i].channels;
      f.Format.nSamplesPerSec = 48000 + static_cast<ULONG>(i);  // tells the entries apart
      if (row.entries[i].subFormat != kNone) {
        f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        f.SubFormat.Data1 = row.entries[i].subFormat;
      }
      ASSERT_EQ(engine->AddFormat(&f), STATUS_SUCCESS);
      added.push_back(f);
    }
    ASSERT_EQ(engine->GetFormatCount(), row.offered.size());
    for (size_t i = 0; i < row.offered.size(); ++i) {
      WAVEFORMATEXTENSIBLE out{};
      ASSERT_EQ(engine->GetFormat(static_cast<ULONG>(i), &out), STATUS_SUCCESS);
      EXPECT_EQ(std::memcmp(&out, &added[row.offered[i]], sizeof out), 0) << "format " << i;
    }
    engine->Release();
  }
}

TEST_F(EndpointModel, EndpointIsConnectedWhenAJackOfItsTerminalIsInUse) {
  struct Row {
    const char* what;
    ULONG direction;
    std::vector<NodeSpec> path;
    bool connected;
  };
  const Row rows[] = {
      {"no terminal", kRender, {{S::Volume}}, false},
      {"terminal without jacks", kRender, {{S::Output, 1}}, true},
      {"jack in use", kRender, {{S::Output, 2, 2, 1}}, true},
      {"no jack in use", kRender, {{S::Output, 2, 2, 0}}, false},
      {"streaming terminal ignored", kRender, {{S::Output, 0}}, false},
      {"a second terminal in use", kRender, {{S::Output, 2, 1, 0}, {S::Output, 1, 3, 1}}, true},
      {"input terminal on a render path", kRender, {{S::Input, 7}}, false},
      {"microphone unplugged", kCapture, {{S::Input, 7, 1, 0}}, false},
      {"microphone plugged", kCapture, {{S::Input, 7, 1, 1}}, true},
  };
  for (const Row& row : rows) {
    CStreamEngine* engine = Engine(row.direction, row.path);
    EXPECT_EQ(engine->HasConnectedTerminal(), row.connected) << row.what;
    engine->Release();
  }
}

// Whether a jack is in use is read into a scratch buffer; without one the endpoint is
// kept rather than hidden.
TEST_F(EndpointModel, EndpointWhoseJacksCannotBeReadStaysConnected) {
  CStreamEngine* engine = Engine(kRender, {{S::Output, 2, 2, 0}});
  {
    platform::pool::ScopedFaultInjection faults;
    platform::pool::FailTag(adapter::kStreamEnginePoolTag);
    EXPECT_TRUE(engine->HasConnectedTerminal());
  }
  EXPECT_FALSE(engine->HasConnectedTerminal());
  engine->Release();
}

// ---------------------------------------------------------------------------------------
// Selector linking

class SelectorLinking : public EndpointModel {
 protected:
  // A function whose probe adds the given entities; the selector gets `sources`.
  CProbeHal* Hal(std::vector<IUacEntity*> entities) {
    CProbeHal* hal = platform::testing::NewProbeHal();
    hal->probe = [entities](CProbeHal* self) {
      for (IUacEntity* e : entities) {
        NTSTATUS status = self->AddEntity(e);
        if (!NT_SUCCESS(status)) return status;
      }
      return STATUS_SUCCESS;
    };
    return hal;
  }
  uac::CSelectorNode* Selector(ULONG id, std::vector<ULONG> sources) {
    auto* selector = new (NonPagedPool, kTag) uac::CSelectorNode(nullptr, id);
    EXPECT_EQ(selector->InitInputs(static_cast<ULONG>(sources.size()), sources.data()), STATUS_SUCCESS);
    selector->AddRef();
    owned_.push_back(selector);
    return selector;
  }
  CProbeEntity* Link(ULONG id, std::vector<ULONG> sources, bool answers = true) {
    CProbeEntity* e = NewProbeEntity(id, 3, answers ? ULONG{platform::testing::ANSWER_STREAM_LINK} : 0u, &log_);
    if (!sources.empty()) {
      EXPECT_EQ(e->SetSources(static_cast<ULONG>(sources.size()), sources.data()), STATUS_SUCCESS);
    }
    owned_.push_back(e);
    return e;
  }
  std::vector<std::string> Linked() {
    std::vector<std::string> links;
    for (const auto& line : log_)
      if (line.find("pin") != std::string::npos) links.push_back(line);
    return links;
  }
};

// Every node on the single-source chain above an input is linked, the farthest first,
// with the input's index and the selector's selection.
TEST_F(SelectorLinking, ChainsAboveEachInputFollowTheSelector) {
  auto* selector = Selector(10, {1, 2});
  CProbeEntity* near1 = Link(1, {3});
  CProbeEntity* far1 = Link(3, {4, 5});  // two sources: the walk ends here
  CProbeEntity* beyond = Link(4, {});
  CProbeEntity* near2 = Link(2, {});
  CProbeHal* hal = Hal({selector, near1, far1, beyond, near2});
  ASSERT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
  // Linked first, then every entity's value goes back to the device.
  EXPECT_EQ(log_, (std::vector<std::string>{"3: pin 1", "3: direction 1", "1: pin 1", "1: direction 1", "2: pin 2",
                                            "2: direction 1", "1: restore", "3: restore", "4: restore",
                                            "2: restore"}));
  log_.clear();
  ASSERT_EQ(selector->SetSelected(2), STATUS_SUCCESS);
  EXPECT_EQ(log_, (std::vector<std::string>{"3: changing 2 1", "1: changing 2 1", "2: changing 2 1",
                                            "3: direction 2", "1: direction 2", "2: direction 2"}));
  EXPECT_EQ(near1->pinIndex, 1u);
  EXPECT_EQ(near2->pinIndex, 2u);
  (void)beyond;
  hal->Release();
}

// Source graphs come from the device; a cycle or an endless chain above a selector input
// ends the walk instead of hanging it, and each node is linked once.
TEST_F(SelectorLinking, CyclicAndDeepGraphsEndTheWalk) {
  struct Row {
    const char* what;
    std::vector<std::pair<ULONG, std::vector<ULONG>>> links;  // id, sources
    size_t linked;
  };
  std::vector<std::pair<ULONG, std::vector<ULONG>>> deep;
  for (ULONG id = 1; id <= 100; ++id) deep.push_back({id, {id + 1}});
  const Row rows[] = {
      {"self loop", {{1, {1}}}, 1},
      {"two-node cycle", {{1, {2}}, {2, {1}}}, 2},
      {"cycle further up", {{1, {2}}, {2, {3}}, {3, {4}}, {4, {2}}}, 4},
      {"cycle through the selector", {{1, {10}}}, 1},
      {"chain of 100", deep, adapter::kMaxGraphDepth},
  };
  for (const Row& row : rows) {
    log_.clear();
    std::vector<IUacEntity*> entities{Selector(10, {1})};
    for (const auto& [id, sources] : row.links) entities.push_back(Link(id, sources));
    CProbeHal* hal = Hal(entities);
    ASSERT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS) << row.what;
    auto linked = Linked();
    EXPECT_EQ(linked.size(), row.linked) << row.what;
    std::sort(linked.begin(), linked.end());
    EXPECT_EQ(std::unique(linked.begin(), linked.end()), linked.end()) << row.what << ": linked twice";
    hal->Release();
  }
}

TEST_F(SelectorLinking, SelectorsWithMoreThanTenInputsAreNotLinked) {
  std::vector<ULONG> sources(11, 1);
  auto* wide = Selector(10, sources);
  CProbeEntity* link = Link(1, {});
  CProbeHal* hal = Hal({wide, link});
  ASSERT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(Linked().empty());
  hal->Release();
}

TEST_F(SelectorLinking, AFailingLinkEndsTheBuild) {
  auto* selector = Selector(10, {1, 2});
  CProbeEntity* first = Link(1, {});
  CProbeEntity* second = Link(2, {});
  first->linkStatus = STATUS_DEVICE_REMOVED;
  CProbeHal* hal = Hal({selector, first, second});
  EXPECT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_DEVICE_REMOVED);
  EXPECT_EQ(log_, (std::vector<std::string>{"1: pin 1"}));
  EXPECT_EQ(hal->GetEntityCount(), 0u);
  hal->Release();
  (void)second;
}

TEST_F(SelectorLinking, EveryAllocationOfTheLinkingFailsCleanly) {
  const auto allocations = platform::testing::ForEachAllocationFailure([&](platform::testing::FaultSweep& sweep) {
    std::vector<IUacEntity*> entities{Selector(10, {1, 2}), Link(1, {3}), Link(3, {}), Link(2, {})};
    CProbeHal* hal = Hal(entities);
    sweep.Arm();
    NTSTATUS status = hal->Init(nullptr, nullptr, nullptr, nullptr);
    const bool failed = sweep.Disarm();
    EXPECT_EQ(status, failed ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS) << "allocation " << sweep.n();
    hal->Release();
    for (IUacEntity* e : owned_) e->Release();
    owned_.clear();
  });
  // The two lists, the callback name, four entity list nodes and three listener nodes.
  EXPECT_EQ(allocations, 10u);
}

}  // namespace
