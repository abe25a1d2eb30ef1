// A glitch is a finding: the simulated device reports an underrun inside a running stream
// as a stream finding, with its time, and the kernel fixture fails a test on findings it
// did not declare.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "headset_client.h"
#include "kernel/clock.h"
#include "kernel/verifier.h"
#include "support/kernel_fixture.h"

namespace {

using namespace planted;

// ---------------------------------------------------------------------------------------
// A glitch is a finding: two URBs stream to the headset; in the faulty run the driver
// resubmits one URB late (from a timer, after a completion it handled slowly), and the
// device's FIFO runs dry. The device reports the underrun, with its time, as a stream
// finding; the correct run streams without one.

struct LateSlot {
  HeadsetClient* client = nullptr;
  PURB urb = nullptr;
  UCHAR* buffer = nullptr;
  PIRP irp = nullptr;
  LONGLONG lateMs = 0;      // resubmit this late once, at the completion number `lateAt`
  int lateAt = -1;
  int completions = 0;
  bool stop = false;
  LONGLONG lateTime = -1;   // when the late completion came
  KTIMER timer;
  KDPC dpc;
  Waiter idle;

  void Submit() {
    IoReuseIrp(irp, STATUS_SUCCESS);
    auto& r = urb->UrbIsochronousTransfer;
    r.Hdr.Status = 0;
    r.StartFrame = 0;
    for (ULONG i = 0; i < 10; ++i) r.IsoPacket[i].Status = 0;
    client->Prepare(irp, urb, Done, this);
    IofCallDriver(client->port->pdo(), irp);
  }
  static void Late(PKDPC, PVOID context, PVOID, PVOID) { static_cast<LateSlot*>(context)->Submit(); }
  static NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* s = static_cast<LateSlot*>(context);
    const int n = s->completions++;
    if (s->stop || !NT_SUCCESS(irp->IoStatus.Status)) {
      KeSetEvent(&s->idle.event, IO_NO_INCREMENT, FALSE);
    } else if (n == s->lateAt) {
      s->lateTime = platform::clock::Now();
      LARGE_INTEGER due;
      due.QuadPart = -s->lateMs * platform::clock::kTicksPerMillisecond;
      KeSetTimer(&s->timer, due, &s->dpc);
    } else {
      s->Submit();
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

// Streams 300 ms; returns the device's findings and the time of the late completion.
std::vector<platform::verifier::StreamFinding> StreamWithLateResubmit(LONGLONG lateMs, LONGLONG* lateTime) {
  HeadsetClient c;
  LateSlot slots[2];
  for (auto& s : slots) {
    s.client = &c;
    s.urb = c.IsoUrb(&s.buffer);
    s.irp = c.Irp();
    KeInitializeTimer(&s.timer);
    KeInitializeDpc(&s.dpc, LateSlot::Late, &s);
  }
  slots[0].lateMs = lateMs;
  slots[0].lateAt = lateMs ? 5 : -1;
  for (auto& s : slots) s.Submit();
  platform::clock::SleepFor(300 * platform::clock::kTicksPerMillisecond);
  for (auto& s : slots) {
    s.stop = true;
    IoCancelIrp(s.irp);
  }
  for (auto& s : slots) {
    s.idle.Wait();
    IoFreeIrp(s.irp);
    ExFreePoolWithTag(s.urb, kTag);
    ExFreePoolWithTag(s.buffer, kTag);
  }
  *lateTime = slots[0].lateTime;
  return platform::verifier::TakeStreamFindings();
}

class GlitchFindings : public platform::testing::KernelTest {};

TEST_F(GlitchFindings, AUrbResubmittedLateIsADeviceUnderrunAtItsTime) {
  LONGLONG late = -1;
  const auto findings = StreamWithLateResubmit(5, &late);
  ASSERT_GE(late, 0);
  const platform::verifier::StreamFinding* underrun = nullptr;
  std::string all;
  for (const auto& f : findings) {
    all += f.source + ": " + f.kind + ": " + f.detail + "\n";
    if (!underrun && f.kind == "underrun" && f.source.rfind("device", 0) == 0) underrun = &f;
  }
  ASSERT_NE(underrun, nullptr) << all;
  // The FIFO ran dry after the late completion and before the resubmitted URB could play.
  EXPECT_GE(underrun->time, late) << all;
  EXPECT_LE(underrun->time, late + 15 * platform::clock::kTicksPerMillisecond) << all;
  EXPECT_NE(underrun->detail.find("frames"), std::string::npos);
}

TEST_F(GlitchFindings, TwoUrbsResubmittedInTimeStreamWithoutAFinding) {
  const unsigned count = seed() == 0 ? 50 : 5;
  std::string first;
  const auto loud = platform::testing::SeedsWhere(seed() * 1000, count, [&] {
    LONGLONG late = -1;
    const auto findings = StreamWithLateResubmit(0, &late);
    if (!findings.empty() && first.empty()) first = findings.front().source + ": " + findings.front().detail;
    return !findings.empty();
  });
  EXPECT_TRUE(loud.empty()) << loud.size() << " of " << count << " seeds, first: " << first;
}
}  // namespace
