// The host controller keeps the rules of a real bus where a driver can tell: isochronous
// OUT packets sized by their offsets, malformed URBs and inexact lengths refused with the
// real status, MDL
// buffers, no stranded transfers, per-packet results after abort, and the error frames of
// a surprise removal.
#include <gtest/gtest.h>

#include <functional>

#include "bus_harness.h"
#include "kernel/mm.h"

namespace sim::device {
namespace {

using namespace test;

// Headset A at full speed: OUT 0x01 (44.1 kHz stereo, 4-byte frames, 200-byte packets)
// and IN 0x81 (200-byte packets).
class BusRules : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.device);
    ASSERT_TRUE(bus.Configure());
    out = Bus::PipeOf(bus.Select(1, 1), 0x01);
    in = Bus::PipeOf(bus.Select(2, 1), 0x81);
    ASSERT_NE(out, nullptr);
    ASSERT_NE(in, nullptr);
  }
  // Submits and runs the bus until the URB completes; the completion status.
  NTSTATUS Run(IsoUrb& u, std::uint64_t frames = 40) {
    Done d;
    const NTSTATUS s = bus.Submit(u.urb(), d);
    if (s != STATUS_PENDING) return s;
    bus.RunFrames(frames);
    EXPECT_EQ(d.count, 1);
    return d.status;
  }
  Bus bus{"uac1-headset-A.txt"};
  USBD_PIPE_HANDLE out = nullptr, in = nullptr;
};

TEST_F(BusRules, OutPacketsAreSizedByTheirOffsetsNotTheirLength) {
  struct Case {
    ULONG stride, length;
  } cases[] = {{192, 0}, {200, 176}, {176, 200}};
  std::uint64_t frames = 0;
  for (auto c : cases) {
    IsoUrb u(out, 10, c.stride, false, false, bus.hc->CurrentFrame() + 2);
    for (ULONG i = 0; i < 10; ++i) u.iso().IsoPacket[i].Length = c.length;
    ASSERT_EQ(Run(u), STATUS_SUCCESS) << c.stride;
    frames += 10 * c.stride / 4;
    EXPECT_EQ(bus.device->render_stats(0x01).received_frames, frames) << c.stride;
    for (ULONG i = 0; i < 10; ++i) EXPECT_EQ(u.iso().IsoPacket[i].Length, c.length) << "OUT Length is left alone";
  }
  // Unequal strides: each packet carries up to the next offset, the last up to the end.
  IsoUrb u(out, 3, 200, false, false, bus.hc->CurrentFrame() + 2);
  u.iso().IsoPacket[1].Offset = 8;
  u.iso().IsoPacket[2].Offset = 8;  // an empty packet
  u.iso().TransferBufferLength = 208;
  const auto before = bus.device->render_stats(0x01).received_frames;
  ASSERT_EQ(Run(u), STATUS_SUCCESS);
  EXPECT_EQ(bus.device->render_stats(0x01).received_frames - before, 2u + 0u + 50u);
}

// One malformed isochronous URB per row: refused at once with the status a real bus
// gives, no completion call.
TEST_F(BusRules, MalformedIsochronousUrbsAreRefused) {
  struct Row {
    const char* what;
    bool capture;
    ULONG packets, stride;
    std::function<void(IsoUrb&)> spoil;
    NTSTATUS status;
    USBD_STATUS usbd;
  };
  PMDL short_mdl = nullptr;
  std::vector<std::uint8_t> small(100);
  const Row rows[] = {
      {"no packets", false, 10, 176, [](IsoUrb& u) { u.iso().NumberOfPackets = 0; }, STATUS_INVALID_PARAMETER,
       USBD_STATUS_INVALID_PARAMETER},
      {"256 packets at full speed", false, 256, 176, [](IsoUrb&) {}, STATUS_INVALID_PARAMETER,
       USBD_STATUS_INVALID_PARAMETER},
      {"URB shorter than its packet array", false, 10, 176,
       [](IsoUrb& u) { u.iso().Hdr.Length = static_cast<USHORT>(IsoUrbMinimumLength(10) - 1); }, STATUS_INVALID_PARAMETER,
       USBD_STATUS_INVALID_PARAMETER},
      {"length one byte short of 152 + 12 per packet", false, 10, 176,
       [](IsoUrb& u) { u.iso().Hdr.Length = 152 + 12 * 10 - 1; }, STATUS_INVALID_PARAMETER,
       USBD_STATUS_INVALID_PARAMETER},
      {"length one byte beyond 152 + 12 per packet", false, 10, 176,
       [](IsoUrb& u) { u.iso().Hdr.Length = 152 + 12 * 10 + 1; }, STATUS_INVALID_PARAMETER,
       USBD_STATUS_INVALID_PARAMETER},
      {"offsets going backwards", false, 10, 176, [](IsoUrb& u) { u.iso().IsoPacket[4].Offset = 100; },
       STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
      {"offset past the buffer", false, 10, 176,
       [](IsoUrb& u) { u.iso().IsoPacket[9].Offset = u.iso().TransferBufferLength + 1; }, STATUS_INVALID_PARAMETER,
       USBD_STATUS_INVALID_PARAMETER},
      {"OUT packet above the endpoint's maximum", false, 10, 176,
       [](IsoUrb& u) {
         u.iso().IsoPacket[9].Offset = 9 * 176;
         u.iso().IsoPacket[8].Offset = 9 * 176 - 201;
       },
       STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
      {"last OUT packet above the maximum", false, 10, 176,
       [](IsoUrb& u) { u.iso().TransferBufferLength = 9 * 176 + 201; }, STATUS_INVALID_PARAMETER,
       USBD_STATUS_INVALID_PARAMETER},
      {"IN flag on an OUT pipe", false, 10, 176,
       [](IsoUrb& u) { u.iso().TransferFlags |= USBD_TRANSFER_DIRECTION_IN; }, STATUS_INVALID_PARAMETER,
       USBD_STATUS_INVALID_PARAMETER},
      {"OUT flag on an IN pipe", true, 10, 200,
       [](IsoUrb& u) { u.iso().TransferFlags &= ~USBD_TRANSFER_DIRECTION_IN; }, STATUS_INVALID_PARAMETER,
       USBD_STATUS_INVALID_PARAMETER},
      {"neither buffer nor MDL", false, 10, 176, [](IsoUrb& u) { u.iso().TransferBuffer = nullptr; },
       STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
      {"MDL shorter than the transfer", false, 10, 176,
       [&](IsoUrb& u) {
         u.iso().TransferBuffer = nullptr;
         u.iso().TransferBufferMDL = short_mdl;
       },
       STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
      {"empty buffer", false, 10, 176, [](IsoUrb& u) { u.iso().TransferBufferLength = 0; }, STATUS_INVALID_PARAMETER,
       USBD_STATUS_INVALID_PARAMETER},
      {"unknown pipe", false, 10, 176, [](IsoUrb& u) { u.iso().PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x99); },
       STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE},
      {"start frame in the past", false, 10, 176,
       [&](IsoUrb& u) {
         u.iso().TransferFlags &= ~USBD_START_ISO_TRANSFER_ASAP;
         u.iso().StartFrame = bus.hc->CurrentFrame();
       },
       STATUS_UNSUCCESSFUL, USBD_STATUS_BAD_START_FRAME},
  };
  short_mdl = IoAllocateMdl(small.data(), static_cast<ULONG>(small.size()), FALSE, FALSE, nullptr);
  for (const auto& row : rows) {
    IsoUrb u(row.capture ? in : out, row.packets, row.stride, row.capture, true);
    row.spoil(u);
    Done d;
    EXPECT_EQ(bus.Submit(u.urb(), d), row.status) << row.what;
    EXPECT_EQ(u.iso().Hdr.Status, row.usbd) << row.what;
    bus.RunFrames(2);
    EXPECT_EQ(d.count, 0) << row.what;
  }
  IoFreeMdl(short_mdl);
  // The largest full-speed count is accepted.
  IsoUrb most(out, 255, 176, false, true);
  EXPECT_EQ(Run(most, 300), STATUS_SUCCESS);
}

TEST(BusRulesHighSpeed, PacketCountsFollowTheEndpointAndTheLimit) {
  DeviceProfile p;
  p.high_speed = true;
  p.clock_rates[41] = {48000};
  Bus bus("uac2-dac-A.txt", p);
  ASSERT_TRUE(bus.Configure());
  auto pipes = bus.Select(1, 1);
  USBD_PIPE_HANDLE out = Bus::PipeOf(pipes, 0x01), fb = Bus::PipeOf(pipes, 0x81);
  struct Row {
    USBD_PIPE_HANDLE pipe;
    ULONG packets;
    bool accepted;
  } rows[] = {
      {out, 8, true},  {out, 1024, true}, {out, 12, false}, {out, 1032, false},  // bInterval 1: 8 a frame
      {fb, 1, true},   {fb, 3, true},     {fb, 1025, false},                      // bInterval 4: 1 a frame
  };
  for (auto r : rows) {
    const bool capture = r.pipe == fb;
    IsoUrb u(r.pipe, r.packets, capture ? 4 : 48, capture, true);
    Done d;
    const NTSTATUS s = bus.Submit(u.urb(), d);
    EXPECT_EQ(s == STATUS_PENDING, r.accepted) << r.packets;
    if (!r.accepted) {
      EXPECT_EQ(u.iso().Hdr.Status, USBD_STATUS_INVALID_PARAMETER) << r.packets;
    }
    bus.RunFrames(140);
    EXPECT_EQ(d.count, r.accepted ? 1 : 0) << r.packets;
  }
}

TEST_F(BusRules, MdlBuffersServeEveryTransferKind) {
  // Isochronous OUT with only an MDL.
  IsoUrb u(out, 10, 176, false, true);
  PMDL mdl = IoAllocateMdl(u.buffer.data(), static_cast<ULONG>(u.buffer.size()), FALSE, FALSE, nullptr);
  for (std::size_t k = 0; k < u.buffer.size(); ++k) u.buffer[k] = static_cast<std::uint8_t>(k);
  u.iso().TransferBuffer = nullptr;
  u.iso().TransferBufferMDL = mdl;
  ASSERT_EQ(Run(u), STATUS_SUCCESS);
  auto samples = bus.device->received_samples(0x01);
  ASSERT_EQ(samples.size(), 880u);
  EXPECT_EQ(samples[1], static_cast<std::int16_t>(0x0302));
  IoFreeMdl(mdl);

  // Isochronous IN with both: the data lands in the MDL's buffer.
  IsoUrb c(in, 10, 200, true, true);
  std::vector<std::uint8_t> other(c.buffer.size(), 0xEE);
  mdl = IoAllocateMdl(other.data(), static_cast<ULONG>(other.size()), FALSE, FALSE, nullptr);
  c.iso().TransferBufferMDL = mdl;
  bus.device->SetSignal({SignalKind::Ramp, {}, 0.0});
  ASSERT_EQ(Run(c), STATUS_SUCCESS);
  EXPECT_GT(c.iso().TransferBufferLength, 0u);
  EXPECT_TRUE(std::all_of(c.buffer.begin(), c.buffer.end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_FALSE(std::all_of(other.begin(), other.begin() + 176, [](std::uint8_t b) { return b == 0xEE; }));
  IoFreeMdl(mdl);

  // A control transfer with only an MDL.
  std::vector<std::uint8_t> desc(18, 0);
  mdl = IoAllocateMdl(desc.data(), 18, FALSE, FALSE, nullptr);
  URB urb{};
  auto& d = urb.UrbControlDescriptorRequest;
  d.Hdr.Length = sizeof(d);
  d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  d.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
  d.TransferBufferMDL = mdl;
  d.TransferBufferLength = 18;
  ASSERT_EQ(bus.SubmitSync(&urb), STATUS_SUCCESS);
  EXPECT_EQ(desc[0], 18);
  EXPECT_EQ(desc[1], 1);
  IoFreeMdl(mdl);
}

// Pipe requests are 40 bytes and a selection is 32 bytes of header and an interface block
// sized for the endpoints the interface descriptor declares (24 + 24 per endpoint): any other length is refused
// with USBD_STATUS_INVALID_PARAMETER, the exact one is taken.
TEST_F(BusRules, PipeRequestAndSelectionLengthsAreExact) {
  for (USHORT function : {URB_FUNCTION_ABORT_PIPE, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                          URB_FUNCTION_SYNC_RESET_PIPE, URB_FUNCTION_SYNC_CLEAR_STALL}) {
    for (USHORT length : {39, 41, 40}) {
      SCOPED_TRACE(testing::Message() << "function " << function << ", " << length << " bytes");
      std::vector<std::uint8_t> mem(64, 0);
      auto* r = reinterpret_cast<_URB_PIPE_REQUEST*>(mem.data());
      r->Hdr.Length = length;
      r->Hdr.Function = function;
      r->PipeHandle = out;
      const NTSTATUS s = bus.SubmitSync(reinterpret_cast<PURB>(r));
      EXPECT_EQ(s, length == 40 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
      EXPECT_EQ(r->Hdr.Status, length == 40 ? USBD_STATUS_SUCCESS : USBD_STATUS_INVALID_PARAMETER);
    }
  }
  struct Row {
    const char* what;
    UCHAR number, alt;
    USHORT length, interfaceLength;
    NTSTATUS status;
  };
  // Setting 0 of each interface declares no endpoint, interface 2's setting 1 one and
  // interface 1's setting 1 two.
  const Row rows[] = {
      {"no endpoint in 56 bytes", 2, 0, 56, 24, STATUS_SUCCESS},
      {"one endpoint in 80 bytes", 2, 1, 80, 48, STATUS_SUCCESS},
      {"two endpoints in 104 bytes", 1, 1, 104, 72, STATUS_SUCCESS},
      {"one endpoint with a pipe more", 2, 1, 104, 72, STATUS_INVALID_PARAMETER},
      {"no endpoint with a pipe", 2, 0, 80, 48, STATUS_INVALID_PARAMETER},
      {"header one byte long", 2, 1, 81, 48, STATUS_INVALID_PARAMETER},
      {"interface block one byte short of the header", 2, 1, 80, 47, STATUS_INVALID_PARAMETER},
  };
  for (const Row& row : rows) {
    std::vector<std::uint8_t> mem(sizeof(URB) + 128, 0);
    auto* urb = reinterpret_cast<PURB>(mem.data());
    urb->UrbHeader.Length = row.length;
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbSelectInterface.ConfigurationHandle = bus.config_handle;
    urb->UrbSelectInterface.Interface.Length = row.interfaceLength;
    urb->UrbSelectInterface.Interface.InterfaceNumber = row.number;
    urb->UrbSelectInterface.Interface.AlternateSetting = row.alt;
    EXPECT_EQ(bus.SubmitSync(urb), row.status) << row.what;
    if (row.status != STATUS_SUCCESS) {
      EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER) << row.what;
    }
  }
}

TEST_F(BusRules, ResetPipeWithTransfersQueuedStrandsNothing) {
  std::vector<std::unique_ptr<IsoUrb>> urbs;
  std::vector<Done> done(4);
  for (int i = 0; i < 2; ++i) {
    urbs.push_back(std::make_unique<IsoUrb>(out, 10, 176, false, true));
    ASSERT_EQ(bus.Submit(urbs.back()->urb(), done[i]), STATUS_PENDING);
  }
  bus.RunFrames(3);
  _URB_PIPE_REQUEST reset{};
  reset.Hdr.Length = sizeof(reset);
  reset.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  reset.PipeHandle = out;
  EXPECT_EQ(bus.SubmitSync(reinterpret_cast<PURB>(&reset)), STATUS_SUCCESS);
  for (int i = 2; i < 4; ++i) {
    urbs.push_back(std::make_unique<IsoUrb>(out, 10, 176, false, true));
    ASSERT_EQ(bus.Submit(urbs.back()->urb(), done[i]), STATUS_PENDING);
  }
  // The transfer after the reset starts after the ones still queued.
  EXPECT_EQ(urbs[2]->iso().StartFrame, urbs[1]->iso().StartFrame + 10);
  bus.RunFrames(60);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(done[i].count, 1) << i;
    EXPECT_EQ(done[i].status, STATUS_SUCCESS) << i;
  }
  EXPECT_EQ(bus.device->render_stats(0x01).packets, 40u);
}

TEST_F(BusRules, AbortLeavesEveryPacketResultFresh) {
  IsoUrb c(in, 10, 200, true, true);
  // Whatever the driver left in the packets from the last round.
  for (ULONG i = 0; i < 10; ++i) {
    c.iso().IsoPacket[i].Length = 123;
    c.iso().IsoPacket[i].Status = 0x12345678;
  }
  Done d;
  ASSERT_EQ(bus.Submit(c.urb(), d), STATUS_PENDING);
  const ULONG start = c.iso().StartFrame;
  while (bus.hc->CurrentFrame() != start + 4) bus.RunFrames(1);
  _URB_PIPE_REQUEST abort{};
  abort.Hdr.Length = sizeof(abort);
  abort.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
  abort.PipeHandle = in;
  Done da;
  ASSERT_EQ(bus.Submit(reinterpret_cast<PURB>(&abort), da), STATUS_PENDING) << "an abort waits for its victims";
  EXPECT_EQ(d.count, 0);
  bus.Deliver();
  ASSERT_EQ(d.count, 1);
  ASSERT_EQ(da.count, 1);
  EXPECT_EQ(d.status, STATUS_CANCELLED);
  EXPECT_EQ(da.status, STATUS_SUCCESS);
  EXPECT_EQ(c.iso().Hdr.Status, USBD_STATUS_CANCELED);
  ULONG total = 0;
  for (ULONG i = 0; i < 10; ++i) {
    const auto& p = c.iso().IsoPacket[i];
    if (i < 5) {  // frames start .. start + 4 have run
      EXPECT_EQ(p.Status, USBD_STATUS_SUCCESS) << i;
      EXPECT_LE(p.Length, 200u) << i;
    } else {
      EXPECT_EQ(p.Status, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW) << i;
      EXPECT_EQ(p.Length, 0u) << i;
    }
    total += p.Length;
  }
  EXPECT_EQ(c.iso().ErrorCount, 5u);
  EXPECT_EQ(c.iso().TransferBufferLength, total);
}

TEST_F(BusRules, DeviceChosenPacketErrorsReachThePackets) {
  bus.device->FailIsoPackets(0x01, 2, 1, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW);
  bus.device->FailIsoPackets(0x01, 5, 2, USBD_STATUS_XACT_ERROR);
  IsoUrb u(out, 10, 176, false, true);
  ASSERT_EQ(Run(u), STATUS_SUCCESS);
  EXPECT_EQ(u.iso().IsoPacket[2].Status, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW);
  EXPECT_EQ(u.iso().IsoPacket[5].Status, USBD_STATUS_XACT_ERROR);
  EXPECT_EQ(u.iso().IsoPacket[6].Status, USBD_STATUS_XACT_ERROR);
  EXPECT_EQ(u.iso().ErrorCount, 3u);
  EXPECT_EQ(bus.device->render_stats(0x01).packets, 7u);
}

TEST_F(BusRules, SurpriseRemovalShowsErrorFramesBeforeTheDeviceIsGone) {
  IsoUrb u(out, 20, 176, false, true);
  Done d;
  ASSERT_EQ(bus.Submit(u.urb(), d), STATUS_PENDING);
  const ULONG start = u.iso().StartFrame;
  while (bus.hc->CurrentFrame() != start + 5) bus.RunFrames(1);
  bus.hc->RemoveDevice();
  ULONG port = 0;
  EXPECT_EQ(bus.hc->GetPortStatus(&port), STATUS_SUCCESS);
  EXPECT_EQ(port, USBD_PORT_CONNECTED | USBD_PORT_ENABLED) << "the hub has not noticed yet";
  // A control transfer during the error frames finds nobody answering.
  ClassRequest get(URB_FUNCTION_CLASS_INTERFACE, true, uac::GET_CUR, 0x0100, 0x0500, {0});
  Done dg;
  ASSERT_EQ(bus.Submit(&get.urb, dg), STATUS_PENDING);
  bus.RunFrames(1);
  EXPECT_EQ(dg.count, 1);
  EXPECT_EQ(get.urb.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
  bus.RunFrames(3);
  ASSERT_EQ(d.count, 1);
  EXPECT_EQ(d.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(u.iso().Hdr.Status, USBD_STATUS_DEVICE_GONE);
  for (ULONG i = 0; i < 20; ++i) {
    // Frames up to start + 5 had run; three frames of errors follow.
    const USBD_STATUS want = i < 6 ? USBD_STATUS_SUCCESS : i < 9 ? USBD_STATUS_XACT_ERROR : USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
    EXPECT_EQ(u.iso().IsoPacket[i].Status, want) << i;
  }
  EXPECT_EQ(u.iso().ErrorCount, 14u);
  EXPECT_EQ(bus.hc->GetPortStatus(&port), STATUS_SUCCESS);
  EXPECT_EQ(port, 0u);
  EXPECT_EQ(bus.device->render_stats(0x01).packets, 6u);
}

TEST(BusRulesRemoval, ErrorFramesAreAnOption) {
  for (std::uint32_t frames : {0u, 1u, 6u}) {
    HostController::Options o;
    o.removal_error_frames = frames;
    Bus bus("uac1-headset-A.txt", {}, o);
    ASSERT_TRUE(bus.Configure());
    IsoUrb u(Bus::PipeOf(bus.Select(1, 1), 0x01), 20, 176, false, true);
    Done d;
    ASSERT_EQ(bus.Submit(u.urb(), d), STATUS_PENDING);
    const ULONG start = u.iso().StartFrame;
    while (bus.hc->CurrentFrame() != start + 2) bus.RunFrames(1);
    bus.hc->RemoveDevice();
    bus.RunFrames(10);
    ASSERT_EQ(d.count, 1);
    ULONG errors = 0;
    for (ULONG i = 0; i < 20; ++i) errors += u.iso().IsoPacket[i].Status == USBD_STATUS_XACT_ERROR;
    EXPECT_EQ(errors, frames);
  }
}

}  // namespace
}  // namespace sim::device
