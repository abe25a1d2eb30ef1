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

namespace entry_test {
namespace {

using namespace adapter;
using sim::engine::AsioClient;
using sim::engine::AsioPendingRequest;
using sim::engine::AsioReply;

class AsioStop : public AsioTest {};

// Each way a parked Stop can end, and the status its client sees.
TEST_F(AsioStop, AParkedStopCompletesExactlyOnceWhicheverEndsIt) {
  struct Case {
    const char* name;
    std::function<void(AsioClient&, AsioPendingRequest&)> end;
    NTSTATUS status;
  };
  const Case cases[] = {
      // Back in D0 the Stop runs: its client owns no buffers, so Stop refuses.
      {"return to D0", [this](AsioClient&, AsioPendingRequest&) { SetPower(PowerDeviceD0); },
       STATUS_INVALID_PARAMETER},
      {"cancelled by the client", [](AsioClient&, AsioPendingRequest& p) { EXPECT_TRUE(p.Cancel()); },
       STATUS_CANCELLED},
      {"surprise removal", [this](AsioClient&, AsioPendingRequest&) { EXPECT_EQ(SurpriseRemove(), STATUS_SUCCESS); },
       STATUS_DELETE_PENDING},
      // A removal is vetoed while the clients are open: the Stop stays parked until the
      // client's close.
      {"removal vetoed, then the client's close",
       [this](AsioClient& c, AsioPendingRequest& p) {
         EXPECT_EQ(Remove(), STATUS_DEVICE_BUSY);
         EXPECT_FALSE(p.Done());
         EXPECT_EQ(c.Close(), STATUS_SUCCESS);
       },
       STATUS_CANCELLED},
      {"the client's close", [](AsioClient& c, AsioPendingRequest&) { EXPECT_EQ(c.Close(), STATUS_SUCCESS); },
       STATUS_CANCELLED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartAsioDevice();
    auto client = NewClient();
    auto other = NewClient(true);
    SetPower(PowerDeviceD3);
    std::unique_ptr<AsioPendingRequest> stop = client->Begin(IOCTL_ASIO_STOP, {}, 0);
    EXPECT_EQ(stop->dispatchStatus(), STATUS_PENDING);
    EXPECT_FALSE(stop->Done());
    EXPECT_TRUE(device()->AsioStopParked());
    // One Stop is parked at a time, whoever sends the next.
    EXPECT_EQ(other->Request(IOCTL_ASIO_STOP, {}, 0).status, STATUS_INVALID_PARAMETER);
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
      // The slot is free again.
      SetPower(PowerDeviceD3);
      std::unique_ptr<AsioPendingRequest> again = other->Begin(IOCTL_ASIO_STOP, {}, 0);
      // (After a surprise removal nothing parks any more.)
      EXPECT_EQ(again->dispatchStatus(), c.status == STATUS_DELETE_PENDING ? STATUS_INVALID_PARAMETER : STATUS_PENDING);
      SetPower(PowerDeviceD0);
      EXPECT_EQ(again->Wait().status, STATUS_INVALID_PARAMETER);
    }
    if (removed_) {
      // The device is gone: its handles go without a close.
      client->Forget();
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
          // Stop may be parked until the device is back; some are cancelled meanwhile.
          auto stop = c->Begin(IOCTL_ASIO_STOP, {}, 0);
          if (stop->dispatchStatus() == STATUS_PENDING) ++parked;
          if ((i / 2 + seed) % 2 == 0) stop->Cancel();
          const NTSTATUS s = stop->Wait().status;
          EXPECT_TRUE(s == STATUS_INVALID_PARAMETER || s == STATUS_CANCELLED) << std::hex << s;
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
