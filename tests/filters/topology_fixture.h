// The topology filter installed as the adapter's start routine will install it: a port,
// the miniport made by its factory and initialised on the audio model, registered under
// its name; then opened through the simulated engine client. The model is either the
// driver's own, started on a simulated device file, or one a test builds from entities
// of its choice on a probe function (the plugged device then only gives the device
// object and its registry).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "filters/miniport_topology.h"
#include "sim/engine/engine.h"
#include "support/model_doubles.h"
#include "uac/stream_engine_factory.h"
#include "usb_device_fixture.h"

namespace topology_test {

using Bytes = std::vector<BYTE>;

class TopologyTest : public usb_device_test::UsbDeviceTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Plugs a shared device file and starts the driver's model on it.
  void StartDevice(const std::string& dump, sim::device::DeviceProfile profile = {});
  // Builds a model on a probe function: `build` adds the entities.
  void StartModel(std::function<NTSTATUS(platform::testing::CProbeHal*)> build);
  // Uninstalls the filter, drops the model and unplugs the device, so a test can start
  // another model.
  void ResetModel();
  // Creates the miniport with its factory, initialises the port on the model and
  // registers the filter; the status of the miniport's Init (nothing is registered on
  // failure).
  NTSTATUS InstallTopology();
  // The registered filter, opened through the engine client (once per test).
  sim::engine::FilterClient& Client();

  adapter::IAudioHal* Model() const;
  filters::CMiniportTopology* Miniport() const;
  const PCFILTER_DESCRIPTOR* Descriptor() const;

  // Raw requests as an engine sends them: a node property with an instance, a pin
  // property (KSP_PIN), a filter property. `returned` may be null.
  NTSTATUS NodeProperty(ULONG node, const GUID& set, ULONG id, ULONG verb, const Bytes& instance, void* value,
                        ULONG valueSize, ULONG* returned = nullptr);
  NTSTATUS PinProperty(ULONG pin, const GUID& set, ULONG id, ULONG verb, void* value, ULONG valueSize,
                       ULONG* returned = nullptr);
  NTSTATUS FilterProperty(const GUID& set, ULONG id, ULONG verb, void* value, ULONG valueSize,
                          ULONG* returned = nullptr);
  // The node number of the entity with this id (fails the test when there is none).
  ULONG NodeOf(ULONG entityId) const;

  platform::testing::CProbeHal* probe_ = nullptr;
  PPORT topologyPort_ = nullptr;
  PUNKNOWN miniport_ = nullptr;
  bool registered_ = false;
  std::unique_ptr<sim::engine::FilterClient> client_;

 private:
  adapter::FunctionFactory savedFactories_[static_cast<ULONG>(adapter::FunctionClass::Count)] = {};
  const uac::StreamEngineFactory* savedEngines_ = nullptr;
};

// Little-endian u32 instance bytes.
Bytes U32s(std::initializer_list<ULONG> values);

// Plain nodes of the entity model for a test's own model; each with one reference, the
// caller's. Terminals carry one kind.
adapter::IUacEntity* NewInputTerminal(ULONG id, ULONG kind, const std::vector<adapter::JackRecord>& jacks = {});
adapter::IUacEntity* NewOutputTerminal(ULONG id, ULONG source, ULONG kind,
                                       const std::vector<adapter::JackRecord>& jacks = {});
adapter::IUacEntity* NewLevel(ULONG id, ULONG type, ULONG source, ULONG channels, LONG maximum, LONG minimum,
                              LONG step);
adapter::IUacEntity* NewSwitch(ULONG id, ULONG type, ULONG source, ULONG channels);
adapter::IUacEntity* NewSelector(ULONG id, const std::vector<ULONG>& sources);
adapter::IUacEntity* NewMixer(ULONG id, const std::vector<ULONG>& sources);
adapter::IUacEntity* NewTerminalKind(ULONG id, ULONG source, const std::vector<ULONG>& kinds);
// Adds every entity to the model and drops the caller's reference.
NTSTATUS AddEntities(platform::testing::CProbeHal* hal, const std::vector<adapter::IUacEntity*>& entities);

// Entity doubles of the private node types, which no node class of the driver builds:
// a value table, a capture switch, a ranged value, and an effect with a parameter table.
// Each records the ranges that reach it, so a test sees that nothing out of bounds does.
struct TableLog {
  std::vector<std::pair<ULONG, ULONG>> reads;   // (first, count)
  std::vector<std::pair<ULONG, ULONG>> writes;  // (first, count)
};

// Makes an entity of `type` answering the interface of that type (15, 17, 19, 20 or 23
// with a table of `entries` values 1000 + index); one reference, the caller's.
adapter::IUacEntity* NewPrivateNode(ULONG id, ULONG type, ULONG entries, TableLog* log, ULONG sourceId);

}  // namespace topology_test
