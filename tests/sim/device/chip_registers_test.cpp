// The chip-register model on the simulated device's request hook: HID reports on its
// interface write and read registers; malformed reports stall; requests to other
// interfaces go on to the audio function as before.
#include <gtest/gtest.h>

#include "sim/device/chip_registers.h"
#include "test_support.h"

namespace sim::device {
namespace {

using namespace test;

constexpr std::uint8_t kClassIf = 0x21;
constexpr std::uint8_t kSetReport = 0x09;
constexpr std::uint8_t kGetReport = 0x01;

TEST(ChipRegisters, ReportsWriteAndReadBackRegisters) {
  auto d = Load("uac1-headset-A.txt");
  ASSERT_TRUE(d);
  ChipRegisters chip(3, {1, 2, 3, 4, 5, 6});
  chip.Install(*d);
  EXPECT_EQ(Get(*d, kClassIf, kGetReport, 0x0100, 3, 3).data, (std::vector<std::uint8_t>{0x20, 1, 0}));
  ASSERT_EQ(Set(*d, kClassIf, kSetReport, 0x0200, 3, {0x20, 0x34, 0x12, 4}).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(chip.value(4), 0x1234);
  EXPECT_EQ(Get(*d, kClassIf, kGetReport, 0x0100, 3, 8).data, (std::vector<std::uint8_t>{0x20, 0x34, 0x12}));
  ASSERT_EQ(chip.writes().size(), 1u);
  EXPECT_EQ(chip.writes()[0].reg, 4);
  EXPECT_EQ(chip.writes()[0].value, 0x1234);

  struct Bad {
    const char* what;
    std::vector<std::uint8_t> report;
  };
  const Bad bad[] = {
      {"register 6", {0x20, 0, 0, 6}},
      {"other report ID", {0x21, 0, 0, 1}},
      {"three bytes", {0x20, 0, 0}},
      {"five bytes", {0x20, 0, 0, 1, 0}},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.what);
    EXPECT_TRUE(Set(*d, kClassIf, kSetReport, 0x0200, 3, b.report).stalled());
  }
  EXPECT_TRUE(Get(*d, kClassIf, kGetReport, 0x0100, 3, 2).stalled());
  EXPECT_TRUE(Set(*d, kClassIf, 0x0A, 0, 3, {}).stalled());  // SET_IDLE: not modelled
  EXPECT_EQ(chip.writes().size(), 1u);
  // The audio function's requests on interface 0 are answered as before.
  EXPECT_EQ(Get(*d, kClassIf, uac::GET_CUR, 0x0100, 0x0500, 1).data, (std::vector<std::uint8_t>{0}));
}

// The jack bit in the input report's first byte: queued reports one per read, then the
// schedule's step that has begun; a step can answer with no bytes or stall. Every read is
// logged with its time.
TEST(ChipRegisters, ScriptedJackReports) {
  auto d = Load("uac1-headset-A.txt");
  ASSERT_TRUE(d);
  ChipRegisters chip(3, {0x0102, 0, 0, 0, 0, 0});
  chip.Install(*d);
  using R = ChipRegisters::JackReport;
  chip.QueueJackReports({R::Byte(ChipRegisters::kJackSet), R::Empty(), R::Stall(), R::Byte(0x05)});
  chip.SetJackSchedule({{0, R::Byte(ChipRegisters::kJackClear)}, {1LL << 60, R::Stall()}});
  const auto report = [&] { return Get(*d, kClassIf, kGetReport, 0x0100, 3, 3); };
  EXPECT_EQ(report().data, (std::vector<std::uint8_t>{0x30, 2, 1}));
  const auto empty = report();
  EXPECT_FALSE(empty.stalled());
  EXPECT_TRUE(empty.data.empty());
  EXPECT_TRUE(report().stalled());
  EXPECT_EQ(report().data, (std::vector<std::uint8_t>{0x05, 2, 1}));
  // The queue is used up: the schedule's first step has begun, its second has not.
  EXPECT_EQ(report().data, (std::vector<std::uint8_t>{0x20, 2, 1}));
  EXPECT_EQ(report().data, (std::vector<std::uint8_t>{0x20, 2, 1}));
  EXPECT_EQ(chip.jack_reads().size(), 6u);
}

}  // namespace
}  // namespace sim::device
