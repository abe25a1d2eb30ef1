// Chip class A's descriptor trimming on the synthetic device's fixed descriptor: each
// switch case checked by parsing the output with the driver's own validation rules (every
// descriptor valid, both total lengths right, every source and terminal link resolving to
// a piece that remains), the defaults against golden bytes, the rebuilt mixer's length,
// and descriptors off the fixed layout left untouched.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "chip_a_device.h"
#include "kernel/pool.h"
#include "support/kernel_fixture.h"
#include "uac/chip_a_trim.h"
#include "uac/descriptor_rules.h"

namespace {

using chip_a_test::Bytes;
using uac::ChipASwitch;

// What a trimmed descriptor holds, read independently of the trimming.
struct Parsed {
  std::string problem;  // empty when every check passed
  std::map<unsigned, Bytes> entities;
  std::vector<unsigned> renderAlternates;  // bAlternateSetting of interface 1's settings with endpoints
  bool capture = false;
  Bytes Entity(unsigned id) const { return entities.count(id) ? entities.at(id) : Bytes{}; }
  std::vector<unsigned> Sources(unsigned id) const {
    const Bytes d = Entity(id);
    if (d.size() < 5) return {};
    if (d[2] == 3) return {d[7]};
    if (d[2] == 6) return {d[4]};
    if (d[2] == 4 || d[2] == 5) return std::vector<unsigned>(d.begin() + 5, d.begin() + 5 + d[4]);
    return {};
  }
};

Parsed Parse(const Bytes& c) {
  Parsed p;
  auto fail = [&](std::string why) {
    if (p.problem.empty()) p.problem = std::move(why);
    return p;
  };
  if (c.size() < 28) return fail("short");
  const unsigned total = c[2] | c[3] << 8;
  if (total != c.size()) return fail("configuration wTotalLength " + std::to_string(total));
  unsigned at = 0;
  unsigned iface = 0xFF, alt = 0;
  unsigned acBytes = 0;
  bool inAc = false;
  std::vector<unsigned> links;
  while (at < c.size()) {
    const unsigned len = c[at];
    if (len < 2 || at + len > c.size()) return fail("chain broken at " + std::to_string(at));
    const UCHAR* d = &c[at];
    if (d[1] == 4) {
      iface = d[2];
      alt = d[3];
      if (iface == 1 && d[4] > 0) p.renderAlternates.push_back(alt);
      if (iface == 2) p.capture = true;
    }
    if (d[1] == 0x24 && iface == 0) {
      if (d[2] == 1) inAc = true;
      if (inAc) acBytes += len;
      if (d[2] >= 2 && d[2] <= 6) {
        if (p.entities.count(d[3])) return fail("identifier " + std::to_string(d[3]) + " twice");
        p.entities[d[3]] = Bytes(d, d + len);
      }
    } else if (iface != 0) {
      inAc = false;
    }
    if (d[1] == 0x24 && iface != 0 && d[2] == 1) links.push_back(d[3]);
    at += len;
  }
  const unsigned header = c[23] | c[24] << 8;
  if (header != acBytes) return fail("header wTotalLength " + std::to_string(header) + ", " + std::to_string(acBytes) + " written");
  uac::DescriptorFault fault{};
  if (uac::ValidateControlDescriptors(reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(&c[9]),
                                      static_cast<ULONG>(c.size() - 9), uac::kProtocolUac1, &fault) != STATUS_SUCCESS)
    return fail(std::string("validation: ") + (fault.Reason ? fault.Reason : "?"));
  for (const auto& [id, d] : p.entities)
    for (unsigned s : p.Sources(id))
      if (!p.entities.count(s)) return fail("entity " + std::to_string(id) + " names missing source " + std::to_string(s));
  for (unsigned link : links)
    if (!p.entities.count(link)) return fail("streaming interface links missing terminal " + std::to_string(link));
  return p;
}

class ChipATrim : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    source_ = chip_a_test::LoadChipADevice().config;
    ASSERT_EQ(source_.size(), 534u);
  }

  // Trims a copy of the source (exactly its length, so a write past it is a finding) with
  // the defaults and `changes` applied; the output cut to its new total length.
  NTSTATUS Trim(std::vector<std::pair<ChipASwitch, UCHAR>> changes, Bytes* out, uac::ChipASwitches* kept = nullptr,
                bool* trimmed = nullptr, Bytes input = {}) {
    uac::ChipASwitches s = uac::ChipADefaultSwitches();
    for (auto [sw, v] : changes) s.Value[sw] = v;
    Bytes work = input.empty() ? source_ : input;
    bool done = false;
    const NTSTATUS status =
        uac::TrimChipADescriptors(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(work.data()), &s, &done);
    if (kept) *kept = s;
    if (trimmed) *trimmed = done;
    const unsigned total = work[2] | work[3] << 8;
    *out = Bytes(work.begin(), work.begin() + std::min<size_t>(total, work.size()));
    return status;
  }

  Bytes source_;
};

Bytes Hex(const char* text) {
  Bytes b;
  for (const char* p = text; p[0] && p[1]; p += 2) b.push_back(static_cast<UCHAR>(std::stoul(std::string(p, 2), nullptr, 16)));
  return b;
}

// The defaults leave only the stereo-mix record source disabled.
const char kDefaultGolden[] =
    "0902e50104010080320904000000010100000a24010001b0000201020c240201010100083f0600000c24020501020002"
    "030000000a2406080501030000000a2406090501030000001924040a0301090b083f0600000000000000000000000000"
    "001024060d0a0101020000000000040000092403030103000d00092403070101000e000924050e03080f10000c24020c"
    "03060002030000000a24060f0c01030000000a24060b0c01030000000c24020405060002030000000a24061004010300"
    "0000090401000001020000090401010101020000072401010101000e2402010802100244ac0080bb0009050109100301"
    "000007250101000000090401020101020000072401010101000e2402010202100244ac0080bb0009050109c400010000"
    "07250101000000090401030101020000072401010101000e2402010402100244ac0080bb000905010988010100000725"
    "0101000000090401040101020000072401010101000e2402010602100244ac0080bb00090501094c0201000007250101"
    "000000090401050101020000072401010101000b24020102021001007701090501098401010000072501010000000904"
    "02000001020000090402010101020000072401070101000e2402010202100244ac0080bb0009058205c4000100000725"
    "0101000000";

TEST_F(ChipATrim, DefaultsMatchGoldenBytes) {
  Bytes out;
  ASSERT_EQ(Trim({}, &out), STATUS_SUCCESS);
  EXPECT_EQ(out, Hex(kDefaultGolden));
  EXPECT_EQ(Parse(out).problem, "");
  // The headphone setting's one rate becomes 96 kHz whatever the device announces.
  Bytes announced48k = source_;
  constexpr size_t kHighRate = 411 + 16 + 8;
  ASSERT_EQ(announced48k[kHighRate + 2] << 16 | announced48k[kHighRate + 1] << 8 | announced48k[kHighRate], 96000);
  announced48k[kHighRate] = 0x80;
  announced48k[kHighRate + 1] = 0xBB;
  announced48k[kHighRate + 2] = 0x00;
  ASSERT_EQ(Trim({}, &out, nullptr, nullptr, announced48k), STATUS_SUCCESS);
  EXPECT_EQ(out, Hex(kDefaultGolden));
}

struct TrimCase {
  const char* name;
  std::vector<std::pair<ChipASwitch, UCHAR>> changes;
  std::set<unsigned> ids;                 // every unit and terminal that remains
  std::vector<unsigned> mixerSources;     // of mixer 10; empty: no mixer
  std::vector<unsigned> selectorSources;  // of selector 14; empty: no selector
  unsigned recordSource;                  // of record output terminal 7; 0: no record path
  unsigned renderFeatureSource;
  unsigned renderChannels;
  std::vector<unsigned> alternates;
};

const TrimCase kCases[] = {
    {"Defaults", {}, {1, 5, 8, 9, 10, 13, 3, 7, 14, 12, 15, 11, 4, 16}, {1, 9, 11}, {8, 15, 16}, 14, 10, 8,
     {1, 2, 3, 4, 5}},
    {"MixRecCleared", {{uac::CHIPA_MIX_REC, 0}}, {1, 5, 8, 9, 10, 13, 3, 6, 7, 14, 12, 15, 11, 4, 2, 16}, {1, 9, 11},
     {8, 15, 16, 2}, 14, 10, 8, {1, 2, 3, 4, 5}},
    {"MicTerm", {{uac::CHIPA_MIC_TERM, 1}}, {1, 10, 13, 3, 7, 14, 12, 15, 11, 4, 16}, {1, 11}, {15, 16}, 14, 10, 8,
     {1, 2, 3, 4, 5}},
    {"MicAAAndLineAA", {{uac::CHIPA_MIC_AA, 1}, {uac::CHIPA_LINE_AA, 1}}, {1, 5, 8, 13, 3, 7, 14, 12, 15, 4, 16}, {},
     {8, 15, 16}, 14, 1, 8, {1, 2, 3, 4, 5}},
    {"OnlyMicRecLeft", {{uac::CHIPA_LINE_REC, 1}, {uac::CHIPA_SPDIF_TERM, 1}}, {1, 5, 8, 9, 10, 13, 3, 7, 12, 11},
     {1, 9, 11}, {}, 8, 10, 8, {1, 2, 3, 4, 5}},
    {"OnlyStereoMixLeft",
     {{uac::CHIPA_MIC_REC, 1}, {uac::CHIPA_LINE_REC, 1}, {uac::CHIPA_SPDIF_TERM, 1}, {uac::CHIPA_MIX_REC, 0}},
     {1, 5, 9, 10, 13, 3, 6, 7, 12, 11, 2}, {1, 9, 11}, {}, 2, 10, 8, {1, 2, 3, 4, 5}},
    {"NoRecordSource", {{uac::CHIPA_MIC_REC, 1}, {uac::CHIPA_LINE_REC, 1}, {uac::CHIPA_SPDIF_TERM, 1}},
     {1, 5, 9, 10, 13, 3, 12, 11}, {1, 9, 11}, {}, 0, 10, 8, {1, 2, 3, 4, 5}},
    {"EveryInputTerminalOff",
     {{uac::CHIPA_MIC_TERM, 1}, {uac::CHIPA_LINE_TERM, 1}, {uac::CHIPA_SPDIF_TERM, 1}}, {1, 13, 3}, {}, {}, 0, 1, 8,
     {1, 2, 3, 4, 5}},
    {"Out8", {{uac::CHIPA_OUT8, 1}}, {1, 5, 8, 9, 10, 13, 3, 7, 14, 12, 15, 11, 4, 16}, {1, 9, 11}, {8, 15, 16}, 14,
     10, 6, {2, 3, 4, 5}},
    {"Out2Out4Out6", {{uac::CHIPA_OUT2, 1}, {uac::CHIPA_OUT4, 1}, {uac::CHIPA_OUT6, 1}},
     {1, 5, 8, 9, 10, 13, 3, 7, 14, 12, 15, 11, 4, 16}, {1, 9, 11}, {8, 15, 16}, 14, 10, 8, {1, 5}},
};

class ChipATrimCases : public ChipATrim, public ::testing::WithParamInterface<TrimCase> {};

TEST_P(ChipATrimCases, LeavesAValidDescriptorWithThePiecesTheSwitchesKeep) {
  const TrimCase& c = GetParam();
  Bytes out;
  bool trimmed = false;
  ASSERT_EQ(Trim(c.changes, &out, nullptr, &trimmed), STATUS_SUCCESS);
  ASSERT_TRUE(trimmed);
  const Parsed p = Parse(out);
  ASSERT_EQ(p.problem, "");
  std::set<unsigned> ids;
  for (const auto& [id, d] : p.entities) ids.insert(id);
  EXPECT_EQ(ids, c.ids);
  EXPECT_EQ(p.Sources(10), c.mixerSources);
  EXPECT_EQ(p.Sources(14), c.selectorSources);
  EXPECT_EQ(p.Sources(7), c.recordSource ? std::vector<unsigned>{c.recordSource} : std::vector<unsigned>{});
  EXPECT_EQ(p.capture, c.recordSource != 0);
  EXPECT_EQ(p.Sources(13), std::vector<unsigned>{c.renderFeatureSource});
  EXPECT_EQ(p.Entity(1)[7], c.renderChannels);
  EXPECT_EQ(p.Entity(1)[8] | p.Entity(1)[9] << 8, c.renderChannels == 6 ? 0x003F : 0x063F);
  EXPECT_EQ(p.Entity(13)[0], c.renderChannels == 6 ? 14 : 16);
  // Six channels end the render unit's controls at channel 6: its byte 13, the seventh
  // channel's controls in the source, becomes the string index 0.
  ASSERT_NE(source_[97 + 13], 0);
  EXPECT_EQ(p.Entity(13)[13], c.renderChannels == 6 ? 0 : source_[97 + 13]);
  EXPECT_EQ(p.renderAlternates, c.alternates);
  if (!c.selectorSources.empty()) {
    EXPECT_EQ(p.Entity(14)[0], c.selectorSources.size() + 6);
  }
  EXPECT_LE(out.size(), uac::kChipALayoutBytes);
}

INSTANTIATE_TEST_SUITE_P(Switches, ChipATrimCases, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// bLength = 10 + inputs + ceil(channels x (channels + 2 per analog input) / 8).
TEST_F(ChipATrim, RebuiltMixerLengthFollowsChannelsAndAnalogInputs) {
  struct Row {
    std::vector<std::pair<ChipASwitch, UCHAR>> changes;
    unsigned channels, inputs, length;
  };
  const Row rows[] = {
      {{}, 8, 3, 25},
      {{{uac::CHIPA_LINE_AA, 1}}, 8, 2, 22},
      {{{uac::CHIPA_OUT8, 1}}, 6, 3, 21},
      {{{uac::CHIPA_OUT8, 1}, {uac::CHIPA_MIC_AA, 1}}, 6, 2, 18},
  };
  for (const Row& r : rows) {
    Bytes out;
    ASSERT_EQ(Trim(r.changes, &out), STATUS_SUCCESS);
    const Parsed p = Parse(out);
    ASSERT_EQ(p.problem, "");
    const Bytes m = p.Entity(10);
    ASSERT_FALSE(m.empty());
    const unsigned analog = r.inputs - 1;
    EXPECT_EQ(m[0], 10 + r.inputs + (r.channels * (r.channels + 2 * analog) + 7) / 8);
    EXPECT_EQ(m[0], r.length);
    EXPECT_EQ(m[4], r.inputs);
    EXPECT_EQ(m[5 + r.inputs], r.channels);
    EXPECT_EQ(m[6 + r.inputs] | m[7 + r.inputs] << 8, r.channels == 6 ? 0x003F : 0x063F);
  }
}

TEST_F(ChipATrim, DerivedSwitchesStayInTheFunction) {
  Bytes out;
  uac::ChipASwitches s{};
  ASSERT_EQ(Trim({{uac::CHIPA_MIC_TERM, 1}, {uac::CHIPA_MIX_REC, 0}}, &out, &s), STATUS_SUCCESS);
  EXPECT_TRUE(s[uac::CHIPA_MIC_AA]);
  EXPECT_TRUE(s[uac::CHIPA_MIC_REC]);
  EXPECT_TRUE(s[uac::CHIPA_MIX_REC]);
  EXPECT_FALSE(s[uac::CHIPA_LINE_REC]);
  ASSERT_EQ(Trim({{uac::CHIPA_LINE_AA, 1}, {uac::CHIPA_MIX_REC, 0}}, &out, &s), STATUS_SUCCESS);
  EXPECT_TRUE(s[uac::CHIPA_MIX_REC]);
  EXPECT_FALSE(s[uac::CHIPA_LINE_REC]);
}

TEST_F(ChipATrim, SixAndEightChannelOutputBothDisabledIsRefusedWithTheDescriptorUntouched) {
  Bytes out;
  EXPECT_EQ(Trim({{uac::CHIPA_OUT6, 1}, {uac::CHIPA_OUT8, 1}}, &out), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(out, source_);
}

TEST_F(ChipATrim, NoWorkBufferIsRefused) {
  platform::pool::ScopedFaultInjection scope;
  platform::pool::FailTag(uac::kChipATag);
  Bytes out;
  EXPECT_EQ(Trim({}, &out), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(out, source_);
}

// Descriptors a chip A model string may come with that are not the fixed layout.
TEST_F(ChipATrim, DescriptorOffTheFixedLayoutIsLeftAsItStands) {
  Bytes shortOne(source_.begin(), source_.begin() + 508);
  shortOne[2] = 508 & 0xFF;
  shortOne[3] = 508 >> 8;
  Bytes shifted40 = source_;
  shifted40.insert(shifted40.begin() + 40, 0);
  shifted40[2] = static_cast<UCHAR>(shifted40.size());
  shifted40[3] = static_cast<UCHAR>(shifted40.size() >> 8);
  Bytes otherId = source_;
  otherId[52 + 3] = 0x18;
  Bytes otherSubtype = source_;
  otherSubtype[144 + 2] = 4;
  Bytes longerPiece = source_;
  longerPiece[113] = 10;  // the render output terminal swallows a byte of the next piece
  Bytes noFormat = source_;
  noFormat[411 + 16 + 7] = 2;
  const std::pair<const char*, Bytes> inputs[] = {
      {"508 bytes", shortOne}, {"one byte inserted at 40", shifted40}, {"identifier", otherId},
      {"subtype", otherSubtype}, {"piece length", longerPiece}, {"two-rate last setting", noFormat},
  };
  for (const auto& [name, input] : inputs) {
    SCOPED_TRACE(name);
    Bytes out;
    bool trimmed = true;
    ASSERT_EQ(Trim({{uac::CHIPA_MIC_TERM, 1}}, &out, nullptr, &trimmed, input), STATUS_SUCCESS);
    EXPECT_FALSE(trimmed);
    EXPECT_EQ(out, Bytes(input.begin(), input.begin() + (input[2] | input[3] << 8)));
  }
}

// Any single byte changed: the trimming either refuses the layout and leaves the bytes, or
// writes no more than the original's length (the copy is sized exactly, so a write past it
// is a sanitizer finding).
TEST_F(ChipATrim, EverySingleByteCorruptionStaysInsideTheDescriptor) {
  std::mt19937 random(51);
  for (size_t at = 0; at < 509; ++at) {
    Bytes input = source_;
    input[at] = static_cast<UCHAR>(input[at] ^ (1 + random() % 255));
    const unsigned declared = input[2] | input[3] << 8;
    if (declared > input.size()) input.resize(declared, 0);
    Bytes out;
    bool trimmed = false;
    const NTSTATUS status = Trim({}, &out, nullptr, &trimmed, input);
    ASSERT_TRUE(status == STATUS_SUCCESS) << at;
    if (!trimmed) {
      EXPECT_EQ(out, Bytes(input.begin(), input.begin() + declared)) << at;
    } else {
      EXPECT_LE(out.size(), declared) << at;
    }
  }
}

}  // namespace
