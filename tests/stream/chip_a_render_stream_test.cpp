// Chip class A's render engine on the synthetic chip A device: register 0's rate and
// data-kind bits after each streaming selection, the format lists it keeps per output
// kind (speaker, headphones, S/PDIF) and that a second naming leaves, and the alternate
// settings its formats play on. The output kind comes from the chip's output terminal: the
// outputs the switches give it and the kind saved as its current.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chip_a_fixture.h"
#include "stream/chip_a_render_stream.h"
#include "support/wave_formats.h"

namespace {

using chip_a_test::kOtherProduct;
using chip_a_test::kOtherVendor;

constexpr ULONG kSpeaker = 1, kHeadphones = 2, kSpdif = 3;

VOID Ignore(PVOID, PVOID, PVOID) {}

class ChipARenderStreamTest : public chip_a_test::ChipATest {
 protected:
  // The device without the chip values (8-channel output on), its render output of the
  // kind, started; the render engine named as the subdevice registration names it.
  void StartWithOutput(ULONG kind, chip_a_test::Bytes config = {}) {
    PlugChipA(kOtherVendor, kOtherProduct, false, config);
    sim_->SetVendorData(chip_a_test::kVendorIn, 0x81, 0, 8, {0x02});
    SelectOutputKind(kind);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    render_ = dynamic_cast<stream::CChipARenderStream*>(Engine(adapter::STREAM_DIRECTION_RENDER));
    ASSERT_NE(render_, nullptr);
    EXPECT_EQ(render_->GetEndpointType(), kind);
    EXPECT_EQ(render_->GetChipFunction(), function());
    EXPECT_EQ(render_->GetMsPerUrb(), 10u);
    ASSERT_EQ(render_->SetName(u"SPKOut00"), STATUS_SUCCESS);
  }

  // The formats the engine offers its clients, with the alternate setting of each.
  std::vector<std::pair<WAVEFORMATEXTENSIBLE, UCHAR>> Offered() {
    std::vector<std::pair<WAVEFORMATEXTENSIBLE, UCHAR>> out;
    for (ULONG i = 0; i < render_->GetFormatCount(); ++i) {
      WAVEFORMATEXTENSIBLE f{};
      EXPECT_EQ(render_->GetFormat(i, &f), STATUS_SUCCESS);
      UCHAR alt = 0xFF;
      EXPECT_EQ(render_->FindAltSetting(&f.Format, &alt), STATUS_SUCCESS);
      out.emplace_back(f, alt);
    }
    return out;
  }
  // The engine's own format of the channels, rate and tag (40 bytes exactly as offered).
  WAVEFORMATEXTENSIBLE OfferedFormat(WORD channels, ULONG rate, USHORT tag) {
    for (const auto& [f, alt] : Offered())
      if (f.Format.nChannels == channels && f.Format.nSamplesPerSec == rate && stream::ChipAFormatTag(f) == tag)
        return f;
    ADD_FAILURE() << "no format of " << channels << " channels at " << rate << " Hz, tag " << tag;
    return {};
  }
  static size_t Count(const std::vector<std::pair<WAVEFORMATEXTENSIBLE, UCHAR>>& formats, USHORT tag, ULONG rate) {
    size_t n = 0;
    for (const auto& [f, alt] : formats)
      if (stream::ChipAFormatTag(f) == tag && (!rate || f.Format.nSamplesPerSec == rate)) ++n;
    return n;
  }

  // Registers and prepares a client in the format (the resources are allocated and the
  // setting selected), returning the status; Release undoes it.
  NTSTATUS Prepare(const WAVEFORMATEXTENSIBLE& format) {
    NTSTATUS status = render_->RegisterClient(stream::kWaveCyclicClientPriority, &format, 10, 3, Ignore, nullptr,
                                              &record_);
    if (!NT_SUCCESS(status)) return status;
    ULONG ms = 0, frame = 0;
    return render_->PrepareClient(record_->Key, &ms, &frame);
  }
  void Release() {
    if (!record_) return;
    render_->UnprepareClient(record_->Key);
    render_->UnregisterClient(record_->Key);
    record_ = nullptr;
  }
  std::vector<sim::device::ChipRegisters::Write> Register0Writes() {
    std::vector<sim::device::ChipRegisters::Write> out;
    for (const auto& w : chip_->writes())
      if (w.reg == 0) out.push_back(w);
    return out;
  }

  stream::CChipARenderStream* render_ = nullptr;
  stream::PSTREAMCLIENTRECORD record_ = nullptr;
};

// Rate bits for 44.1, 48 and 96 kHz, none at 32 kHz; the data-kind bit for PCM and for
// IEC 61937, written after the selection whatever the rate.
TEST_F(ChipARenderStreamTest, RegisterZeroFollowsTheStreamFormat) {
  struct Case {
    const char* what;
    ULONG output;
    WORD channels;
    ULONG rate;
    USHORT tag;
    UCHAR alt;
    bool rateWritten;
    USHORT rateBits, kindBit;
  };
  const Case cases[] = {
      {"44.1 kHz PCM, 4 channels", kSpeaker, 4, 44100, WAVE_FORMAT_PCM, 3, true, 0x0000, 0},
      {"48 kHz PCM", kSpeaker, 2, 48000, WAVE_FORMAT_PCM, 2, true, 0x2000, 0},
      {"96 kHz PCM", kHeadphones, 2, 96000, WAVE_FORMAT_PCM, 5, true, 0x6000, 0},
      {"32 kHz PCM", kSpeaker, 2, 32000, WAVE_FORMAT_PCM, 2, false, 0, 0},
      {"48 kHz AC-3", kSpdif, 2, 48000, stream::kChipAAc3Tag, 2, true, 0x2000, 0x0002},
      {"96 kHz AC-3", kSpdif, 2, 96000, stream::kChipAAc3Tag, 5, true, 0x6000, 0x0002},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The 2-channel setting offers 32 kHz in place of 44.1 kHz.
    StartWithOutput(c.output, chip_a_test::WithStereoFirstRate(file_.config, 32000));
    // Bits the stream does not own are set, so a write that touched them would show.
    ASSERT_EQ(function()->WriteChipRegister(0, 0x8FFD, 0xFFFF), STATUS_SUCCESS);
    chip_->ClearWrites();
    ASSERT_EQ(Prepare(OfferedFormat(c.channels, c.rate, c.tag)), STATUS_SUCCESS);
    EXPECT_EQ(sim_->CurrentAlternate(1), c.alt);
    const auto writes = Register0Writes();
    ASSERT_EQ(writes.size(), c.rateWritten ? 2u : 1u);
    const USHORT value = chip_->value(0);
    EXPECT_EQ(value & 0x7000, c.rateWritten ? c.rateBits : 0x0000) << std::hex << value;
    EXPECT_EQ(value & 0x0002, c.kindBit);
    EXPECT_EQ(value & ~0x7002, 0x8FFD & ~0x7002);
    EXPECT_EQ(function()->Register(0).Value, value);
    Release();
    TearDownDevice();
  }
}

TEST_F(ChipARenderStreamTest, FormatListsByOutputKind) {
  struct Case {
    const char* what;
    ULONG output;
    size_t ac3[3];  // AC-3 at 44.1, 48, 96 kHz
    size_t pcm96;
  };
  const Case cases[] = {
      {"speaker", kSpeaker, {0, 0, 0}, 0},
      {"headphones", kHeadphones, {0, 0, 0}, 1},
      {"S/PDIF", kSpdif, {1, 1, 1}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartWithOutput(c.output);
    const auto offered = Offered();
    EXPECT_EQ(Count(offered, stream::kChipAAc3Tag, 44100), c.ac3[0]);
    EXPECT_EQ(Count(offered, stream::kChipAAc3Tag, 48000), c.ac3[1]);
    EXPECT_EQ(Count(offered, stream::kChipAAc3Tag, 96000), c.ac3[2]);
    EXPECT_EQ(Count(offered, WAVE_FORMAT_PCM, 96000), c.pcm96);
    for (const auto& [f, alt] : offered) {
      if (stream::ChipAFormatTag(f) == stream::kChipAAc3Tag) {
        EXPECT_EQ(alt, f.Format.nSamplesPerSec == 96000 ? 5 : 2);
        EXPECT_EQ(f.Format.cbSize, 22);  // a whole extensible format: clients can open it
        EXPECT_EQ(f.dwChannelMask, 0u);
      }
      if (f.Format.nSamplesPerSec == 96000) {
        EXPECT_EQ(alt, 5);
      }
    }
    if (c.output == kSpdif) {
      // Added at the end, in order: AC-3 44.1, 48, 96 kHz, then PCM 96 kHz.
      ASSERT_GE(offered.size(), 4u);
      const ULONG tail[][2] = {{stream::kChipAAc3Tag, 44100}, {stream::kChipAAc3Tag, 48000},
                               {stream::kChipAAc3Tag, 96000}, {WAVE_FORMAT_PCM, 96000}};
      for (size_t i = 0; i < 4; ++i) {
        const auto& f = offered[offered.size() - 4 + i].first;
        EXPECT_EQ(stream::ChipAFormatTag(f), tail[i][0]);
        EXPECT_EQ(f.Format.nSamplesPerSec, tail[i][1]);
      }
    }
    // Named again: the same lists, the same records.
    const ULONG records = render_->GetFormatRecordCount();
    ASSERT_EQ(render_->SetName(u"SPKOut01"), STATUS_SUCCESS);
    const auto again = Offered();
    ASSERT_EQ(again.size(), offered.size());
    for (size_t i = 0; i < again.size(); ++i) {
      EXPECT_EQ(std::memcmp(&again[i].first, &offered[i].first, sizeof(WAVEFORMATEXTENSIBLE)), 0) << i;
      EXPECT_EQ(again[i].second, offered[i].second) << i;
    }
    EXPECT_EQ(render_->GetFormatRecordCount(), records);
    // A name the base refuses changes nothing.
    std::u16string tooLong(60, u'x');
    EXPECT_EQ(render_->SetName(tooLong.c_str()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(render_->GetFormatRecordCount(), records);
    TearDownDevice();
  }
}

// Headphones whose descriptors offer 96 kHz PCM on the 2-channel setting as well: one
// such format is left, and it plays on alternate setting 5.
TEST_F(ChipARenderStreamTest, HeadphoneHighRatePlaysOnSettingFive) {
  StartWithOutput(kHeadphones, chip_a_test::WithStereoFirstRate(file_.config, 96000));
  const auto offered = Offered();
  EXPECT_EQ(Count(offered, WAVE_FORMAT_PCM, 96000), 1u);
  ASSERT_EQ(Prepare(OfferedFormat(2, 96000, WAVE_FORMAT_PCM)), STATUS_SUCCESS);
  EXPECT_EQ(sim_->CurrentAlternate(1), 5);
  Release();
  EXPECT_EQ(sim_->CurrentAlternate(1), 0);
}

}  // namespace
