// The wave pin's data-format checks: the layouts and sizes taken, the bounds on cbSize
// (never more than the layout has room for), the engine's format list deciding, and the
// signal-processing mode read from a format's attribute list.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "filters/wave_format_check.h"
#include "support/kernel_fixture.h"
#include "support/wave_formats.h"
#include "wave_doubles.h"

namespace {

using filters::ReadSignalProcessingMode;
using filters::ReadWaveFormat;
using filters::ValidateWaveFormat;
using platform::testing::ExtensibleFormat;

const WAVEFORMATEXTENSIBLE kStereo48 = ExtensibleFormat(2, 48000, 16);

// A data format of `formatSize` bytes with the wave format at `waveOffset`, padded with
// 0xCC past what the caller fills.
std::vector<BYTE> DataFormat(ULONG formatSize, ULONG flags, ULONG waveOffset, const void* wave, ULONG waveBytes,
                             ULONG total = 0) {
  std::vector<BYTE> bytes(total ? total : formatSize, 0xCC);
  KSDATAFORMAT header{};
  header.FormatSize = formatSize;
  header.Flags = flags;
  header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  header.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  std::memcpy(bytes.data(), &header, sizeof header);
  if (waveOffset > 64) std::memset(bytes.data() + 64, 0, waveOffset - 64);
  std::memcpy(bytes.data() + waveOffset, wave, waveBytes);
  return bytes;
}

WAVEFORMATEX Plain(WORD cbSize = 0) {
  WAVEFORMATEX w = kStereo48.Format;
  w.wFormatTag = WAVE_FORMAT_PCM;
  w.cbSize = cbSize;
  return w;
}

TEST(WaveFormatCheck, LayoutsSizesAndExtraBytes) {
  WAVEFORMATEXTENSIBLE ext = kStereo48;
  WAVEFORMATEXTENSIBLE extShort = kStereo48;
  extShort.Format.cbSize = 23;  // one byte more than the structure has
  WAVEFORMATEX plain = Plain();
  WAVEFORMATEX plainExtra = Plain(22);  // claims 22 bytes a plain layout has no room for
  WAVEFORMATEX plainSix = Plain(6);     // would fit an attributed 88-byte layout, but is not its own
  struct Case {
    const char* name;
    ULONG formatSize, flags, offset;
    const void* wave;
    ULONG waveBytes;
    NTSTATUS expected;
    ULONG copied;  // bytes of the wave format taken
  } cases[] = {
      {"plain", 82, 0, 64, &plain, 18, STATUS_SUCCESS, 18},
      {"plain with attributes", 88, KSDATAFORMAT_ATTRIBUTES, 64, &plain, 18, STATUS_SUCCESS, 18},
      {"dsound", 90, 0, 72, &plain, 18, STATUS_SUCCESS, 18},
      {"dsound with attributes", 96, KSDATAFORMAT_ATTRIBUTES, 72, &plain, 18, STATUS_SUCCESS, 18},
      {"extensible", 104, 0, 64, &ext, 40, STATUS_SUCCESS, 40},
      {"extensible with attributes", 104, KSDATAFORMAT_ATTRIBUTES, 64, &ext, 40, STATUS_SUCCESS, 40},
      {"too short", 81, 0, 64, &plain, 17, STATUS_INVALID_PARAMETER, 0},
      {"88 without attributes", 88, 0, 64, &plain, 18, STATUS_INVALID_PARAMETER, 0},
      {"82 with attributes", 82, KSDATAFORMAT_ATTRIBUTES, 64, &plain, 18, STATUS_INVALID_PARAMETER, 0},
      {"odd size", 100, 0, 64, &plain, 18, STATUS_INVALID_PARAMETER, 0},
      {"cbSize past the extensible", 104, 0, 64, &extShort, 40, STATUS_INVALID_PARAMETER, 0},
      {"cbSize in a plain layout", 82, 0, 64, &plainExtra, 18, STATUS_INVALID_PARAMETER, 0},
      {"cbSize in a dsound layout", 90, 0, 72, &plainExtra, 18, STATUS_INVALID_PARAMETER, 0},
      {"cbSize in the padding", 88, KSDATAFORMAT_ATTRIBUTES, 64, &plainSix, 18, STATUS_INVALID_PARAMETER, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<BYTE> bytes = DataFormat(c.formatSize, c.flags, c.offset, c.wave, c.waveBytes,
                                         c.formatSize < 104 ? 104 : c.formatSize);
    WAVEFORMATEXTENSIBLE out;
    std::memset(&out, 0xAB, sizeof out);
    EXPECT_EQ(ReadWaveFormat(reinterpret_cast<const KSDATAFORMAT*>(bytes.data()), &out), c.expected);
    if (c.expected != STATUS_SUCCESS) continue;
    EXPECT_EQ(std::memcmp(&out, c.wave, c.copied), 0);
    // Nothing beyond what the format declares is read: the rest stays zero.
    for (ULONG i = c.copied; i < sizeof out; ++i) EXPECT_EQ(reinterpret_cast<BYTE*>(&out)[i], 0) << i;
  }
}

TEST(WaveFormatCheck, WrongMajorFormatOrNothingIsRefused) {
  WAVEFORMATEX plain = Plain();
  std::vector<BYTE> bytes = DataFormat(82, 0, 64, &plain, 18);
  reinterpret_cast<KSDATAFORMAT*>(bytes.data())->MajorFormat = KSDATAFORMAT_SUBTYPE_PCM;
  WAVEFORMATEXTENSIBLE out;
  EXPECT_EQ(ReadWaveFormat(reinterpret_cast<const KSDATAFORMAT*>(bytes.data()), &out), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadWaveFormat(nullptr, &out), STATUS_INVALID_PARAMETER);
}

class WaveFormatEngine : public platform::testing::KernelTest {};

TEST_F(WaveFormatEngine, TheEngineDecidesAndCompletesAPlainFormat) {
  auto* engine = filters_test::NewFakeEngine(adapter::STREAM_DIRECTION_RENDER, {kStereo48});
  WAVEFORMATEX plain = Plain();
  plain.nAvgBytesPerSec = 0;  // completed from the engine's entry
  plain.nBlockAlign = 0;
  std::vector<BYTE> bytes = DataFormat(82, 0, 64, &plain, 18);
  WAVEFORMATEXTENSIBLE out;
  EXPECT_EQ(ValidateWaveFormat(reinterpret_cast<const KSDATAFORMAT*>(bytes.data()), engine, &out), STATUS_SUCCESS);
  EXPECT_EQ(out.Format.nAvgBytesPerSec, 192000u);
  EXPECT_EQ(out.Format.nBlockAlign, 4);

  WAVEFORMATEX other = Plain();
  other.nSamplesPerSec = 44100;
  bytes = DataFormat(82, 0, 64, &other, 18);
  EXPECT_EQ(ValidateWaveFormat(reinterpret_cast<const KSDATAFORMAT*>(bytes.data()), engine, &out),
            STATUS_INVALID_PARAMETER);
  static_cast<stream::IUsbStreamEngine*>(engine)->Release();
}

// An attribute list after a format of `formatSize` bytes: the items given, each padded to 8.
std::vector<BYTE> WithAttributes(ULONG formatSize, const std::vector<std::vector<BYTE>>& items, ULONG listSize = 0) {
  WAVEFORMATEXTENSIBLE ext = kStereo48;
  std::vector<BYTE> bytes = DataFormat(formatSize, KSDATAFORMAT_ATTRIBUTES, 64, &ext, 40);
  bytes.resize((formatSize + 7) & ~7u, 0);
  std::vector<BYTE> list(sizeof(KSMULTIPLE_ITEM), 0);
  for (const auto& item : items) {
    list.insert(list.end(), item.begin(), item.end());
    list.resize((list.size() + 7) & ~size_t{7}, 0);
  }
  KSMULTIPLE_ITEM header{listSize ? listSize : static_cast<ULONG>(list.size()), static_cast<ULONG>(items.size())};
  std::memcpy(list.data(), &header, sizeof header);
  bytes.insert(bytes.end(), list.begin(), list.end());
  bytes.resize(bytes.size() + 64, 0);  // room a wrong Size could reach into
  return bytes;
}

std::vector<BYTE> ModeItem(const GUID& mode, ULONG size = sizeof(KSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE),
                           const GUID& attribute = KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE) {
  KSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE item{};
  item.AttributeHeader.Size = size;
  item.AttributeHeader.Attribute = attribute;
  item.SignalProcessingMode = mode;
  std::vector<BYTE> bytes(sizeof item);
  std::memcpy(bytes.data(), &item, sizeof item);
  return bytes;
}

TEST(WaveFormatCheck, SignalProcessingModeFromTheAttributes) {
  const GUID other = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  struct Case {
    const char* name;
    std::vector<BYTE> bytes;
    NTSTATUS expected;
    GUID mode;
  } cases[] = {
      {"empty list", WithAttributes(104, {}), STATUS_SUCCESS, AUDIO_SIGNALPROCESSINGMODE_RAW},
      {"raw", WithAttributes(104, {ModeItem(AUDIO_SIGNALPROCESSINGMODE_RAW)}), STATUS_SUCCESS,
       AUDIO_SIGNALPROCESSINGMODE_RAW},
      {"default", WithAttributes(104, {ModeItem(AUDIO_SIGNALPROCESSINGMODE_DEFAULT)}), STATUS_SUCCESS,
       AUDIO_SIGNALPROCESSINGMODE_DEFAULT},
      {"the last mode counts",
       WithAttributes(104, {ModeItem(AUDIO_SIGNALPROCESSINGMODE_RAW), ModeItem(other)}), STATUS_SUCCESS, other},
      {"item under 24 bytes", WithAttributes(104, {ModeItem(other, 20)}), STATUS_INVALID_PARAMETER, {}},
      {"mode item of 32 bytes", WithAttributes(104, {ModeItem(other, 32)}), STATUS_INVALID_PARAMETER, {}},
      {"another attribute", WithAttributes(104, {ModeItem(other, 40, other)}), STATUS_NOT_SUPPORTED, {}},
      {"list size under 8", WithAttributes(104, {}, 4), STATUS_INVALID_PARAMETER, {}},
      {"count past the list", WithAttributes(104, {ModeItem(other)}, 8 + 20), STATUS_INVALID_PARAMETER, {}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    GUID mode{};
    EXPECT_EQ(ReadSignalProcessingMode(reinterpret_cast<const KSDATAFORMAT*>(c.bytes.data()), &mode), c.expected);
    if (c.expected == STATUS_SUCCESS) {
      EXPECT_TRUE(IsEqualGUID(mode, c.mode));
    }
  }
  WAVEFORMATEXTENSIBLE ext = kStereo48;
  std::vector<BYTE> none = DataFormat(104, 0, 64, &ext, 40);
  GUID mode{};
  EXPECT_EQ(ReadSignalProcessingMode(reinterpret_cast<const KSDATAFORMAT*>(none.data()), &mode), STATUS_SUCCESS);
  EXPECT_TRUE(IsEqualGUID(mode, AUDIO_SIGNALPROCESSINGMODE_RAW));
}

}  // namespace
