// Driver entry, add-device, start and removal through the requests Plug and Play sends,
// against simulated devices, with stand-in miniports: what is registered, enabled and
// released at each step, and the way back down when a step fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "adapter/usb_audio_device.h"
#include "entry_fixture.h"
#include "kernel/clock.h"
#include "kernel/dbg.h"
#include "kernel/ob.h"
#include "kernel/pool.h"
#include "kernel/rtl.h"
#include "portcls/ksclient.h"
#include "portcls/pcplatform.h"
#include "support/fault_sweep.h"

namespace entry_test {
namespace {

using adapter::GUID_ASIO_PRIVATE_INTERFACE;
using adapter::GUID_ENUM_PRIVATE_INTERFACE;

// A device whose function builds no stream engine.
constexpr const char* kNoEngines = "uac1-djcontroller-C.txt";
// A UAC 1.0 headset: a speaker and a microphone engine.
constexpr const char* kHeadset = "uac1-headset-A.txt";

constexpr ULONG kLinkTag = MakePoolTag('I', 'o', 'D', 'i');

class DriverEntryTest : public DriverTest {};

TEST_F(DriverEntryTest, InstallsItsFourDispatchRoutinesInFrontOfPortCls) {
  EXPECT_EQ(driver_->DriverExtension->AddDevice, &entry::AddDevice);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_PNP], &entry::DispatchPnp);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_CREATE], &entry::DispatchCreate);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_CLOSE], &entry::DispatchClose);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL], &entry::DispatchDeviceControl);
  // Power and the rest stay with PortCls.
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_POWER], &PcDispatchIrp);
  EXPECT_EQ(driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL], &PcDispatchIrp);
}

TEST_F(DriverEntryTest, AnOlderKernelIsRefusedAndNothingIsInstalled) {
  const ULONG saved = platform::rtl::NtDdiVersion();
  platform::rtl::SetNtDdiVersion(0x05000000);
  PDRIVER_OBJECT old = platform::io::CreateDriverObject(u"\\Driver\\usbaudio2");
  const PDRIVER_DISPATCH untouched = old->MajorFunction[IRP_MJ_PNP];
  EXPECT_EQ(entry::DriverEntry(old, nullptr), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(old->MajorFunction[IRP_MJ_PNP], untouched);
  EXPECT_EQ(old->MajorFunction[IRP_MJ_CREATE], untouched);
  EXPECT_EQ(old->DriverExtension->AddDevice, nullptr);
  platform::rtl::SetNtDdiVersion(saved);
  platform::io::DeleteDriverObject(old);
}

TEST_F(DriverEntryTest, AddDeviceRecordsTheStackAndRegistersBothInterfacesDisabled) {
  Plug(kNoEngines);
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  ASSERT_NE(fdo(), port_->pdo());
  adapter::DeviceExtension* ext = extension();
  ASSERT_NE(ext, nullptr);
  EXPECT_EQ(ext->Adapter, nullptr);
  EXPECT_EQ(ext->Fdo, fdo());
  EXPECT_EQ(ext->Pdo, port_->pdo());
  EXPECT_EQ(ext->LowerDevice, port_->pdo());
  EXPECT_EQ(platform::portcls::SubdeviceLimit(fdo()), 20u);
  EXPECT_TRUE(std::all_of(std::begin(ext->OutputCounters), std::end(ext->OutputCounters), [](UCHAR c) { return !c; }));
  EXPECT_EQ(ext->EnumLinkRegistered, 1);
  EXPECT_EQ(ext->AsioLinkRegistered, 1);
  const auto* enumLink = Interface(GUID_ENUM_PRIVATE_INTERFACE);
  ASSERT_NE(enumLink, nullptr);
  EXPECT_EQ(enumLink->referenceString, u"QVEnumPrivateInterface");
  EXPECT_FALSE(enumLink->enabled);
  const auto* asioLink = Interface(GUID_ASIO_PRIVATE_INTERFACE);
  ASSERT_NE(asioLink, nullptr);
  EXPECT_EQ(asioLink->referenceString, u"QVASIOPrivateInterface");
  EXPECT_FALSE(asioLink->enabled);
}

TEST_F(DriverEntryTest, ADeviceWithoutEnginesStartsWithTheTopologyAndTheEnumerationInterface) {
  Plug(kNoEngines);
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_NE(hal(), nullptr);
  EXPECT_EQ(hal()->GetEngineCount(), 0u);
  EXPECT_EQ(Subdevices(), std::vector<std::u16string>{u"Topology"});
  EXPECT_TRUE(Interface(GUID_ENUM_PRIVATE_INTERFACE)->enabled);
  EXPECT_EQ(extension()->EnumLinkEnabled, 1);
  // No ASIO-capable endpoint: registered, not enabled.
  EXPECT_FALSE(Interface(GUID_ASIO_PRIVATE_INTERFACE)->enabled);
  PADAPTERPOWERMANAGEMENT power = platform::portcls::AdapterPowerManagement(fdo());
  ASSERT_NE(power, nullptr);
  power->Release();

  ASSERT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_TRUE(Subdevices().empty());
  EXPECT_FALSE(Interface(GUID_ENUM_PRIVATE_INTERFACE)->enabled);
  EXPECT_EQ(TopologyControl().live, 0u);
}

TEST_F(DriverEntryTest, AnOlderPortClsFailsTheStart) {
  Plug(kNoEngines);
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  platform::portcls::SetPortClsVersion(kVersionWinXPSP1);
  EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);
  platform::portcls::SetPortClsVersion(kVersionWindowsLonghorn);
  EXPECT_EQ(hal(), nullptr);
  EXPECT_TRUE(Subdevices().empty());
  EXPECT_EQ(TopologyControl().created, 0u);
}

// Each step that can fail after the topology subdevice stands: whatever was registered
// goes again, in reverse order, and the extension keeps no adapter.
TEST_F(DriverEntryTest, AFailedStartTakesDownWhatItRegistered) {
  struct Case {
    const char* name;
    const char* device;
    NTSTATUS topologyCreate, topologyInit, waveCreate;
    bool topologyPinMap;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"topology factory fails", kNoEngines, STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS, STATUS_SUCCESS, true,
       STATUS_INSUFFICIENT_RESOURCES},
      {"topology init fails", kNoEngines, STATUS_SUCCESS, STATUS_DEVICE_REMOVED, STATUS_SUCCESS, true,
       STATUS_DEVICE_REMOVED},
      {"topology has no pin map", kNoEngines, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS, false,
       STATUS_INVALID_PARAMETER},
      {"wave subdevice fails", kHeadset, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES, true,
       STATUS_SUCCESS /* any failure */},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetFakeMiniports();
    removed_ = false;
    Plug(c.device);
    TopologyControl().createStatus = c.topologyCreate;
    TopologyControl().initStatus = c.topologyInit;
    TopologyControl().answerPinMap = c.topologyPinMap;
    WaveControl().createStatus = c.waveCreate;
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    const NTSTATUS status = Start();
    EXPECT_FALSE(NT_SUCCESS(status));
    if (c.expected != STATUS_SUCCESS) {
      EXPECT_EQ(status, c.expected);
    }
    EXPECT_EQ(hal(), nullptr);
    EXPECT_TRUE(Subdevices().empty());
    EXPECT_TRUE(platform::ks::EnumeratePhysicalConnections().empty());
    EXPECT_FALSE(Interface(GUID_ENUM_PRIVATE_INTERFACE)->enabled);
    EXPECT_FALSE(Interface(GUID_ASIO_PRIVATE_INTERFACE)->enabled);
    EXPECT_EQ(TopologyControl().live, 0u);
    EXPECT_EQ(WaveControl().live, 0u);
    // Plug and Play removes a device that failed to start.
    ASSERT_EQ(Remove(), STATUS_SUCCESS);
    Unplug();
  }
}

TEST_F(DriverEntryTest, CreateAndCloseOnTheAsioInterfaceWithoutAnAdapterFailCleanly) {
  struct Case {
    const char16_t* name;
    bool started;
    NTSTATUS create, close;
  };
  const Case cases[] = {
      // Before the start there is no root object to hand the client to.
      {u"\\QVASIOPrivateInterface", false, STATUS_NO_SUCH_DEVICE, STATUS_NO_SUCH_DEVICE},
      {u"\\qvasioPRIVATEinterface", false, STATUS_NO_SUCH_DEVICE, STATUS_NO_SUCH_DEVICE},
      // A started device opens and closes an ASIO client.
      {u"\\QVASIOPrivateInterface", true, STATUS_SUCCESS, STATUS_SUCCESS},
      // Any other name is a KS request for PortCls: the topology filter opens.
      {u"\\Topology", true, STATUS_SUCCESS, STATUS_SUCCESS},
      {u"\\QVEnumPrivateInterface", true, STATUS_OBJECT_NAME_NOT_FOUND, STATUS_SUCCESS},
      {u"\\QVASIOPrivateInterface\\x", true, STATUS_OBJECT_NAME_NOT_FOUND, STATUS_SUCCESS},
  };
  Plug(kNoEngines);
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  for (const Case& c : cases) {
    if (c.started && !hal()) {
      ASSERT_EQ(Start(), STATUS_SUCCESS);
    }
    NTSTATUS create = 0, close = 0;
    OpenClose(c.name, &create, &close);
    EXPECT_EQ(create, c.create) << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
    EXPECT_EQ(close, c.close);
  }
}

TEST_F(DriverEntryTest, AFailedEnumerationRegistrationNeitherFailsTheDeviceNorItsStart) {
  Plug(kNoEngines);
  {
    platform::pool::ScopedFaultInjection faults;
    platform::pool::FailNthAllocation(1, kLinkTag);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
  }
  EXPECT_EQ(extension()->EnumLinkRegistered, 0);
  EXPECT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(extension()->EnumLinkEnabled, 0);
  const auto* link = Interface(GUID_ENUM_PRIVATE_INTERFACE);
  EXPECT_TRUE(!link || !link->enabled);
  EXPECT_EQ(Subdevices(), std::vector<std::u16string>{u"Topology"});
}

TEST_F(DriverEntryTest, AFailedAsioRegistrationLeavesNoDeviceBehind) {
  Plug(kNoEngines);
  PDEVICE_OBJECT pdo = port_->pdo();
  const LONG_PTR references = platform::ob::ReferenceCount(pdo);
  {
    platform::pool::ScopedFaultInjection faults;
    platform::pool::FailNthAllocation(2, kLinkTag);
    EXPECT_EQ(Add(), STATUS_INSUFFICIENT_RESOURCES);
  }
  // Nothing stays attached above the device, its reference is given back, and the
  // enumeration link's string is freed (the leak check at teardown).
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  EXPECT_EQ(platform::ob::ReferenceCount(pdo), references);
  // The device can be added again afterwards.
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  EXPECT_EQ(extension()->AsioLinkRegistered, 1);
}

TEST_F(DriverEntryTest, SurpriseRemovalDisablesTheLinksAndRemovalFreesThem) {
  Plug(kNoEngines);
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_EQ(SurpriseRemove(), STATUS_SUCCESS);
  EXPECT_EQ(extension()->EnumLinkEnabled, 0);
  EXPECT_EQ(extension()->EnumLinkRegistered, 1);
  EXPECT_FALSE(Interface(GUID_ENUM_PRIVATE_INTERFACE)->enabled);
  EXPECT_NE(hal(), nullptr);  // the root object stays until the removal
  ASSERT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_TRUE(Subdevices().empty());
}

// A wave subdevice that cannot be unregistered ends the removal's loop with its index
// printed; a surprise removal says nothing of it.
TEST_F(DriverEntryTest, AFailedUnregistrationIsReportedByItsEngineIndex) {
  for (bool surprise : {true, false}) {
    SCOPED_TRACE(surprise);
    Plug(kHeadset);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    platform::debug::ClearMessages();
    platform::portcls::FailSubdeviceUnregistrations(1);
    if (surprise) {
      ASSERT_EQ(SurpriseRemove(), STATUS_SUCCESS);
    }
    ASSERT_EQ(Remove(), STATUS_SUCCESS);
    platform::portcls::FailSubdeviceUnregistrations(0);
    EXPECT_EQ(platform::debug::CountContaining("Remove Miniport Failed StreamEngine ulIdx = "), surprise ? 0u : 1u);
    EXPECT_EQ(platform::debug::CountContaining("Remove Miniport Failed StreamEngine ulIdx = 0\n"), surprise ? 0u : 1u);
    Unplug();
    fdo_ = nullptr;
    removed_ = false;
  }
}

// Power stays with PortCls, which hands device power changes to the adapter it
// registered.
TEST_F(DriverEntryTest, PowerChangesReachTheAdapterThroughPortCls) {
  Plug(kNoEngines);
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  auto* device = static_cast<adapter::CUsbAudioDevice*>(hal());
  auto power = [&](DEVICE_POWER_STATE state) {
    return platform::io::SendSynchronousRequest(port_->pdo(), nullptr, [&](PIRP, PIO_STACK_LOCATION stack) {
             stack->MajorFunction = IRP_MJ_POWER;
             stack->MinorFunction = IRP_MN_SET_POWER;
             stack->Parameters.Power.Type = DevicePowerState;
             stack->Parameters.Power.State.DeviceState = state;
           }).Status;
  };
  EXPECT_EQ(device->GetPowerState(), PowerDeviceD0);
  ASSERT_EQ(power(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(device->GetPowerState(), PowerDeviceD3);
  ASSERT_EQ(power(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(device->GetPowerState(), PowerDeviceD0);

}

// Every allocation of the start failed once: the start reports it, and once Plug and
// Play has removed the device nothing of it is left in the pool.
TEST_F(DriverEntryTest, StartSurvivesEveryAllocationFailure) {
  const std::uint64_t allocations = platform::testing::ForEachAllocationFailure(
      [&](platform::testing::FaultSweep& sweep) {
        removed_ = false;
        Plug(kNoEngines);
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        sweep.Arm();
        const NTSTATUS status = Start();
        if (sweep.Disarm()) {
          if (!NT_SUCCESS(status)) {
            EXPECT_EQ(hal(), nullptr);
            EXPECT_TRUE(Subdevices().empty());
            EXPECT_FALSE(Interface(GUID_ENUM_PRIVATE_INTERFACE)->enabled);
          }
        } else {
          EXPECT_EQ(status, STATUS_SUCCESS);
        }
        ASSERT_EQ(Remove(), STATUS_SUCCESS);
        Unplug();
        EXPECT_EQ(TopologyControl().live, 0u);
      },
      4000);
  EXPECT_GT(allocations, 10u);
  std::printf("[ SWEEP    ] the start of a device without engines makes %llu allocations\n",
              static_cast<unsigned long long>(allocations));
}

// The device leaves the bus while the start runs, at a point that moves with the seed:
// whether the start then succeeds or fails, the surprise removal and the removal that
// follow leave nothing registered and nothing allocated (the fixture checks the pool and
// the threads).
TEST_F(DriverEntryTest, ADeviceUnpluggedDuringItsStartGoesAwayCleanly) {
  for (const char* device : {kNoEngines, kHeadset}) {
    SCOPED_TRACE(device);
    removed_ = false;
    Plug(device);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    NTSTATUS started = STATUS_PENDING;
    {
      platform::clock::Thread pnp("pnp start", [&] { started = Start(); });
      platform::testing::DelayMs(static_cast<LONGLONG>(seed() % 40));
      port_->controller().RemoveDevice();
      pnp.Join();
    }
    EXPECT_NE(started, STATUS_PENDING);
    ASSERT_EQ(SurpriseRemove(), STATUS_SUCCESS);
    if (!NT_SUCCESS(started)) {
      EXPECT_EQ(hal(), nullptr);
    }
    EXPECT_FALSE(Interface(GUID_ENUM_PRIVATE_INTERFACE)->enabled);
    ASSERT_EQ(Remove(), STATUS_SUCCESS);
    EXPECT_TRUE(Subdevices().empty());
    EXPECT_EQ(TopologyControl().live, 0u);
    Unplug();
  }
}

}  // namespace
}  // namespace entry_test
