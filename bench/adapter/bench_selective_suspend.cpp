// Selective suspend of the root device on the simulated bus (a UAC 1.0 headset):
// - what every request pays up front: WakeForRequest with nothing pending, beside a bare
//   interlocked increment and decrement;
// - the virtual time from the request that wakes a suspended device to its going on
//   (counter virtual_ms; most of it is the bus's resume signalling);
// - the wall time of 60 s of virtual time holding ten suspend and resume cycles (counter
//   faster_than_real_time).
// Run with UA_PAGED_PROTECTION=0 for the driver's own cost: with the verifier's paged-pool
// protection on, every raise to DISPATCH_LEVEL re-protects the paged blocks (mprotect),
// which dwarfs the path measured.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "adapter/usb_audio_device.h"
#include "kernel/clock.h"
#include "kernel/device_registry.h"
#include "kernel/nt.h"
#include "kernel/po.h"
#include "kernel/registry.h"
#include "sim/device/sim_device.h"
#include "stream/usb_stream_engine.h"
#include "uac/function_classes.h"
#include "usb/usb_port.h"

namespace {

using platform::clock::kTicksPerMillisecond;

adapter::CUsbAudioDevice* gDevice = nullptr;
PDEVICE_OBJECT gLower = nullptr;

NTSTATUS ForwardDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The FDO's power dispatch, as the port class driver does it.
NTSTATUS PowerDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const bool set = stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState;
  const POWER_STATE state = stack->Parameters.Power.State;
  if (set && state.DeviceState == PowerDeviceD0) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ForwardDone, &done, TRUE, TRUE, TRUE);
    PoCallDriver(gLower, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    if (gDevice) gDevice->PowerChangeState(state);
    const NTSTATUS status = irp->IoStatus.Status;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  if (set && gDevice) gDevice->PowerChangeState(state);
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(gLower, irp);
}

void DelayMs(LONGLONG ms) {
  LARGE_INTEGER d;
  d.QuadPart = -ms * kTicksPerMillisecond;
  KeDelayExecutionThread(KernelMode, FALSE, &d);
}

// A started headset with selective suspend enabled.
class Rig {
 public:
  Rig() : thread_("bench") {
    platform::registry::Clear();
    uac::RegisterFunctionFactories();
    stream::RegisterEngineFactories();
    std::ifstream in(std::string(UA_DEVICE_DUMPS_DIR) + "/uac1-headset-A.txt", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    sim::device::DeviceProfile profile;
    profile.strings[0x50] = u"Neutral";  // a model string no chip class claims
    if (!sim::device::SimDevice::FromDumpText(text.str(), std::move(profile), sim_, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return;
    }
    port_ = std::make_unique<platform::usb::UsbPort>(sim_.get());
    driver_ = platform::io::CreateDriverObject(u"\\Driver\\usbaudio");
    driver_->MajorFunction[IRP_MJ_POWER] = PowerDispatch;
    IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo_);
    gLower = IoAttachDeviceToDeviceStack(fdo_, port_->pdo());
    fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    platform::pnp::DeviceConfig config;
    config.deviceId = u"USB\\VID_0D8C&PID_0012";
    config.hardwareIds = {config.deviceId};
    platform::pnp::RegisterDevice(port_->pdo(), config);
    platform::pnp::RegisterDevice(fdo_, config);
    platform::registry::SetDword(platform::pnp::DeviceParametersPath(port_->pdo()), u"SelectiveSuspendEnabled", 1);
    adapter::IAudioHal* hal = nullptr;
    if (!NT_SUCCESS(adapter::CreateUsbAudioDevice(&hal))) return;
    hal_ = hal;
    status_ = hal_->Init(nullptr, fdo_, gLower, port_->pdo());
    if (!NT_SUCCESS(status_)) return;
    gDevice = static_cast<adapter::CUsbAudioDevice*>(hal_);
    ok_ = true;
  }
  ~Rig() {
    if (hal_) hal_->Release();
    gDevice = nullptr;
    platform::clock::Settle();
    if (fdo_) {
      IoDetachDevice(gLower);
      IoDeleteDevice(fdo_);
    }
    port_.reset();
    sim_.reset();
    if (driver_) platform::io::DeleteDriverObject(driver_);
    platform::pnp::UnregisterAllDevices();
    platform::registry::Clear();
  }
  bool ok() const { return ok_; }
  adapter::CUsbAudioDevice* device() { return gDevice; }

 private:
  platform::clock::ScopedPlatformThread thread_;
  std::unique_ptr<sim::device::SimDevice> sim_;
  std::unique_ptr<platform::usb::UsbPort> port_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  adapter::IAudioHal* hal_ = nullptr;
  bool ok_ = false;
  NTSTATUS status_ = STATUS_UNSUCCESSFUL;

 public:
  std::string Why() const {
    char text[48];
    std::snprintf(text, sizeof text, "device did not start: 0x%08X", static_cast<unsigned>(status_));
    return text;
  }
};

void Prepare() {
  platform::clock::Reset();
  platform::clock::SetHangLimit(0);
}

// The platform's primitives as the device's own thread sees them (a platform thread, so
// each is a possible scheduling point).
void BM_InterlockedIncrementDecrement(benchmark::State& state) {
  Prepare();
  platform::clock::ScopedPlatformThread thread("bench");
  volatile LONG count = 1;
  for (auto _ : state) {
    InterlockedIncrement(&count);
    InterlockedDecrement(&count);
  }
  benchmark::DoNotOptimize(count);
}
BENCHMARK(BM_InterlockedIncrementDecrement);

void BM_SpinLockPair(benchmark::State& state) {
  Prepare();
  platform::clock::ScopedPlatformThread thread("bench");
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  for (auto _ : state) {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    KeReleaseSpinLock(&lock, irql);
  }
}
BENCHMARK(BM_SpinLockPair);

void BM_WakeForRequestNothingPending(benchmark::State& state) {
  Prepare();
  Rig rig;
  if (!rig.ok()) {
    state.SkipWithError(rig.Why().c_str());
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(rig.device()->WakeForRequest());
    rig.device()->EndRequest();
  }
}
BENCHMARK(BM_WakeForRequestNothingPending);

void BM_WakeSuspendedDevice(benchmark::State& state) {
  Prepare();
  Rig rig;
  if (!rig.ok()) {
    state.SkipWithError(rig.Why().c_str());
    return;
  }
  LONGLONG total = 0;
  for (auto _ : state) {
    state.PauseTiming();
    DelayMs(5100);  // the idle timer fires and the device sleeps
    state.ResumeTiming();
    const LONGLONG start = platform::clock::Now();
    rig.device()->WakeForRequest();
    rig.device()->EndRequest();
    total += platform::clock::Now() - start;
  }
  state.counters["virtual_ms"] =
      static_cast<double>(total) / kTicksPerMillisecond / static_cast<double>(state.iterations());
  state.counters["asleep_before"] = rig.device()->IdleRequestsSent() >= 1 ? 1 : 0;
}
BENCHMARK(BM_WakeSuspendedDevice)->Iterations(20);

void BM_SixtySecondsTenCycles(benchmark::State& state) {
  Prepare();
  Rig rig;
  if (!rig.ok()) {
    state.SkipWithError(rig.Why().c_str());
    return;
  }
  double wall = 0;
  const LONG before = rig.device()->IdleRequestsSent();
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const LONGLONG begin = platform::clock::Now();
    for (int cycle = 0; cycle < 10; ++cycle) {
      DelayMs(5100);
      rig.device()->WakeForRequest();
      rig.device()->EndRequest();
    }
    DelayMs(60000 - (platform::clock::Now() - begin) / kTicksPerMillisecond);
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  state.counters["faster_than_real_time"] = 60.0 * static_cast<double>(state.iterations()) / wall;
  state.counters["suspends_per_minute"] =
      static_cast<double>(rig.device()->IdleRequestsSent() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SixtySecondsTenCycles)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
