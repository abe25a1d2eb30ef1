#include "kernel/rtl.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "kernel/dbg.h"
#include "kernel/pool.h"

namespace {


TEST(RtlPrintf, FormatsTheDriverUses) {
  char buffer[128];
  EXPECT_EQ(RtlStringCbPrintfA(buffer, sizeof buffer, "%s%02d", "SPK", 3), STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "SPK03");
  RtlStringCbPrintfA(buffer, sizeof buffer, "%sOut%02d", "HP", 12);
  EXPECT_STREQ(buffer, "HPOut12");
  RtlStringCbPrintfA(buffer, sizeof buffer, "%sIn%02d", "Mic", 0);
  EXPECT_STREQ(buffer, "MicIn00");
  RtlStringCbPrintfA(buffer, sizeof buffer, "%s%02d_%2d_", "Unit", 5, 1);
  EXPECT_STREQ(buffer, "Unit05_ 1_");
  RtlStringCbPrintfA(buffer, sizeof buffer, "Transfer Error ntStatus = %x, URB Status = %X\n", 0xC0000001u,
                     0x80000300u);
  EXPECT_STREQ(buffer, "Transfer Error ntStatus = c0000001, URB Status = 80000300\n");
  RtlStringCbPrintfA(buffer, sizeof buffer, "%08x|%u|%lu|%ld|%d", 0xABu, 4000000000u, 4000000000u, -5, -2147483647 - 1);
  EXPECT_STREQ(buffer, "000000ab|4000000000|4000000000|-5|-2147483648");
  RtlStringCbPrintfA(buffer, sizeof buffer, "%I64x|%llx|%I64d", 0x123456789ABCDEFull, 0xFFFFFFFFFFFFFFFFull,
                     -1234567890123ll);
  EXPECT_STREQ(buffer, "123456789abcdef|ffffffffffffffff|-1234567890123");
  RtlStringCbPrintfA(buffer, sizeof buffer, "\\Callback\\AudioHalAddr%p", reinterpret_cast<void*>(0x7f12AB00ull));
  EXPECT_STREQ(buffer, "\\Callback\\AudioHalAddr000000007F12AB00");
  RtlStringCbPrintfA(buffer, sizeof buffer, "%ws_%02d ch|%S|%c|%C", u"Line", 2, u"wide", 'x', u'y');
  EXPECT_STREQ(buffer, "Line_02 ch|wide|x|y");
  UNICODE_STRING us;
  RtlInitUnicodeString(&us, u"Counted");
  ANSI_STRING as;
  RtlInitAnsiString(&as, "ansi");
  RtlStringCbPrintfA(buffer, sizeof buffer, "[%wZ][%Z][%s][%wZ]", &us, &as, static_cast<const char*>(nullptr),
                     static_cast<UNICODE_STRING*>(nullptr));
  EXPECT_STREQ(buffer, "[Counted][ansi][(null)][(null)]");
  RtlStringCbPrintfA(buffer, sizeof buffer, "100%% %-5s|%5.2s|%+d|% d|%#x|%#o", "ab", "xyz", 7, 7, 255u, 8u);
  EXPECT_STREQ(buffer, "100% ab   |   xy|+7| 7|0xff|010");
}

TEST(RtlPrintf, WideFormatsSwapTheStringKinds) {
  WCHAR buffer[64];
  EXPECT_EQ(RtlStringCbPrintfW(buffer, sizeof buffer, u"%s%02d|%S|%hs|%ws|%c", u"SPDIF", 7, "narrow", "h", u"w", u'z'),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(buffer), u"SPDIF07|narrow|h|w|z");
  EXPECT_EQ(RtlStringCchPrintfW(buffer, 64, u"\\Callback\\CyclicControlAddr%p", reinterpret_cast<void*>(0x10ull)),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(buffer), u"\\Callback\\CyclicControlAddr0000000000000010");
}

// The integer, character and string conversions agree with the C library wherever the
// two define the same thing (the C library reads 64-bit values with ll).
TEST(RtlPrintf, AgreesWithTheCLibraryOnStandardConversions) {
  std::mt19937 rng(12345);
  const char* flagsSet[] = {"", "-", "0", "+", " ", "#", "-+", "0#", "- #"};
  const char convs[] = {'d', 'i', 'u', 'x', 'X', 'o'};
  for (int iteration = 0; iteration < 4000; ++iteration) {
    std::string spec = "%";
    spec += flagsSet[rng() % 9];
    if (rng() % 2) spec += std::to_string(rng() % 25);
    if (rng() % 3 == 0) spec.append(".").append(std::to_string(rng() % 12));
    bool wide64 = rng() % 2;
    char conv = convs[rng() % 6];
    std::string ours = spec + (wide64 ? "I64" : "") + conv;
    std::string theirs = spec + (wide64 ? "ll" : "") + conv;
    char a[256], b[256];
    if (wide64) {
      long long v = static_cast<long long>((static_cast<unsigned long long>(rng()) << 32) | rng());
      if (rng() % 4 == 0) v = static_cast<long long>(rng() % 5) - 2;
      RtlStringCbPrintfA(a, sizeof a, ours.c_str(), v);
      std::snprintf(b, sizeof b, theirs.c_str(), v);
    } else {
      int v = static_cast<int>(rng());
      if (rng() % 4 == 0) v = static_cast<int>(rng() % 5) - 2;
      RtlStringCbPrintfA(a, sizeof a, ours.c_str(), v);
      std::snprintf(b, sizeof b, theirs.c_str(), v);
    }
    ASSERT_STREQ(a, b) << "format " << ours;
  }
  for (int iteration = 0; iteration < 500; ++iteration) {
    std::string spec = "%";
    spec += (rng() % 2) ? "-" : "";
    if (rng() % 2) spec += std::to_string(rng() % 12);
    if (rng() % 2) spec.append(".").append(std::to_string(rng() % 8));
    spec += (rng() % 2) ? "s" : "c";
    char a[64], b[64];
    if (spec.back() == 's') {
      RtlStringCbPrintfA(a, sizeof a, spec.c_str(), "abcdef");
      std::snprintf(b, sizeof b, spec.c_str(), "abcdef");
    } else {
      RtlStringCbPrintfA(a, sizeof a, spec.c_str(), 'Q');
      std::snprintf(b, sizeof b, spec.c_str(), 'Q');
    }
    ASSERT_STREQ(a, b) << "format " << spec;
  }
}

TEST(RtlStringSafe, TruncationIsTerminatedAndReported) {
  char small[6];
  EXPECT_EQ(RtlStringCbPrintfA(small, sizeof small, "%sOut%02d", "Speaker", 1), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(small, "Speak");
  EXPECT_EQ(RtlStringCchPrintfA(small, 1, "abc"), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(RtlStringCbCopyA(small, sizeof small, "abcdefgh"), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(small, "abcde");
  EXPECT_EQ(RtlStringCbCopyA(small, sizeof small, "abc"), STATUS_SUCCESS);
  EXPECT_EQ(RtlStringCbCatA(small, sizeof small, "de"), STATUS_SUCCESS);
  EXPECT_STREQ(small, "abcde");
  EXPECT_EQ(RtlStringCbCatA(small, sizeof small, "f"), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(small, "abcde");

  WCHAR wide[4];
  EXPECT_EQ(RtlStringCbCopyW(wide, sizeof wide, u"wxyz"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::u16string(wide), u"wxy");
  EXPECT_EQ(RtlStringCbCopyW(wide, sizeof wide, u"a"), STATUS_SUCCESS);
  EXPECT_EQ(RtlStringCbCatW(wide, sizeof wide, u"bcd"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::u16string(wide), u"abc");
}

TEST(RtlStringSafe, BadSizesAndPointersAreInvalidParameters) {
  char buffer[8] = "keep";
  EXPECT_EQ(RtlStringCbPrintfA(buffer, 0, "x"), STATUS_INVALID_PARAMETER);
  EXPECT_STREQ(buffer, "keep");
  EXPECT_EQ(RtlStringCbPrintfA(buffer, NTSTRSAFE_MAX_CCH + 1, "x"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCbPrintfA(nullptr, 8, "x"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCbCopyA(buffer, sizeof buffer, nullptr), STATUS_INVALID_PARAMETER);
  WCHAR w[2];
  EXPECT_EQ(RtlStringCbPrintfW(w, 1, u"x"), STATUS_INVALID_PARAMETER);  // less than one character

  char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(RtlStringCbCatA(unterminated, sizeof unterminated, "e"), STATUS_INVALID_PARAMETER);
  SIZE_T length = 99;
  EXPECT_EQ(RtlStringCbLengthA(unterminated, sizeof unterminated, &length), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(RtlStringCbLengthA("abc", 4, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(RtlStringCbLengthW(u"abc", 8, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(RtlStringCbLengthW(u"abc", 6, &length), STATUS_INVALID_PARAMETER);
}

TEST(RtlUnicode, InitCompareAndCopy) {
  UNICODE_STRING a, b;
  RtlInitUnicodeString(&a, u"QVASIOPrivateInterface");
  EXPECT_EQ(a.Length, 44);
  EXPECT_EQ(a.MaximumLength, 46);
  RtlInitUnicodeString(&b, u"qvasioprivateINTERFACE");
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
  EXPECT_LT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
  UNICODE_STRING prefix;
  RtlInitUnicodeString(&prefix, u"QVASIO");
  EXPECT_LT(RtlCompareUnicodeString(&prefix, &a, TRUE), 0);
  EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &b, TRUE));
  UNICODE_STRING empty;
  RtlInitUnicodeString(&empty, nullptr);
  EXPECT_EQ(empty.Length, 0);
  EXPECT_EQ(empty.Buffer, nullptr);

  WCHAR storage[8];
  UNICODE_STRING dest{0, sizeof storage, storage};
  RtlCopyUnicodeString(&dest, &a);  // truncated to the destination
  EXPECT_EQ(dest.Length, sizeof storage);
  EXPECT_EQ(std::u16string(storage, 8), u"QVASIOPr");
  RtlCopyUnicodeString(&dest, &prefix);
  EXPECT_EQ(std::u16string(storage), u"QVASIO");
}

TEST(RtlUnicode, UpcaseAndConversionsAllocateFromThePool) {
  platform::pool::LeakScope scope;
  UNICODE_STRING source, upper;
  RtlInitUnicodeString(&source, u"Model-x\u00e9");
  ASSERT_EQ(RtlUpcaseUnicodeString(&upper, &source, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(upper.Buffer, upper.Length / 2), u"MODEL-X\u00c9");
  ANSI_STRING ansi;
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &upper, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(std::string(ansi.Buffer, ansi.Length), "MODEL-X\xC9");
  UNICODE_STRING back;
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&back, &ansi, TRUE), STATUS_SUCCESS);
  EXPECT_TRUE(RtlEqualUnicodeString(&back, &upper, FALSE));
  EXPECT_FALSE(platform::pool::LiveBlocks(scope.mark()).empty());
  RtlFreeUnicodeString(&upper);
  RtlFreeAnsiString(&ansi);
  RtlFreeUnicodeString(&back);
  EXPECT_EQ(back.Buffer, nullptr);
  EXPECT_TRUE(scope.Check());

  char small[4];
  ANSI_STRING fixed{0, sizeof small, small};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&fixed, &source, FALSE), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(small, "Mod");
  WCHAR w[2];
  UNICODE_STRING tooSmall{0, sizeof w, w};
  EXPECT_EQ(RtlUpcaseUnicodeString(&tooSmall, &source, FALSE), STATUS_BUFFER_OVERFLOW);

  UNICODE_STRING wide;
  RtlInitUnicodeString(&wide, u"\u4e2d");
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&fixed, &wide, FALSE), STATUS_SUCCESS);
  EXPECT_STREQ(small, "?");
}

TEST(RtlUnicode, AllocationFailureIsReported) {
  platform::pool::ScopedFaultInjection faults;
  platform::pool::FailNthAllocation(1);
  UNICODE_STRING source, upper;
  RtlInitUnicodeString(&source, u"abc");
  EXPECT_EQ(RtlUpcaseUnicodeString(&upper, &source, TRUE), STATUS_NO_MEMORY);
}

TEST(RtlMemory, CompareCountsMatchingBytes) {
  const char a[] = "abcdef", b[] = "abcxef";
  EXPECT_EQ(RtlCompareMemory(a, b, 6), 3u);
  EXPECT_EQ(RtlCompareMemory(a, a, 6), 6u);
  EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

TEST(RtlVersion, IsConfigurable) {
  EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WINXP));
  EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_VISTA));
  ULONG saved = platform::rtl::NtDdiVersion();
  platform::rtl::SetNtDdiVersion(NTDDI_WS03);
  EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WINXP));
  EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_VISTA));
  RTL_OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  EXPECT_EQ(RtlGetVersion(&info), STATUS_SUCCESS);
  EXPECT_EQ(info.dwMajorVersion, 5u);
  EXPECT_EQ(info.dwMinorVersion, 2u);
  platform::rtl::SetNtDdiVersion(saved);
}

TEST(DbgPrint, MessagesAreCapturedForTests) {
  platform::debug::ClearMessages();
  DbgPrint("Remove Miniport Failed StreamEngine ulIdx = %d\n", 2);
  DbgPrint("%s Tag not PCM\n", "CDspInterleaveSrc::SetFormat");
  auto messages = platform::debug::Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], "Remove Miniport Failed StreamEngine ulIdx = 2\n");
  EXPECT_TRUE(platform::debug::Contains("CDspInterleaveSrc::SetFormat Tag not PCM"));
  EXPECT_EQ(platform::debug::CountContaining("Tag not"), 1u);
  platform::debug::ClearMessages();
  EXPECT_TRUE(platform::debug::Messages().empty());
}
}  // namespace
