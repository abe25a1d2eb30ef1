// The status workers against the simulated device: a device built from a real descriptor
// dump (given a status endpoint on its Audio Control interface where the dump has none),
// started through the root USB device object with the function classes registered, its
// stream engines made by a recording factory (each engine logs the subdevice updates and
// power states it is given), and a listener on the function's callback object that logs
// every control change published.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "adapter/stream_engine.h"
#include "uac/stream_engine_factory.h"
#include "uac/uac1_function.h"
#include "uac/uac2_function.h"
#include "usb_device_fixture.h"

namespace status_worker_test {

// What the recording engines were asked, in order, from any thread.
struct EngineCall {
  ULONG Engine;  // the engine's streaming interface number
  enum Kind { Update, Power } What;
  ULONG Value;       // Power: the state
  PUNKNOWN Adapter;  // Update: the adapter argument
  bool operator==(const EngineCall&) const = default;
};

struct EngineLog {
  std::mutex lock;
  std::vector<EngineCall> calls;
  // The status UpdateSubdevice answers, per engine interface (absent: success).
  std::vector<std::pair<ULONG, NTSTATUS>> updateStatus;
};
EngineLog& Engines();
// The factory making recording engines of both class versions.
const uac::StreamEngineFactory* RecordingEngineFactory();

class StatusWorkerTest : public usb_device_test::UsbDeviceTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A profile with a model string no quirk row knows.
  static sim::device::DeviceProfile Neutral();
  // Plugs the device of the dump; with a non-zero `statusPacket` the Audio Control
  // interface first gets a status endpoint (IN 0x8E, interval 8) of that packet size.
  void PlugDump(const std::string& dump, USHORT statusPacket, sim::device::DeviceProfile profile = Neutral());
  // Plugs the device of the dump with its configuration descriptor edited first.
  void PlugEdited(const std::string& dump, const std::function<void(std::vector<std::uint8_t>&)>& edit,
                  sim::device::DeviceProfile profile = Neutral());
  // Starts the device object (asserting success) and listens on its callback object.
  void StartDevice();
  // Stops listening, releases the device object and unplugs the device.
  void EndDevice();
  // The worker's start and stop, as the adapter's start and stop call them.
  NTSTATUS StartWorker() { return hal_->StartEntities(); }
  NTSTATUS StopWorker() { return hal_->StopEntities(); }
  void SetPower(DEVICE_POWER_STATE state);

  uac::CUac1Function* function();
  // The unit's node identifiers in its order.
  std::vector<ULONGLONG> NodesOf(ULONG unitId);
  adapter::IUacEntity* Node(ULONGLONG id);
  // The node identifiers published so far (and forgets them).
  std::vector<ULONGLONG> TakeChanges();
  std::vector<EngineCall> TakeEngineCalls();
  // Runs the clock in 1 ms steps until `done` holds, at most `limitMs`; whether it held.
  bool RunUntil(const std::function<bool()>& done, LONGLONG limitMs = 2000);
  // Runs until the worker has published the changes of the unit `markerId` names (a
  // message pushed after those under test, so everything before it has been handled);
  // returns what was published before the marker's records. `before`: what is expected
  // ahead of the marker, when it may itself end with the marker's records.
  std::vector<ULONGLONG> ChangesBeforeMarker(UCHAR markerId, const std::vector<ULONGLONG>& before = {});
  // Pushes a status message naming the unit, in the function's class version.
  void PushChangeOf(UCHAR unitId, UCHAR selector = 1, UCHAR channel = 0);
  // What a starting worker publishes: a 1.0 worker refreshes every unit, in unit order,
  // and publishes each node of every unit that is not a terminal; a 2.0 worker nothing.
  std::vector<ULONGLONG> FirstRefreshChanges();
  // Lets the worker's first refresh finish, checks what it published and forgets it.
  void SettleFirstRefresh(UCHAR markerId);
  UCHAR StatusEndpoint() const { return *sim_->status_endpoint(); }

 private:
  static void OnChange(PVOID Context, PVOID Argument1, PVOID Argument2);

  adapter::FunctionFactory savedUac1_ = nullptr;
  adapter::FunctionFactory savedUac2_ = nullptr;
  const uac::StreamEngineFactory* savedEngines_ = nullptr;
  PVOID registration_ = nullptr;
  std::mutex lock_;
  std::vector<ULONGLONG> changes_;
};

}  // namespace status_worker_test
