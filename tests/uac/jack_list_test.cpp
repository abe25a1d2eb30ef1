// The jack-list reader both class versions share, driven by a scripted device; the class
// versions' unit tables and subtype names.
#include <gtest/gtest.h>

#include <vector>

#include "kernel/pool.h"
#include "uac/uac1_function.h"
#include "uac/uac1_terminals.h"
#include "uac/uac2_units.h"

namespace {

using Bytes = std::vector<UCHAR>;

// What the scripted device answers: the first read (the count) and the second (the list).
struct Script {
  NTSTATUS countStatus = STATUS_SUCCESS;
  Bytes count;
  NTSTATUS listStatus = STATUS_SUCCESS;
  Bytes list;
  int reads = 0;
};
Script* g_script = nullptr;

NTSTATUS ScriptedRead(uac::CUacUnit&, PVOID buffer, ULONG length, PULONG got) {
  const bool first = g_script->reads++ == 0;
  const Bytes& answer = first ? g_script->count : g_script->list;
  const ULONG n = answer.size() < length ? static_cast<ULONG>(answer.size()) : length;
  for (ULONG i = 0; i < n; ++i) static_cast<PUCHAR>(buffer)[i] = answer[i];
  *got = n;
  return first ? g_script->countStatus : g_script->listStatus;
}

void Put32(Bytes& b, ULONG v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<UCHAR>(v >> (8 * i)));
}

// A list of `announced` entries of which the device sends `sent` (mapping i+1, word w_i).
Bytes JackList(UCHAR announced, ULONG sent) {
  Bytes b{announced};
  for (ULONG i = 0; i < sent; ++i) {
    Put32(b, i + 1);
    Put32(b, 0x01014030u + (i << 12));
  }
  return b;
}

class JackListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(uac::CreateUac1Unit(uac::AC_INPUT_TERMINAL, 1, &unit_), STATUS_SUCCESS);
  }
  void TearDown() override { static_cast<adapter::IUacEntity*>(unit_)->Release(); }
  uac::CUacUnit* unit_ = nullptr;
};

TEST_F(JackListTest, KeepsOnlyTheEntriesSentAndAnnouncedInEitherForm) {
  struct Case {
    const char* what;
    Script script;
    bool countRequired;
    NTSTATUS status;
    ULONG records;
  };
  const Case cases[] = {
      {"whole list", {STATUS_SUCCESS, {3}, STATUS_SUCCESS, JackList(3, 3)}, false, STATUS_SUCCESS, 3},
      {"short list", {STATUS_SUCCESS, {3}, STATUS_SUCCESS, JackList(3, 2)}, true, STATUS_SUCCESS, 2},
      {"partial entry dropped", {STATUS_SUCCESS, {2}, STATUS_SUCCESS, [] {
         Bytes b = JackList(2, 1);
         b.resize(b.size() + 7, 0);
         return b;
       }()}, false, STATUS_SUCCESS, 1},
      {"count only", {STATUS_SUCCESS, {2}, STATUS_SUCCESS, {2}}, false, STATUS_SUCCESS, 0},
      {"no entries announced", {STATUS_SUCCESS, {0}, STATUS_SUCCESS, {}}, true, STATUS_SUCCESS, 0},
      {"empty count answer", {STATUS_SUCCESS, {}, STATUS_SUCCESS, {}}, true, STATUS_SUCCESS, 0},
      {"count read fails, optional", {STATUS_UNSUCCESSFUL, {}, STATUS_SUCCESS, {}}, false, STATUS_SUCCESS, 0},
      {"count read fails, required", {STATUS_UNSUCCESSFUL, {}, STATUS_SUCCESS, {}}, true, STATUS_UNSUCCESSFUL, 0},
      {"list read fails", {STATUS_SUCCESS, {2}, STATUS_DEVICE_NOT_CONNECTED, JackList(2, 2)}, false,
       STATUS_DEVICE_NOT_CONNECTED, 0},
  };
  for (const Case& c : cases) {
    for (bool fromConnector : {false, true}) {
      SCOPED_TRACE(c.what);
      Script script = c.script;
      g_script = &script;
      platform::pool::LeakScope leaks;
      const ULONG tag = fromConnector ? uac::kUac2PoolTag : uac::kUac1PoolTag;
      const uac::JackListForm form{&ScriptedRead, tag, c.countRequired, fromConnector};
      adapter::PJACKRECORD jacks = reinterpret_cast<adapter::PJACKRECORD>(1);
      ULONG count = 99;
      EXPECT_EQ(uac::ReadJackRecords(*unit_, form, &jacks, &count), c.status);
      ASSERT_EQ(count, c.records);
      ASSERT_EQ(jacks == nullptr, c.records == 0);
      for (ULONG i = 0; i < count; ++i) {
        const adapter::JackRecord expected = uac::JackRecordFromWord(i + 1, 0x01014030u + (i << 12));
        EXPECT_EQ(jacks[i].ChannelMapping, i + 1);
        EXPECT_EQ(jacks[i].Color, expected.Color);
        EXPECT_EQ(jacks[i].ConnectionType, expected.ConnectionType);
        EXPECT_EQ(jacks[i].PresenceDetect, fromConnector ? 0u : expected.PresenceDetect);
      }
      EXPECT_EQ(platform::pool::LiveBlocksWithTag(tag, leaks.mark()).size(), jacks ? 1u : 0u);
      if (jacks) ExFreePoolWithTag(jacks, tag);
      EXPECT_TRUE(leaks.Check());
      g_script = nullptr;
    }
  }
}

TEST_F(JackListTest, NoMemoryForTheListIsTheResultAndLeavesNothing) {
  for (std::uint64_t nth : {1u, 2u}) {
    SCOPED_TRACE(nth);
    Script script{STATUS_SUCCESS, {2}, STATUS_SUCCESS, JackList(2, 2)};
    g_script = &script;
    platform::pool::LeakScope leaks;
    platform::pool::ScopedFaultInjection faults;
    platform::pool::FailNthAllocation(nth, uac::kUac2PoolTag);
    const uac::JackListForm form{&ScriptedRead, uac::kUac2PoolTag, true, true};
    adapter::PJACKRECORD jacks = nullptr;
    ULONG count = 0;
    EXPECT_EQ(uac::ReadJackRecords(*unit_, form, &jacks, &count), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(jacks, nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(leaks.Check());
    g_script = nullptr;
  }
}

// Each class version creates exactly the subtypes it builds; others are refused unmade.
TEST(UnitTables, EachVersionCreatesItsOwnSubtypesOnly) {
  struct Case {
    UCHAR subtype;
    bool uac1;
    bool uac2;
  };
  const Case cases[] = {{1, false, false}, {2, true, true},   {3, true, true},   {4, true, true},
                        {5, true, true},   {6, true, true},   {7, false, false}, {8, false, false},
                        {9, false, true},  {10, false, true}, {11, false, false}, {12, false, false},
                        {13, false, false}, {0xFF, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.subtype));
    for (bool second : {false, true}) {
      uac::CUacUnit* unit = reinterpret_cast<uac::CUacUnit*>(1);
      const NTSTATUS status = second ? uac::CreateUac2Unit(c.subtype, 4, &unit) : uac::CreateUac1Unit(c.subtype, 4, &unit);
      const bool built = second ? c.uac2 : c.uac1;
      EXPECT_EQ(status, built ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
      ASSERT_EQ(unit != nullptr, built);
      if (!unit) continue;
      EXPECT_EQ(unit->GetSubtype(), c.subtype);
      EXPECT_EQ(static_cast<adapter::IUacEntity*>(unit)->GetId(), 4u);
      static_cast<adapter::IUacEntity*>(unit)->Release();
    }
  }
  EXPECT_EQ(uac::CreateUac1Unit(2, 1, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(uac::CreateUac2Unit(2, 1, nullptr), STATUS_INVALID_PARAMETER);
}

TEST(UnitTables, SubtypesFromSevenOnAreNamedByClassVersion) {
  struct Case {
    UCHAR subtype;
    const char* uac1;
    const char* uac2;
  };
  const Case cases[] = {
      {2, "input terminal", "input terminal"},   {3, "output terminal", "output terminal"},
      {4, "mixer unit", "mixer unit"},           {5, "selector unit", "selector unit"},
      {6, "feature unit", "feature unit"},       {7, "processing unit", "effect unit"},
      {8, "extension unit", "processing unit"},  {9, "unit", "extension unit"},
      {10, "unit", "clock source"},              {11, "unit", "clock selector"},
      {12, "unit", "clock multiplier"},          {13, "unit", "sample-rate converter"},
      {1, "unit", "unit"},                       {14, "unit", "unit"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(uac::UnitSubtypeWords(uac::kProtocolUac1, c.subtype), c.uac1) << static_cast<int>(c.subtype);
    EXPECT_STREQ(uac::UnitSubtypeWords(uac::kProtocolUac2, c.subtype), c.uac2) << static_cast<int>(c.subtype);
  }
}

}  // namespace
