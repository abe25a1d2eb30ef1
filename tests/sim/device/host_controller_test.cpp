// The host controller carrying URBs to simulated devices, on a hand-driven bus clock.
#include "usb/host_controller.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "kernel/pool.h"
#include "bus_harness.h"
#include "test_support.h"
#include "usb/usbdlib.h"

namespace sim::device {
namespace {

using platform::usb::BusMicroframe;
using platform::usb::HostController;
using namespace test;

// Headset A at full speed: OUT 0x01 (44.1 kHz stereo, 4-byte frames) on interface 1.
class FullSpeed : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.device);
    ASSERT_TRUE(bus.Configure());
    pipes = bus.Select(1, 1);
    out = Bus::PipeOf(pipes, 0x01);
    feedback = Bus::PipeOf(pipes, 0x83);
    ASSERT_NE(out, nullptr);
    capture_pipes = bus.Select(2, 1);
    in = Bus::PipeOf(capture_pipes, 0x81);
    ASSERT_NE(in, nullptr);
  }
  Bus bus{"uac1-headset-A.txt"};
  std::vector<USBD_PIPE_INFORMATION> pipes, capture_pipes;
  USBD_PIPE_HANDLE out = nullptr, feedback = nullptr, in = nullptr;
};

TEST_F(FullSpeed, ExplicitStartFrameCompletesWhenItsLastFrameEnds) {
  const ULONG start = bus.hc->CurrentFrame() + 5;
  IsoUrb u(out, 10, 176, false, false, start);
  Done d;
  ASSERT_EQ(bus.Submit(u.urb(), d), STATUS_PENDING);
  bus.RunFrames(14);
  EXPECT_EQ(d.count, 0);
  bus.RunFrames(1);
  ASSERT_EQ(d.count, 1);
  EXPECT_EQ(d.status, STATUS_SUCCESS);
  EXPECT_EQ(d.frame, start + 10);
  EXPECT_EQ(u.iso().StartFrame, start);
  EXPECT_EQ(u.iso().ErrorCount, 0u);
  for (ULONG i = 0; i < 10; ++i) EXPECT_EQ(u.iso().IsoPacket[i].Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(bus.device->render_stats(0x01).packets, 10u);
}

TEST_F(FullSpeed, AsapChainRunsBackToBack) {
  std::vector<std::unique_ptr<IsoUrb>> urbs;
  std::vector<Done> done(6);
  const ULONG now = bus.hc->CurrentFrame();
  for (int i = 0; i < 3; ++i) {
    urbs.push_back(std::make_unique<IsoUrb>(out, 10, 176, false, true));
    ASSERT_EQ(bus.Submit(urbs.back()->urb(), done[i]), STATUS_PENDING);
  }
  EXPECT_EQ(urbs[0]->iso().StartFrame, now + 2);
  EXPECT_EQ(urbs[1]->iso().StartFrame, now + 12);
  EXPECT_EQ(urbs[2]->iso().StartFrame, now + 22);
  // A completion that resubmits keeps the pipe busy without a gap.
  bus.RunFrames(12);
  ASSERT_EQ(done[0].count, 1);
  urbs.push_back(std::make_unique<IsoUrb>(out, 10, 176, false, true));
  ASSERT_EQ(bus.Submit(urbs.back()->urb(), done[3]), STATUS_PENDING);
  EXPECT_EQ(urbs[3]->iso().StartFrame, now + 32);
  bus.RunFrames(40);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(done[i].frame, now + 12 + 10 * i) << i;
  EXPECT_EQ(bus.device->render_stats(0x01).packets, 40u);
}

TEST_F(FullSpeed, StartFrameInThePastOrTooFarAheadFails) {
  bus.RunFrames(100);
  const ULONG now = bus.hc->CurrentFrame();
  for (ULONG start : {now, now - 1, now - 500, now + 1025}) {
    IsoUrb u(out, 10, 176, false, false, start);
    Done d;
    EXPECT_EQ(bus.Submit(u.urb(), d), STATUS_UNSUCCESSFUL) << start - now;
    EXPECT_EQ(u.iso().Hdr.Status, USBD_STATUS_BAD_START_FRAME);
    EXPECT_EQ(d.count, 0);  // refused at once, no completion call
  }
  IsoUrb ok(out, 10, 176, false, false, now + 1);
  Done d;
  EXPECT_EQ(bus.Submit(ok.urb(), d), STATUS_PENDING);
}

TEST_F(FullSpeed, AsapAfterAnUnderrunMarksLatePackets) {
  IsoUrb first(out, 5, 176, false, true);
  Done d1, d2;
  bus.Submit(first.urb(), d1);
  bus.RunFrames(10);  // the pipe ran dry three frames ago
  IsoUrb late(out, 10, 176, false, true);
  bus.Submit(late.urb(), d2);
  bus.RunFrames(20);
  ASSERT_EQ(d2.count, 1);
  EXPECT_EQ(d2.status, STATUS_SUCCESS);
  EXPECT_GT(late.iso().ErrorCount, 0u);
  EXPECT_EQ(late.iso().IsoPacket[0].Status, USBD_STATUS_ISO_NA_LATE_USBPORT);
  EXPECT_EQ(late.iso().IsoPacket[9].Status, USBD_STATUS_SUCCESS);
}

TEST_F(FullSpeed, CapturePacketsCarryTheirLengthAndStatus) {
  bus.device->SetSignal({SignalKind::Ramp, {}, 0.0});
  IsoUrb u(in, 10, 200, true, true);
  Done d;
  bus.device->ShortCapturePackets(0x81, 0, 1);
  bus.Submit(u.urb(), d);
  bus.RunFrames(13);
  ASSERT_EQ(d.count, 1);
  EXPECT_EQ(u.iso().IsoPacket[0].Length, 0u);  // the empty packet
  EXPECT_EQ(u.iso().IsoPacket[0].Status, USBD_STATUS_SUCCESS);
  ULONG total = 0;
  for (ULONG i = 1; i < 10; ++i) {
    EXPECT_TRUE(u.iso().IsoPacket[i].Length == 176u || u.iso().IsoPacket[i].Length == 180u) << i;
    total += u.iso().IsoPacket[i].Length;
  }
  EXPECT_EQ(u.iso().TransferBufferLength, total);
}

TEST_F(FullSpeed, ControlTransfersTakeTheConfiguredLatency) {
  Bus slow("uac1-headset-A.txt", {}, {3, 2, 1024});
  ClassRequest get(URB_FUNCTION_CLASS_INTERFACE, true, uac::GET_CUR, 0x0100, 0x0500, {0xAA});
  Done d;
  const ULONG start = slow.hc->CurrentFrame();
  ASSERT_EQ(slow.Submit(&get.urb, d), STATUS_PENDING);
  slow.RunFrames(2);
  EXPECT_EQ(d.count, 0);
  slow.RunFrames(2);
  ASSERT_EQ(d.count, 1);
  EXPECT_EQ(d.frame, start + 3) << "three frames of latency";
  EXPECT_EQ(d.status, STATUS_SUCCESS);
  EXPECT_EQ(get.buffer[0], 0);
  EXPECT_EQ(get.urb.UrbControlVendorClassRequest.TransferBufferLength, 1u);
  // A stalled request fails with the stall in the URB.
  ClassRequest bad(URB_FUNCTION_CLASS_INTERFACE, true, uac::GET_CUR, 0x0101, 0x0500, {0});
  EXPECT_EQ(slow.SubmitSync(&bad.urb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(bad.urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
}

TEST_F(FullSpeed, AbortPipeCancelsPendingTransfersFirst) {
  IsoUrb a(out, 10, 176, false, true), b(out, 10, 176, false, true);
  Done da, db;
  bus.Submit(a.urb(), da);
  bus.Submit(b.urb(), db);
  bus.RunFrames(3);
  std::vector<int> order;
  _URB_PIPE_REQUEST abort{};
  abort.Hdr.Length = sizeof(abort);
  abort.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
  abort.PipeHandle = out;
  EXPECT_EQ(bus.SubmitSync(reinterpret_cast<PURB>(&abort)), STATUS_SUCCESS);
  EXPECT_EQ(da.status, STATUS_CANCELLED);
  EXPECT_EQ(db.status, STATUS_CANCELLED);
  EXPECT_EQ(a.iso().Hdr.Status, USBD_STATUS_CANCELED);
  // The pipe starts afresh.
  IsoUrb c(out, 10, 176, false, true);
  Done dc;
  bus.Submit(c.urb(), dc);
  EXPECT_EQ(c.iso().StartFrame, bus.hc->CurrentFrame() + 2);
}

TEST_F(FullSpeed, FailNthAndHeldUrbs) {
  bus.hc->FailNthUrb(2, USBD_STATUS_XACT_ERROR, STATUS_UNSUCCESSFUL, URB_FUNCTION_ISOCH_TRANSFER);
  IsoUrb a(out, 5, 176, false, true), b(out, 5, 176, false, true), c(out, 5, 176, false, true);
  Done da, db, dc;
  bus.Submit(a.urb(), da);
  bus.Submit(b.urb(), db);
  bus.Submit(c.urb(), dc);
  bus.RunFrames(20);
  EXPECT_EQ(da.status, STATUS_SUCCESS);
  EXPECT_EQ(db.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(b.iso().Hdr.Status, USBD_STATUS_XACT_ERROR);
  EXPECT_EQ(dc.status, STATUS_SUCCESS);
  EXPECT_EQ(bus.hc->fault_hits(), 1u);

  bus.hc->HoldNthUrb(1);
  ClassRequest get(URB_FUNCTION_CLASS_INTERFACE, true, uac::GET_CUR, 0x0100, 0x0500, {0});
  Done dh;
  std::uint64_t id = 0;
  EXPECT_EQ(bus.Submit(&get.urb, dh, &id), STATUS_PENDING);
  bus.RunFrames(1000);
  EXPECT_EQ(dh.count, 0);
  EXPECT_TRUE(bus.hc->Cancel(id));
  EXPECT_EQ(dh.count, 0) << "the cancel completes from the bus context, not the canceller's stack";
  bus.Deliver();
  EXPECT_EQ(dh.status, STATUS_CANCELLED);
  EXPECT_FALSE(bus.hc->Cancel(id));
}

// A request submitted deferred completes only after its submitter released it, however
// soon it is due: an abort with transfers queued and an ASAP transfer whose every slot
// has passed are both due at once. Other requests' completions are not held, the bus
// sees no event in the held one (it would wake for nothing) and the release wakes it.
TEST_F(FullSpeed, DeferredCompletionWaitsForItsRelease) {
  int wakes = 0;
  bus.hc->SetWakeup([&] { ++wakes; });
  auto submit_deferred = [&](PURB urb, Done& done, std::uint64_t* id) {
    return bus.hc->Submit(
        urb,
        [&done](NTSTATUS s) {
          ++done.count;
          done.status = s;
        },
        id, /*deferred=*/true);
  };
  _URB_PIPE_REQUEST abort{};
  abort.Hdr.Length = sizeof(abort);
  abort.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
  abort.PipeHandle = out;
  IsoUrb first(out, 5, 176, false, true);
  IsoUrb late(out, 3, 176, false, true);
  struct Case {
    const char* what;
    std::function<NTSTATUS(Done&, std::uint64_t*)> submit;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"abort with a transfer queued",
       [&](Done& d, std::uint64_t* id) {
         Done queued;
         EXPECT_EQ(bus.Submit(first.urb(), queued), STATUS_PENDING);
         const NTSTATUS s = submit_deferred(reinterpret_cast<PURB>(&abort), d, id);
         bus.Deliver();
         EXPECT_EQ(queued.count, 1) << "the aborted transfer is not held";
         EXPECT_EQ(queued.status, STATUS_CANCELLED);
         return s;
       },
       STATUS_SUCCESS},
      {"ASAP transfer after its slots passed",
       [&](Done& d, std::uint64_t* id) {
         Done before;
         EXPECT_EQ(bus.Submit(first.urb(), before), STATUS_PENDING);
         bus.RunFrames(20);  // the pipe ran dry long before the next transfer
         EXPECT_EQ(before.count, 1);
         return submit_deferred(late.urb(), d, id);
       },
       STATUS_UNSUCCESSFUL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Done d;
    std::uint64_t id = 0;
    ASSERT_EQ(c.submit(d, &id), STATUS_PENDING);
    EXPECT_NE(id, 0u) << "every pending request has an id";
    bus.Deliver();
    bus.RunFrames(3);
    EXPECT_EQ(d.count, 0);
    EXPECT_FALSE(bus.hc->NextEvent().has_value());
    const int woken = wakes;
    bus.hc->Release(id);
    EXPECT_EQ(wakes, woken + 1);
    EXPECT_EQ(d.count, 0) << "delivered by the bus context, not on the releaser's stack";
    bus.Deliver();
    EXPECT_EQ(d.count, 1);
    EXPECT_EQ(d.status, c.status);
    bus.hc->Release(id);  // released twice, or an id never held: nothing happens
    bus.RunFrames(2);
    EXPECT_EQ(d.count, 1);
  }
  // A held abort pipe request is cancelled by its id as any other request.
  bus.hc->HoldNthUrb(1, URB_FUNCTION_ABORT_PIPE);
  Done held;
  std::uint64_t id = 0;
  ASSERT_EQ(submit_deferred(reinterpret_cast<PURB>(&abort), held, &id), STATUS_PENDING);
  bus.hc->Release(id);
  bus.RunFrames(100);
  EXPECT_EQ(held.count, 0);
  EXPECT_TRUE(bus.hc->Cancel(id));
  bus.Deliver();
  EXPECT_EQ(held.count, 1);
  EXPECT_EQ(held.status, STATUS_CANCELLED);
  bus.hc->SetWakeup(nullptr);
}

TEST_F(FullSpeed, RemovalCompletesEveryPendingRequest) {
  IsoUrb a(out, 10, 176, false, true);
  ClassRequest get(URB_FUNCTION_CLASS_INTERFACE, true, uac::GET_CUR, 0x0100, 0x0500, {0});
  Done da, dg, di;
  bus.Submit(a.urb(), da);
  bus.hc->HoldNthUrb(1);
  bus.Submit(&get.urb, dg);
  USB_IDLE_CALLBACK_INFO info{[](PVOID) {}, nullptr};
  std::uint64_t idle = 0;
  EXPECT_EQ(bus.hc->SubmitIdle(&info, [&](NTSTATUS s) { di.status = s; ++di.count; }, &idle), STATUS_PENDING);
  bus.RunFrames(2);
  bus.hc->RemoveDevice(STATUS_DEVICE_NOT_CONNECTED, 0);
  bus.Deliver();
  EXPECT_EQ(da.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(a.iso().Hdr.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(dg.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(di.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(da.count + dg.count + di.count, 3);
  IsoUrb b(out, 10, 176, false, true);
  Done db;
  EXPECT_EQ(bus.Submit(b.urb(), db), STATUS_DEVICE_NOT_CONNECTED);
  ULONG port = 0xFF;
  EXPECT_EQ(bus.hc->GetPortStatus(&port), STATUS_SUCCESS);
  EXPECT_EQ(port, 0u);
}

TEST_F(FullSpeed, PortStatusResetAndCycle) {
  ULONG port = 0;
  EXPECT_EQ(bus.hc->GetPortStatus(&port), STATUS_SUCCESS);
  EXPECT_EQ(port, USBD_PORT_CONNECTED | USBD_PORT_ENABLED);
  bus.hc->FailPortStatus(STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(bus.hc->GetPortStatus(&port), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(bus.hc->GetPortStatus(&port), STATUS_SUCCESS);
  // A reset keeps the configuration and the selected alternate settings.
  EXPECT_EQ(bus.hc->ResetPort(), STATUS_SUCCESS);
  EXPECT_EQ(bus.device->CurrentAlternate(1), 1);
  EXPECT_EQ(bus.hc->reset_count(), 1u);
  IsoUrb u(out, 2, 176, false, true);
  Done d;
  EXPECT_EQ(bus.Submit(u.urb(), d), STATUS_PENDING);
  EXPECT_EQ(bus.hc->CyclePort(), STATUS_SUCCESS);
  bus.Deliver();
  EXPECT_EQ(d.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(bus.hc->GetPortStatus(&port), STATUS_SUCCESS);
  EXPECT_EQ(port, 0u);
  EXPECT_EQ(bus.hc->cycle_count(), 1u);
}

TEST_F(FullSpeed, IdleNotification) {
  int called = 0;
  USB_IDLE_CALLBACK_INFO info{[](PVOID c) { ++*static_cast<int*>(c); }, &called};
  Done d;
  std::uint64_t id = 0;
  EXPECT_EQ(bus.hc->SubmitIdle(&info, [&](NTSTATUS s) { d.status = s; ++d.count; }, &id), STATUS_PENDING);
  Done busy;
  EXPECT_EQ(bus.hc->SubmitIdle(&info, [&](NTSTATUS s) { busy.status = s; ++busy.count; }, nullptr), STATUS_DEVICE_BUSY);
  auto cb = bus.hc->TakeIdleCallback();
  ASSERT_TRUE(cb.has_value());
  cb->IdleCallback(cb->IdleContext);
  EXPECT_EQ(called, 1);
  EXPECT_FALSE(bus.hc->TakeIdleCallback().has_value());
  EXPECT_TRUE(bus.hc->Cancel(id));
  bus.Deliver();
  EXPECT_EQ(d.status, STATUS_CANCELLED);
  EXPECT_FALSE(bus.hc->idle_pending());
}

TEST(HostController, InterruptTransferPendsUntilTheDeviceHasData) {
  DeviceProfile p;
  p.high_speed = true;
  Bus bus("uac2-interface-B.txt", p);
  ASSERT_TRUE(bus.Configure());
  // The status pipe of the Audio Control interface comes with the configuration; take it
  // from a fresh selection of alternate setting 0.
  auto pipes = bus.Select(0, 0);
  USBD_PIPE_HANDLE status = Bus::PipeOf(pipes, *bus.device->status_endpoint());
  ASSERT_NE(status, nullptr);
  std::uint8_t msg[6] = {};
  URB urb{};
  auto& r = urb.UrbBulkOrInterruptTransfer;
  r.Hdr.Length = sizeof(r);
  r.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  r.PipeHandle = status;
  r.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  r.TransferBuffer = msg;
  r.TransferBufferLength = 6;
  Done d;
  ASSERT_EQ(bus.Submit(&urb, d), STATUS_PENDING);
  bus.RunFrames(100);
  EXPECT_EQ(d.count, 0);
  bus.device->PushStatusUac2(9, 1, 0);
  bus.RunFrames(16);  // bInterval 8: polled every 16 ms
  ASSERT_EQ(d.count, 1);
  EXPECT_EQ(d.status, STATUS_SUCCESS);
  EXPECT_EQ(r.TransferBufferLength, 6u);
  EXPECT_EQ(msg[5], 9);
}

TEST(HostController, HighSpeedPacketsFollowBInterval) {
  DeviceProfile p;
  p.high_speed = true;
  p.clock_rates[41] = {48000};
  Bus bus("uac2-dac-A.txt", p);
  ASSERT_TRUE(bus.Configure());
  auto pipes = bus.Select(1, 1);
  USBD_PIPE_HANDLE out = Bus::PipeOf(pipes, 0x01), fb = Bus::PipeOf(pipes, 0x81);
  ASSERT_NE(out, nullptr);
  ASSERT_NE(fb, nullptr);
  // bInterval 1: eight packets per millisecond.
  IsoUrb data(out, 16, 48, false, true);
  Done dd;
  ASSERT_EQ(bus.Submit(data.urb(), dd), STATUS_PENDING);
  const ULONG start = data.iso().StartFrame;
  // bInterval 4: one packet per millisecond.
  IsoUrb feedback(fb, 8, 4, true, true);
  Done df;
  ASSERT_EQ(bus.Submit(feedback.urb(), df), STATUS_PENDING);
  bus.RunFrames(30);
  EXPECT_EQ(dd.frame, start + 2);
  EXPECT_EQ(df.frame, feedback.iso().StartFrame + 8) << feedback.iso().StartFrame << " " << df.frame;
  for (ULONG i = 0; i < 8; ++i) EXPECT_EQ(feedback.iso().IsoPacket[i].Length, 4u);
  // A high-speed transfer must fill whole frames.
  IsoUrb odd(out, 5, 48, false, true);
  Done dodd;
  EXPECT_EQ(bus.Submit(odd.urb(), dodd), STATUS_INVALID_PARAMETER);
}

TEST(HostController, FrameNumberRunsAcrossItsWrap) {
  Bus bus("uac1-headset-A.txt");
  bus.hc->SetFrameOrigin(0xFFFFFFF0u);
  ASSERT_TRUE(bus.Configure());
  auto pipes = bus.Select(1, 1);
  const ULONG now = bus.hc->CurrentFrame();
  IsoUrb u(Bus::PipeOf(pipes, 0x01), 10, 176, false, false, now + 20);
  Done d;
  ASSERT_EQ(bus.Submit(u.urb(), d), STATUS_PENDING);
  EXPECT_LT(now + 20, now);  // the start frame has wrapped
  bus.RunFrames(40);
  EXPECT_EQ(d.status, STATUS_SUCCESS);
  EXPECT_EQ(d.frame, now + 30);
}

TEST(HostController, EveryShippedDeviceEnumerates) {
  for (auto& entry : std::filesystem::directory_iterator(UA_DEVICE_DUMPS_DIR)) {
    if (entry.path().extension() != ".txt") continue;
    const auto name = entry.path().filename().string();
    platform::pool::LeakScope leaks;
    Bus bus(name);
    ASSERT_TRUE(bus.device) << name;
    std::vector<std::uint8_t> dev(18);
    URB urb{};
    auto& d = urb.UrbControlDescriptorRequest;
    d.Hdr.Length = sizeof(d);
    d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    d.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    d.TransferBuffer = dev.data();
    d.TransferBufferLength = 18;
    ASSERT_EQ(bus.SubmitSync(&urb), STATUS_SUCCESS) << name;
    EXPECT_EQ(dev[1], 1);
    std::vector<std::uint8_t> cfg(0xFFFF);
    d.DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    d.TransferBuffer = cfg.data();
    d.TransferBufferLength = static_cast<ULONG>(cfg.size());
    ASSERT_EQ(bus.SubmitSync(&urb), STATUS_SUCCESS) << name;
    EXPECT_EQ(d.TransferBufferLength, bus.device->Configuration().size()) << name;
    ASSERT_TRUE(bus.Configure()) << name;
    for (auto& i : bus.device->descriptors().interfaces()) {
      for (auto& a : i.alternates) {
        NTSTATUS s;
        auto pipes = bus.Select(i.number, a.alternate, &s);
        EXPECT_EQ(s, STATUS_SUCCESS) << name << " interface " << int(i.number) << " alt " << int(a.alternate);
        EXPECT_EQ(pipes.size(), a.endpoints.size()) << name;
      }
    }
    EXPECT_TRUE(leaks.Check()) << name;
  }
}

}  // namespace
}  // namespace sim::device

namespace sim::device {
namespace {

// The class example microphone with a status interrupt endpoint added to its Audio
// Control interface: a UAC 1.0 device that reports status words.
std::unique_ptr<SimDevice> Uac1WithStatusEndpoint() {
  std::vector<std::uint8_t> dev = {18, 1, 0, 1, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  std::vector<std::uint8_t> cfg = {
      0x09, 0x02, 0x6b, 0x00, 0x02, 0x01, 0x00, 0x80, 0x0a, 0x09, 0x04, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00, 0x00,
      0x09, 0x24, 0x01, 0x00, 0x01, 0x1e, 0x00, 0x01, 0x01, 0x0c, 0x24, 0x02, 0x01, 0x01, 0x02, 0x00, 0x01, 0x00,
      0x00, 0x00, 0x00, 0x09, 0x24, 0x03, 0x02, 0x01, 0x01, 0x00, 0x01, 0x00, 0x07, 0x05, 0x83, 0x03, 0x02, 0x00,
      0x08, 0x09, 0x04, 0x01, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x09, 0x04, 0x01, 0x01, 0x01, 0x01, 0x02, 0x00,
      0x00, 0x07, 0x24, 0x01, 0x02, 0x01, 0x01, 0x00, 0x0b, 0x24, 0x02, 0x01, 0x01, 0x02, 0x10, 0x01, 0x40, 0x1f,
      0x00, 0x09, 0x05, 0x81, 0x01, 0x10, 0x00, 0x01, 0x00, 0x00, 0x07, 0x25, 0x01, 0x00, 0x00, 0x00, 0x00};
  DescriptorSet set;
  std::string error;
  if (!DescriptorSet::Build(dev, cfg, set, error)) return nullptr;
  return std::make_unique<SimDevice>(std::move(set), DeviceProfile{});
}

struct StatusBus {
  std::unique_ptr<SimDevice> device = Uac1WithStatusEndpoint();
  BusMicroframe now = 0;
  std::unique_ptr<HostController> hc = std::make_unique<HostController>(device.get(), [this] { return now; });
  void RunFrames(std::uint64_t n) {
    for (std::uint64_t k = 0; k < n * 8; ++k) hc->AdvanceTo(++now);
  }
};

TEST(HostController, Uac1StatusWordsAndAHaltedPipe) {
  StatusBus bus;
  ASSERT_TRUE(bus.device);
  ASSERT_EQ(bus.device->status_endpoint(), std::optional<std::uint8_t>(0x83));
  auto cfg = bus.device->Configuration();
  std::vector<std::uint8_t> copy(cfg.begin(), cfg.end());
  auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy.data());
  USBD_INTERFACE_LIST_ENTRY list[3] = {{USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1), nullptr},
                                       {USBD_ParseConfigurationDescriptorEx(c, c, 1, 0, -1, -1, -1), nullptr},
                                       {nullptr, nullptr}};
  PURB select = USBD_CreateConfigurationRequestEx(c, list);
  ASSERT_EQ(bus.hc->Submit(select, nullptr), STATUS_SUCCESS);
  ASSERT_EQ(list[0].Interface->NumberOfPipes, 1u);
  USBD_PIPE_HANDLE pipe = list[0].Interface->Pipes[0].PipeHandle;
  EXPECT_EQ(list[0].Interface->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
  ExFreePool(select);

  std::uint8_t word[2] = {};
  URB urb{};
  auto read = [&](Done& d) {
    std::memset(&urb, 0, sizeof(urb));
    auto& r = urb.UrbBulkOrInterruptTransfer;
    r.Hdr.Length = sizeof(r);
    r.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    r.PipeHandle = pipe;
    r.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    r.TransferBuffer = word;
    r.TransferBufferLength = 2;
    return bus.hc->Submit(&urb, [&d](NTSTATUS s) { d.status = s; ++d.count; });
  };
  Done d1;
  ASSERT_EQ(read(d1), STATUS_PENDING);
  bus.RunFrames(50);
  EXPECT_EQ(d1.count, 0);
  bus.device->PushStatusUac1(5);
  bus.RunFrames(8);
  ASSERT_EQ(d1.count, 1);
  EXPECT_EQ(d1.status, STATUS_SUCCESS);
  EXPECT_EQ(word[0], 0x80);  // interrupt pending, from the Audio Control interface
  EXPECT_EQ(word[1], 5);

  // A stall halts the pipe until it is reset.
  bus.device->HaltEndpoint(0x83);
  Done d2;
  read(d2);
  bus.RunFrames(8);
  EXPECT_EQ(d2.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
  Done d3;
  EXPECT_EQ(read(d3), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
  _URB_PIPE_REQUEST reset{};
  reset.Hdr.Length = sizeof(reset);
  reset.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  reset.PipeHandle = pipe;
  EXPECT_EQ(bus.hc->Submit(reinterpret_cast<PURB>(&reset), nullptr), STATUS_SUCCESS);
  bus.device->PushStatusUac1(7);
  Done d4;
  read(d4);
  bus.RunFrames(8);
  EXPECT_EQ(d4.status, STATUS_SUCCESS);
  EXPECT_EQ(word[1], 7);
}

}  // namespace
}  // namespace sim::device
