// The Stop request a client sends while the device sleeps: parked, and completed exactly
// once, by whichever comes first of the return to D0 (with Stop's own answer), the
// client's cancel, a surprise removal, the removal or the client's close. And two clients
// on two threads while the device moves between D0 and D3: every request completes, the
// verifier finds nothing. These race the power path, so they run under scheduler seeds.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "asio_fixture.h"
#include "kernel/clock.h"
#include "kernel/mm.h"
#include "kernel/pool.h"
#include "stream/uac2_stream_engines.h"

namespace entry_test {
namespace {

using namespace adapter;
using sim::engine::AsioClient;
using sim::engine::AsioPendingRequest;
using sim::engine::AsioReply;

class AsioStop : public AsioTest {};

constexpr ULONG kEndpoints = 3;  // the test device's ASIO endpoints: one ring address each

// Each way a parked Stop can end, and the status its client sees. Only the streaming
// owner parks: another client's Stop outside D0 is refused and leaves the slot free.
TEST_F(AsioStop, AParkedStopCompletesExactlyOnceWhicheverEndsIt) {
  struct Case {
    const char* name;
    std::function<void(AsioClient&, AsioPendingRequest&)> end;
    NTSTATUS status;
  };
  const Case cases[] = {
      // Back in D0 the Stop runs and stops the owner's streams.
      {"return to D0", [this](AsioClient&, AsioPendingRequest&) { SetPower(PowerDeviceD0); }, STATUS_SUCCESS},
      {"cancelled by the client", [](AsioClient&, AsioPendingRequest& p) { EXPECT_TRUE(p.Cancel()); },
       STATUS_CANCELLED},
      {"surprise removal", [this](AsioClient&, AsioPendingRequest&) { EXPECT_EQ(SurpriseRemove(), STATUS_SUCCESS); },
       STATUS_DELETE_PENDING},
      // The removal releases the root object with both clients still open: its destructor
      // frees them.
      {"removal", [this](AsioClient&, AsioPendingRequest&) { EXPECT_EQ(Remove(), STATUS_SUCCESS); },
       STATUS_DELETE_PENDING},
      {"the client's close", [](AsioClient& c, AsioPendingRequest&) { EXPECT_EQ(c.Close(), STATUS_SUCCESS); },
       STATUS_CANCELLED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartAsioDevice();
    auto client = NewClient();
    auto other = NewClient(true);
    ASSERT_EQ(client->CreateBuffers({{0, 0}}, 480, kEndpoints).status, STATUS_SUCCESS);
    ASSERT_EQ(client->Start(), STATUS_SUCCESS);
    SetPower(PowerDeviceD3);
    // A client that owns nothing takes no slot.
    EXPECT_EQ(other->Request(IOCTL_ASIO_STOP, {}, 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(device()->AsioStopParked());
    std::unique_ptr<AsioPendingRequest> stop = client->Begin(IOCTL_ASIO_STOP, {}, 0);
    EXPECT_EQ(stop->dispatchStatus(), STATUS_PENDING);
    EXPECT_FALSE(stop->Done());
    EXPECT_TRUE(device()->AsioStopParked());
    // One Stop is parked at a time.
    EXPECT_EQ(client->Request(IOCTL_ASIO_STOP, {}, 0).status, STATUS_INVALID_PARAMETER);
    c.end(*client, *stop);
    platform::clock::Settle();
    ASSERT_TRUE(stop->Done());
    const AsioReply reply = stop->Wait();
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.information, 0u);
    stop.reset();
    if (!removed_) {
      EXPECT_FALSE(device()->AsioStopParked());
      // Nothing is left to complete a second time when the device comes back.
      SetPower(PowerDeviceD0);
      // The slot is free again for the owner (the other client, once the first closed)
      // when it streams.
      AsioClient* owner = client->open() ? client.get() : other.get();
      if (!device()->AsioInUse()) {
        ASSERT_EQ(owner->CreateBuffers({{0, 0}}, 480, kEndpoints).status, STATUS_SUCCESS);
      }
      adapter::AsioClient held{};
      ASSERT_TRUE(device()->CopyAsioClient(owner->file(), &held));
      if (!held.PeriodEvent) {
        ASSERT_EQ(owner->Start(), STATUS_SUCCESS);
      }
      SetPower(PowerDeviceD3);
      std::unique_ptr<AsioPendingRequest> again = owner->Begin(IOCTL_ASIO_STOP, {}, 0);
      // (After a surprise removal nothing parks any more: the Stop runs at once.)
      EXPECT_EQ(again->dispatchStatus(), c.status == STATUS_DELETE_PENDING ? STATUS_SUCCESS : STATUS_PENDING);
      SetPower(PowerDeviceD0);
      EXPECT_EQ(again->Wait().status, STATUS_SUCCESS);
    }
    if (removed_) {
      // The device is gone: its handles go without a close.
      if (client->open()) client->Forget();
      other->Forget();
    }
    client.reset();
    other.reset();
    if (!removed_) {
      ASSERT_EQ(Remove(), STATUS_SUCCESS);
    }
    Unplug();
    removed_ = false;
    fdo_ = nullptr;
  }
}

// A client that owns no streaming buffers cannot leave a Stop parked outside D0: without
// a client, not the owner, the owner before its Start. Each is refused at once, and the
// owner's own Stop still parks after them.
TEST_F(AsioStop, OutsideD0OnlyTheStreamingOwnerParksItsStop) {
  StartAsioDevice();
  auto owner = NewClient();
  auto other = NewClient(true);
  ASSERT_EQ(owner->CreateBuffers({{0, 0}}, 480, kEndpoints).status, STATUS_SUCCESS);
  SetPower(PowerDeviceD3);
  // The owner before its Start, and another client.
  EXPECT_EQ(owner->Request(IOCTL_ASIO_STOP, {}, 0).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(other->Request(IOCTL_ASIO_STOP, {}, 0).status, STATUS_INVALID_PARAMETER);
  // A file object on the interface that opened no client; its close finds nothing of it.
  PFILE_OBJECT file = platform::io::CreateFileObject(fdo(), u"\\QVASIOPrivateInterface");
  ASSERT_NE(file, nullptr);
  const IO_STATUS_BLOCK io = platform::io::SendSynchronousRequest(
      fdo(), file,
      [](PIRP, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_ASIO_STOP;
      },
      UserMode);
  EXPECT_EQ(io.Status, STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(device()->AsioStopParked());
  ObDereferenceObject(file);
  SetPower(PowerDeviceD0);
  ASSERT_EQ(owner->Start(), STATUS_SUCCESS);
  SetPower(PowerDeviceD3);
  std::unique_ptr<AsioPendingRequest> stop = owner->Begin(IOCTL_ASIO_STOP, {}, 0);
  EXPECT_EQ(stop->dispatchStatus(), STATUS_PENDING);
  SetPower(PowerDeviceD0);
  EXPECT_EQ(stop->Wait().status, STATUS_SUCCESS);
  // The owner's streams stopped as it asked: nothing restarted them on the way back.
  EXPECT_FALSE(device()->AsioStreaming());
  EXPECT_FALSE(device()->AsioSuspendedByPower());
}

// After a surprise removal no return to D0 will come: a Stop outside D0 is answered at
// once (as in D0: this client owns nothing) instead of waiting for the client's close.
TEST_F(AsioStop, AStopAfterSurpriseRemovalIsNotParked) {
  StartAsioDevice();
  auto client = NewClient(true);
  SetPower(PowerDeviceD3);
  ASSERT_EQ(SurpriseRemove(), STATUS_SUCCESS);
  std::unique_ptr<AsioPendingRequest> stop = client->Begin(IOCTL_ASIO_STOP, {}, 0);
  EXPECT_EQ(stop->dispatchStatus(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(stop->Wait().status, STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(device()->AsioStopParked());
}

// An engine's recovery resets the port (and power-cycles the function) around a power-down
// that stops the owner's streams, at several distances from the transfer error: the two
// paths take the ASIO and power mutex, the engines' and the port's in one order, so
// neither waits for the other for ever and the lock-order check finds nothing. Back in
// D0 the owner stops as usual.
TEST_F(AsioStop, PortRecoveryAndAPowerDownRunTogether) {
  // The lost packet and the recovery's pause reach the device's render checks.
  ExpectStreamFinding("pattern break", "device");
  ExpectStreamFinding("underrun", "device");
  ExpectStreamFinding("missed packets", "device");
  constexpr UCHAR kSpeakerEndpoint = 0x01;
  for (LONGLONG gap : {0, 3, 40, 104, 130}) {
    SCOPED_TRACE(testing::Message() << "power-down " << gap << " ms after the error");
    StartAsioDevice();
    auto owner = NewClient();
    ASSERT_EQ(owner->CreateBuffers({{0, 0}, {1, 0}}, 480, kEndpoints).status, STATUS_SUCCESS);
    ASSERT_EQ(owner->Start(), STATUS_SUCCESS);
    platform::testing::DelayMs(20);
    // The recovery finds the port gone once and back on the retry: it resets the port.
    port_->controller().FailPortStatus(STATUS_NO_SUCH_DEVICE, 1);
    sim_->FailIsoPackets(kSpeakerEndpoint, 0, 1, USBD_STATUS_XACT_ERROR);
    platform::testing::DelayMs(gap);
    SetPower(PowerDeviceD3);
    platform::testing::DelayMs(150);
    SetPower(PowerDeviceD0);
    platform::testing::DelayMs(20);
    EXPECT_EQ(port_->controller().reset_count(), 1u);
    EXPECT_EQ(owner->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(owner->Close(), STATUS_SUCCESS);
    owner.reset();
    ASSERT_EQ(Remove(), STATUS_SUCCESS);
    Unplug();
    removed_ = false;
    fdo_ = nullptr;
  }
}

// The streams cannot start again on the way back to D0 (the engines' transfer memory is
// refused): the device stays suspended rather than claiming to stream, the owner's
// notification event tells it, its period event stays quiet. The owner's next request
// tries again, and so does the next return to D0.
TEST_F(AsioStop, ARestartThatFailsOnTheWayBackToD0IsRetried) {
  StartAsioDevice();
  auto owner = NewClient();
  ASSERT_EQ(owner->SetNotificationEvent(), STATUS_SUCCESS);
  ASSERT_EQ(owner->CreateBuffers({{0, 0}, {1, 0}}, 480, kEndpoints).status, STATUS_SUCCESS);
  ASSERT_EQ(owner->Start(), STATUS_SUCCESS);
  auto failedReturn = [&] {
    SetPower(PowerDeviceD3);
    KeClearEvent(owner->NotificationEvent());
    {
      platform::pool::ScopedFaultInjection faults;
      platform::pool::FailTag(stream::kUac2StreamTag);
      SetPower(PowerDeviceD0);
    }
    EXPECT_FALSE(device()->AsioStreaming());
    EXPECT_TRUE(device()->AsioSuspendedByPower());
    EXPECT_TRUE(KeReadStateEvent(owner->NotificationEvent()));
    KeClearEvent(owner->PeriodEvent());
    platform::testing::DelayMs(50);
    EXPECT_FALSE(KeReadStateEvent(owner->PeriodEvent()));
  };
  auto streams = [&] {
    EXPECT_TRUE(device()->AsioStreaming());
    EXPECT_FALSE(device()->AsioSuspendedByPower());
    KeClearEvent(owner->PeriodEvent());
    platform::testing::DelayMs(50);
    EXPECT_TRUE(KeReadStateEvent(owner->PeriodEvent()));
  };
  failedReturn();
  // The host re-reads a setting: the request starts the streams again first.
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(owner->GetValue(IOCTL_ASIO_GET_SAMPLE_RATE, &status), 48000u);
  EXPECT_EQ(status, STATUS_SUCCESS);
  streams();
  failedReturn();
  // Nothing asks meanwhile: the next return to D0 starts them.
  SetPower(PowerDeviceD3);
  SetPower(PowerDeviceD0);
  streams();
  // A Stop while a restart is still owed stops nothing more.
  failedReturn();
  EXPECT_EQ(owner->Stop(), STATUS_SUCCESS);
  EXPECT_FALSE(device()->AsioStreaming());
  EXPECT_FALSE(device()->AsioSuspendedByPower());
  EXPECT_EQ(owner->Close(), STATUS_SUCCESS);
}

// Two clients (a 64-bit and a 32-bit one) keep negotiating and stopping on their own
// threads while the device goes to D3 and back: every request completes, no Stop is left
// parked, and the settings end as one of the values the clients wrote.
TEST_F(AsioStop, TwoClientsOnTwoThreadsWhileTheDeviceMovesBetweenD0AndD3) {
  StartAsioDevice();
  auto a = NewClient(false);
  auto b = NewClient(true);
  ASSERT_EQ(a->SetNotificationEvent(), STATUS_SUCCESS);
  ASSERT_EQ(b->SetNotificationEvent(), STATUS_SUCCESS);
  std::atomic<int> running{2};
  std::atomic<int> parked{0};
  auto work = [&](AsioClient* c, ULONG seed) {
    for (ULONG i = 0; i < 12; ++i) {
      const ULONG pick = (seed + i) % 6;
      switch (pick) {
        case 0:
          c->SetValue(IOCTL_ASIO_SET_LATENCY, (seed + i) % 9);
          break;
        case 1:
          c->SetValue(IOCTL_ASIO_SET_BIT_DEPTH, i % 2 ? 16 : 27);
          break;
        case 2: {
          // The owner streams (the Start fails for the others) and stops: its Stop may be
          // parked until the device is back; some are cancelled meanwhile.
          c->Start();
          auto stop = c->Begin(IOCTL_ASIO_STOP, {}, 0);
          if (stop->dispatchStatus() == STATUS_PENDING) ++parked;
          if ((i / 2 + seed) % 2 == 0) stop->Cancel();
          const NTSTATUS s = stop->Wait().status;
          EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_INVALID_PARAMETER || s == STATUS_CANCELLED) << std::hex << s;
          break;
        }
        case 3:
          c->Request(IOCTL_ASIO_GET_BUFFER_SIZE, {}, 16);
          break;
        case 4:
          c->Request(IOCTL_ASIO_CREATE_BUFFERS,
                     {0, 0, 0, 0, 1, 0, 0, 0, 0xE0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, c->is32Bit() ? 12 : 24);
          break;
        default:
          c->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, i % 2 ? 44100 : 96000);
          break;
      }
      // Requests take no time of their own: the clients pace themselves as the power
      // state changes, so their requests fall into both states.
      platform::testing::DelayMs(1 + (seed + i) % 2);
    }
    --running;
  };
  platform::clock::Thread first("client a", [&] { work(a.get(), 0); });
  platform::clock::Thread second("client b", [&] { work(b.get(), 3); });
  for (int k = 0; running > 0 && k < 100; ++k) {
    SetPower(k % 2 ? PowerDeviceD0 : PowerDeviceD3);
    platform::testing::DelayMs(1);
  }
  SetPower(PowerDeviceD0);
  first.Join();
  second.Join();
  EXPECT_FALSE(device()->AsioStopParked());
  // A client whose CreateBuffers acted owns the buffers until it closes.
  EXPECT_EQ(a->Close(), STATUS_SUCCESS);
  EXPECT_EQ(b->Close(), STATUS_SUCCESS);
  EXPECT_FALSE(device()->AsioInUse());
  EXPECT_TRUE(platform::mm::UserMappings().empty());
  // The pacing puts Stops into D3, where they park (whether the power path, a cancel or
  // nothing gets them first is the race).
  EXPECT_GT(parked.load(), 0);
  const ULONG type = device()->AsioSampleType();
  EXPECT_TRUE(type == 16 || type == 27) << type;
  EXPECT_LE(device()->AsioLatencyIndex(), 8u);
}

}  // namespace
}  // namespace entry_test
