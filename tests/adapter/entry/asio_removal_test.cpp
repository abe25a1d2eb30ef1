// ASIO clients on their own threads while Plug and Play removes the device: creates,
// closes and I/O controls on the ASIO interface racing surprise removal and removal. A
// request that found the root object keeps it until it is done (the removal waits for
// it), one that comes later is refused with STATUS_NO_SUCH_DEVICE, and the verifier and
// the pool find no call into a released object and nothing left behind. These race the
// removal, so they run under scheduler seeds.
#include <gtest/gtest.h>

#include <atomic>
#include <initializer_list>
#include <string>

#include "asio_fixture.h"
#include "kernel/clock.h"
#include "kernel/mm.h"
#include "kernel/ob.h"
#include "usb/usbdi.h"

namespace entry_test {
namespace {

using namespace adapter;
using platform::clock::Now;
using platform::testing::DelayMs;
using sim::engine::AsioClient;

class AsioRemoval : public AsioTest {
 protected:
  // The clients' file objects keep the functional device as the I/O manager's do, so a
  // request may still reach it after its removal; the test holds that reference.
  void HoldDevice() {
    held_ = fdo();
    ObReferenceObject(held_);
  }
  // After the removal: the handles go without a close, then the device.
  void LetGo(std::initializer_list<AsioClient*> clients) {
    for (AsioClient* c : clients) c->Forget();
    ObDereferenceObject(held_);
    held_ = nullptr;
    Unplug();
    removed_ = false;
    fdo_ = nullptr;
  }
  // More seeded switches than the default, so the clients' requests and the removal
  // interleave at many points.
  void ManyPreemptions() {
    platform::sched::Options options = platform::sched::Current();
    options.maxPreemptions = 64;
    platform::sched::Configure(options);
  }

  PDEVICE_OBJECT held_ = nullptr;
};

// One of a client's requests; `round` picks which. Creates and closes go through a fresh
// client of the same width.
NTSTATUS OneRequest(AsioClient& client, PDEVICE_OBJECT fdo, ULONG round) {
  switch (round % 7) {
    case 0:
      return client.Request(IOCTL_ASIO_GET_IN_USE, {}, 4).status;
    case 1:
      return client.SetValue(IOCTL_ASIO_SET_LATENCY, round % 9);
    case 2:
      return client.Request(IOCTL_ASIO_GET_BUFFER_SIZE, {}, 16).status;
    case 3: {
      AsioClient fresh(fdo, client.is32Bit());
      const NTSTATUS open = fresh.Open();
      if (!NT_SUCCESS(open)) return open;  // the client dropped its file object
      return fresh.Close();
    }
    case 4:
      return client.Request(IOCTL_ASIO_CREATE_BUFFERS, AsioClient::BufferRequest({{0, 0}}, 480),
                            client.is32Bit() ? 12 : 24)
          .status;
    case 5:
      return client.Request(IOCTL_ASIO_DISPOSE_BUFFERS, {}, 0).status;
    default:
      return client.SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, round % 2 ? 44100 : 48000);
  }
}

// Two clients (64- and 32-bit) keep sending requests while the device is removed in
// each of the ways Plug and Play removes it, early and late in their run. Every request
// completes; each one sent after the removal returned is refused with
// STATUS_NO_SUCH_DEVICE; the rings the clients had mapped are gone with the device, and
// the fixture finds no pool block left.
TEST_F(AsioRemoval, ClientRequestsRacingRemovalFindTheDeviceWholeOrNotAtAll) {
  struct Row {
    const char* name;
    bool unplug;    // the device leaves the bus first
    bool surprise;  // a surprise removal before the removal
  };
  const Row rows[] = {
      {"removal", false, false},
      {"surprise removal, then removal", false, true},
      {"unplugged: surprise removal, then removal", true, true},
  };
  // Each client goes on until a few of its requests came after the removal.
  constexpr int kLateRequests = 3;
  constexpr ULONG kMaxRounds = 400;
  for (const Row& row : rows) {
    for (LONGLONG after : {1, 6}) {
      SCOPED_TRACE(std::string(row.name) + ", after " + std::to_string(after) + " ms");
      ManyPreemptions();
      StartAsioDevice();
      HoldDevice();
      auto a = NewClient(false);
      auto b = NewClient(true);
      ASSERT_EQ(a->SetNotificationEvent(), STATUS_SUCCESS);
      std::atomic<bool> removed{false};
      std::atomic<int> early{0}, wrongLate{0};
      auto work = [&](AsioClient* c, ULONG first) {
        int late = 0;
        for (ULONG i = 0; late < kLateRequests && i < kMaxRounds; ++i) {
          const bool gone = removed.load();
          const NTSTATUS status = OneRequest(*c, fdo(), first + i);
          if (!gone) {
            ++early;
          } else {
            ++late;
            if (status != STATUS_NO_SUCH_DEVICE) ++wrongLate;
          }
          if (i % 2) DelayMs(1);
        }
        EXPECT_EQ(late, kLateRequests);
      };
      {
        platform::clock::Thread first("client a", [&] { work(a.get(), 0); });
        platform::clock::Thread second("client b", [&] { work(b.get(), 3); });
        DelayMs(after);
        if (row.unplug) port_->controller().RemoveDevice();
        if (row.surprise) {
          EXPECT_EQ(SurpriseRemove(), STATUS_SUCCESS);
        }
        EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        removed = true;
        removed_ = true;
        first.Join();
        second.Join();
      }
      EXPECT_GT(early.load(), 0);
      EXPECT_EQ(wrongLate.load(), 0);
      // The removed device still answers, and refuses.
      EXPECT_EQ(a->Request(IOCTL_ASIO_GET_IN_USE, {}, 4).status, STATUS_NO_SUCH_DEVICE);
      // (The removal here bypassed Plug and Play, which would have waited for the
      // handles: a deleted device object gets no cleanup or close.)
      EXPECT_EQ(b->Close(), STATUS_SUCCESS);
      EXPECT_TRUE(platform::mm::UserMappings().empty());
      LetGo({a.get(), b.get()});
    }
  }
}

// A request inside the device holds the removal: while the client's GetDriverName waits
// for its string descriptor (a transfer the bus holds until the 500 ms time-out ends it),
// the removal has begun and waits; a request arriving meanwhile, I/O control or create,
// is refused at once, and the removal returns only after the request inside completed.
TEST_F(AsioRemoval, ARequestInsideHoldsTheRemovalAndLaterOnesAreRefusedAtOnce) {
  StartAsioDevice();
  HoldDevice();
  auto inside = NewClient(false);
  auto later = NewClient(true);
  port_->controller().HoldNthUrb(1, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  std::atomic<LONGLONG> insideDone{0}, removalDone{0};
  std::atomic<NTSTATUS> removal{STATUS_PENDING}, insideStatus{STATUS_PENDING};
  platform::clock::Thread client("inside", [&] {
    // The size query reads the product string.
    insideStatus = inside->Request(IOCTL_ASIO_GET_DRIVER_NAME, {}, 0).status;
    insideDone = Now();
  });
  DelayMs(10);
  platform::clock::Thread pnp("removal", [&] {
    removal = Pnp(IRP_MN_REMOVE_DEVICE);
    removalDone = Now();
  });
  DelayMs(10);
  EXPECT_EQ(removal.load(), STATUS_PENDING);  // still waiting for the request inside
  const LONGLONG asked = Now();
  EXPECT_EQ(later->Request(IOCTL_ASIO_GET_IN_USE, {}, 4).status, STATUS_NO_SUCH_DEVICE);
  AsioClient fresh(fdo(), false);
  EXPECT_EQ(fresh.Open(), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(Now(), asked);
  client.Join();
  pnp.Join();
  removed_ = true;
  EXPECT_EQ(removal.load(), STATUS_SUCCESS);
  EXPECT_NE(insideStatus.load(), STATUS_NO_SUCH_DEVICE);
  EXPECT_GE(insideDone.load(), asked + 400 * platform::clock::kTicksPerMillisecond);
  EXPECT_GE(removalDone.load(), insideDone.load());
  LetGo({inside.get(), later.get()});
}

}  // namespace
}  // namespace entry_test
