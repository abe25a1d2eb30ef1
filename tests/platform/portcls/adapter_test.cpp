// The adapter side of PortCls driven by IRPs as the PnP, power and I/O managers send
// them: driver initialisation, the device and its extension, start with a resource list,
// power changes reaching the adapter and the miniports, capabilities, KS requests on a
// filter handle, removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "installed.h"
#include "kernel/po.h"
#include "portcls/ksclient.h"
#include "portcls/pcplatform.h"
#include "support/kernel_fixture.h"

namespace {

using fakes::FakeTopologyMiniport;
using fakes::FakeWaveMiniport;

// Power events in the order the bus and the adapter see them ("bus D0", "adapter D3",
// "bus S3").
std::vector<std::string> g_powerLog;

// The adapter's power-management object.
class FakeAdapter final : public CUnknown, public IAdapterPowerManagement {
 public:
  explicit FakeAdapter(PUNKNOWN outer) : CUnknown(outer) {}
  DECLARE_STD_UNKNOWN();
  STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override {
    changes.push_back(NewState.DeviceState);
    g_powerLog.push_back("adapter D" + std::to_string(NewState.DeviceState - 1));
    // The miniports hear of a power-down first and of a power-up last.
    miniportStateSeen = topology ? topology->lastPower : PowerDeviceUnspecified;
  }
  STDMETHODIMP QueryPowerChangeState(POWER_STATE NewStateQuery) override {
    return NewStateQuery.DeviceState == PowerDeviceD1 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  }
  STDMETHODIMP QueryDeviceCapabilities(PDEVICE_CAPABILITIES caps) override {
    caps->SurpriseRemovalOK = 1;
    return STATUS_SUCCESS;
  }
  std::vector<DEVICE_POWER_STATE> changes;
  DEVICE_POWER_STATE miniportStateSeen = PowerDeviceUnspecified;
  FakeTopologyMiniport* topology = nullptr;
};

STDMETHODIMP FakeAdapter::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUID(iid, IID_IAdapterPowerManagement)) {
    *object = static_cast<IAdapterPowerManagement*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

// What the start routine built, for the test to look at.
struct Started {
  PDEVICE_OBJECT fdo = nullptr;
  ULONG resources = 99;
  NTSTATUS thirdRegistration = 0;
  FakeAdapter* adapter = nullptr;
  FakeTopologyMiniport* topology = nullptr;
  FakeWaveMiniport* wave = nullptr;
  PPORT topologyPort = nullptr;
  PPORT wavePort = nullptr;
};
Started* g_started = nullptr;
PDRIVER_OBJECT g_driver = nullptr;

NTSTATUS StartRoutine(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources) {
  Started& s = *g_started;
  s.fdo = fdo;
  s.resources = resources->NumberOfEntries();
  s.topology = FakeTopologyMiniport::Create();
  s.wave = FakeWaveMiniport::Create(false);
  PcNewPort(&s.topologyPort, CLSID_PortTopology);
  PcNewPort(&s.wavePort, CLSID_PortWaveCyclic);
  NTSTATUS status = s.topologyPort->Init(fdo, irp, static_cast<IMiniportTopology*>(s.topology), nullptr, resources);
  if (NT_SUCCESS(status)) status = s.wavePort->Init(fdo, irp, static_cast<IMiniportWaveCyclic*>(s.wave), nullptr, resources);
  WCHAR topo[] = u"Topo";
  WCHAR wave[] = u"SPKOut00Wave";
  WCHAR extra[] = u"Extra";
  if (NT_SUCCESS(status)) status = PcRegisterSubdevice(fdo, topo, s.topologyPort);
  if (NT_SUCCESS(status)) status = PcRegisterSubdevice(fdo, wave, s.wavePort);
  if (NT_SUCCESS(status))
    status = PcRegisterPhysicalConnection(fdo, s.wavePort, FakeWaveMiniport::kBridgePin, s.topologyPort, 0);
  // The device was added for two subdevices.
  s.thirdRegistration = PcRegisterSubdevice(fdo, extra, s.topologyPort);
  s.adapter = new (NonPagedPool, MakePoolTag('T', 'e', 's', 't')) FakeAdapter(nullptr);
  s.adapter->NonDelegatingAddRef();
  s.adapter->topology = s.topology;
  if (NT_SUCCESS(status)) status = PcRegisterAdapterPowerManagement(static_cast<IAdapterPowerManagement*>(s.adapter), fdo);
  return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  return PcAddAdapterDevice(driver, pdo, StartRoutine, 2, 696);
}

NTSTATUS BusDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
      const auto& power = stack->Parameters.Power;
      g_powerLog.push_back(power.Type == DevicePowerState ? "bus D" + std::to_string(power.State.DeviceState - 1)
                                                          : "bus S" + std::to_string(power.State.SystemState - 1));
    }
  }
  if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
    DEVICE_CAPABILITIES* caps = stack->Parameters.DeviceCapabilities.Capabilities;
    caps->Removable = 1;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

class AdapterTest : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    g_started = &started;
    bus = platform::io::CreateDriverObject(u"\\Driver\\FakeBus");
    for (auto& dispatch : bus->MajorFunction) dispatch = BusDispatch;
    ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo), STATUS_SUCCESS);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    driver = platform::io::CreateDriverObject(u"\\Driver\\FakeAudio");
    g_driver = driver;
  }
  void TearDown() override {
    if (started.fdo && !removed) Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    if (started.adapter) started.adapter->Release();
    for (IUnknown* u : {static_cast<IUnknown*>(started.topologyPort), static_cast<IUnknown*>(started.wavePort)})
      if (u) u->Release();
    if (started.topology) started.topology->Release();
    if (started.wave) started.wave->Release();
    IoDeleteDevice(pdo);
    platform::io::DeleteDriverObject(driver);
    platform::io::DeleteDriverObject(bus);
    platform::io::ResetDeviceInterfaces();
    KernelTest::TearDown();
  }

  IO_STATUS_BLOCK Send(UCHAR major, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill = nullptr,
                       PFILE_OBJECT file = nullptr) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
    return platform::io::SendSynchronousRequest(top, file, [&](PIRP, PIO_STACK_LOCATION stack) {
      stack->MajorFunction = major;
      stack->MinorFunction = minor;
      if (fill) fill(stack);
    });
  }

  void AddAndStart() {
    ASSERT_EQ(PcInitializeAdapterDriver(driver, nullptr, AddDevice), STATUS_SUCCESS);
    ASSERT_EQ(driver->DriverExtension->AddDevice(driver, pdo), STATUS_SUCCESS);
    ASSERT_EQ(Send(IRP_MJ_PNP, IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
    ASSERT_NE(started.fdo, nullptr);
  }

  IO_STATUS_BLOCK SetPower(UCHAR minor, DEVICE_POWER_STATE state) {
    return Send(IRP_MJ_POWER, minor, [&](PIO_STACK_LOCATION stack) {
      stack->Parameters.Power.Type = DevicePowerState;
      stack->Parameters.Power.State.DeviceState = state;
    });
  }

  Started started;
  PDRIVER_OBJECT bus = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  bool removed = false;
};

TEST_F(AdapterTest, AddDeviceMakesTheFunctionalDeviceWithTheDriversExtension) {
  ASSERT_EQ(PcInitializeAdapterDriver(driver, nullptr, AddDevice), STATUS_SUCCESS);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], PcDispatchIrp);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_POWER], PcDispatchIrp);
  EXPECT_EQ(PcAddAdapterDevice(driver, pdo, StartRoutine, 20, 100), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(driver->DriverExtension->AddDevice(driver, pdo), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = IoGetAttachedDevice(pdo);
  ASSERT_NE(fdo, pdo);
  EXPECT_EQ(fdo->DeviceType, FILE_DEVICE_KS);
  EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
  const BYTE* extension = static_cast<const BYTE*>(fdo->DeviceExtension);
  EXPECT_TRUE(std::all_of(extension + PORT_CLASS_DEVICE_EXTENSION_SIZE, extension + 696, [](BYTE b) { return b == 0; }));
  started.fdo = fdo;  // removed by the teardown
}

TEST_F(AdapterTest, StartRunsTheStartRoutineAndRegistersItsSubdevices) {
  AddAndStart();
  EXPECT_EQ(started.resources, 0u);
  EXPECT_EQ(started.thirdRegistration, STATUS_INSUFFICIENT_RESOURCES);
  auto list = platform::ks::EnumerateSubdevices();
  EXPECT_EQ(std::count_if(list.begin(), list.end(), [&](const auto& s) { return s.device == started.fdo; }), 2);

  // Each subdevice is a device interface per category, on the physical device.
  auto Interface = [&](const GUID& category) {
    auto interfaces = platform::io::DeviceInterfaces(&category);
    auto it = std::find_if(interfaces.begin(), interfaces.end(),
                           [&](const auto& i) { return i.referenceString == u"SPKOut00Wave"; });
    return it == interfaces.end() ? nullptr : std::make_unique<platform::io::DeviceInterface>(*it);
  };
  auto render = Interface(KSCATEGORY_RENDER);
  ASSERT_NE(render, nullptr);
  EXPECT_TRUE(render->enabled);
  EXPECT_EQ(render->physicalDeviceObject, pdo);
  ASSERT_NE(Interface(KSCATEGORY_AUDIO), nullptr);
  EXPECT_EQ(Interface(KSCATEGORY_CAPTURE), nullptr);

  // Removal takes what the driver left registered away with the device.
  ASSERT_EQ(Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
  removed = true;
  EXPECT_FALSE(Interface(KSCATEGORY_RENDER)->enabled);
  EXPECT_EQ(IoGetAttachedDevice(pdo), pdo);
  list = platform::ks::EnumerateSubdevices();
  EXPECT_TRUE(std::none_of(list.begin(), list.end(), [&](const auto& s) { return s.device == started.fdo; }));
}

TEST_F(AdapterTest, PowerRequestsReachTheAdapterAndTheMiniportsInOrder) {
  AddAndStart();
  EXPECT_EQ(SetPower(IRP_MN_QUERY_POWER, PowerDeviceD1).Status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(SetPower(IRP_MN_QUERY_POWER, PowerDeviceD3).Status, STATUS_SUCCESS);
  EXPECT_TRUE(started.adapter->changes.empty());

  ASSERT_EQ(SetPower(IRP_MN_SET_POWER, PowerDeviceD3).Status, STATUS_SUCCESS);
  EXPECT_EQ(started.adapter->changes, std::vector<DEVICE_POWER_STATE>{PowerDeviceD3});
  EXPECT_EQ(started.adapter->miniportStateSeen, PowerDeviceD3);  // miniports first on the way down
  EXPECT_EQ(started.wave->lastPower, PowerDeviceD3);
  EXPECT_EQ(platform::po::DevicePowerState(started.fdo), PowerDeviceD3);

  ASSERT_EQ(SetPower(IRP_MN_SET_POWER, PowerDeviceD0).Status, STATUS_SUCCESS);
  EXPECT_EQ(started.adapter->miniportStateSeen, PowerDeviceD3);  // the adapter first on the way up
  EXPECT_EQ(started.topology->lastPower, PowerDeviceD0);
  // The same state again changes nothing.
  ASSERT_EQ(SetPower(IRP_MN_SET_POWER, PowerDeviceD0).Status, STATUS_SUCCESS);
  EXPECT_EQ(started.adapter->changes.size(), 2u);
}

TEST_F(AdapterTest, TheBusPowersUpBeforeTheAdapterAndDownAfterIt) {
  AddAndStart();
  g_powerLog.clear();
  ASSERT_EQ(SetPower(IRP_MN_SET_POWER, PowerDeviceD3).Status, STATUS_SUCCESS);
  ASSERT_EQ(SetPower(IRP_MN_SET_POWER, PowerDeviceD0).Status, STATUS_SUCCESS);
  EXPECT_EQ(g_powerLog, (std::vector<std::string>{"adapter D3", "bus D3", "bus D0", "adapter D0"}));
}

TEST_F(AdapterTest, SystemPowerIrpsBecomeDevicePowerIrpsThroughTheCapabilities) {
  AddAndStart();
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(caps);
  ASSERT_EQ(Send(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                 [&](PIO_STACK_LOCATION stack) { stack->Parameters.DeviceCapabilities.Capabilities = &caps; })
                .Status,
            STATUS_SUCCESS);
  auto SetSystem = [&](SYSTEM_POWER_STATE state) {
    return Send(IRP_MJ_POWER, IRP_MN_SET_POWER, [&](PIO_STACK_LOCATION stack) {
      stack->Parameters.Power.Type = SystemPowerState;
      stack->Parameters.Power.State.SystemState = state;
    });
  };
  g_powerLog.clear();
  ASSERT_EQ(SetSystem(PowerSystemSleeping3).Status, STATUS_SUCCESS);
  ASSERT_EQ(SetSystem(PowerSystemWorking).Status, STATUS_SUCCESS);
  ASSERT_EQ(SetSystem(PowerSystemHibernate).Status, STATUS_SUCCESS);
  // S3 maps to D2 as the bus said; the device goes down before the system IRP passes and
  // comes up after it.
  std::vector<std::string> expected = {"adapter D2", "bus D2", "bus S3", "bus S0", "bus D0", "adapter D0",
                                       "adapter D3", "bus D3", "bus S4"};
  EXPECT_EQ(g_powerLog, expected);
  EXPECT_EQ(started.adapter->changes,
            (std::vector<DEVICE_POWER_STATE>{PowerDeviceD2, PowerDeviceD0, PowerDeviceD3}));
}

TEST_F(AdapterTest, CapabilitiesComeBackWithTheAdaptersAnswer) {
  AddAndStart();
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(caps);
  caps.Version = 1;
  ASSERT_EQ(Send(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                 [&](PIO_STACK_LOCATION stack) { stack->Parameters.DeviceCapabilities.Capabilities = &caps; })
                .Status,
            STATUS_SUCCESS);
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
  EXPECT_EQ(caps.Removable, 1u);  // what the bus filled stays
}

TEST_F(AdapterTest, KsPropertyRequestsOnAFilterHandle) {
  AddAndStart();
  PFILE_OBJECT file = platform::io::CreateFileObject(started.fdo, u"\\Topo");
  ASSERT_EQ(Send(IRP_MJ_CREATE, 0, nullptr, file).Status, STATUS_SUCCESS);
  KSPROPERTY ctypes{};
  ctypes.Set = KSPROPSETID_Pin;
  ctypes.Id = KSPROPERTY_PIN_CTYPES;
  ctypes.Flags = KSPROPERTY_TYPE_GET;
  ULONG pins = 0;
  ULONG_PTR returned = 0;
  EXPECT_EQ(platform::io::DeviceIoControl(started.fdo, file, IOCTL_KS_PROPERTY, &ctypes, sizeof(ctypes), nullptr, 0,
                                          &returned),
            STATUS_BUFFER_OVERFLOW);
  ASSERT_EQ(platform::io::DeviceIoControl(started.fdo, file, IOCTL_KS_PROPERTY, &ctypes, sizeof(ctypes), &pins,
                                          sizeof(pins), &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(pins, 2u);
  // A warning keeps its data and byte count on the way back to the caller.
  KSPROPERTY partial{};
  partial.Set = fakes::KSPROPSETID_FakeDiagnostics;
  partial.Id = fakes::kDiagnosticPartial;
  partial.Flags = KSPROPERTY_TYPE_GET;
  BYTE answer[16] = {};
  EXPECT_EQ(platform::io::DeviceIoControl(started.fdo, file, IOCTL_KS_PROPERTY, &partial, sizeof(partial), answer, 6,
                                          &returned),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 6u);
  EXPECT_EQ(answer[5], 5u);
  EXPECT_EQ(Send(IRP_MJ_CLOSE, 0, nullptr, file).Status, STATUS_SUCCESS);
  ObDereferenceObject(file);

  PFILE_OBJECT missing = platform::io::CreateFileObject(started.fdo, u"\\Nothing");
  EXPECT_EQ(Send(IRP_MJ_CREATE, 0, nullptr, missing).Status, STATUS_OBJECT_NAME_NOT_FOUND);
  ObDereferenceObject(missing);
}

// KSPROPERTY_PIN_PHYSICALCONNECTION at a pin: the other filter's full symbolic link (its
// audio-category interface) and its pin.
std::pair<std::u16string, ULONG> PhysicalConnection(PDEVICE_OBJECT fdo, const std::u16string& filterName, ULONG pin) {
  std::unique_ptr<platform::ks::Filter> filter;
  EXPECT_EQ(platform::ks::OpenFilter(fdo, filterName, &filter), STATUS_SUCCESS);
  if (!filter) return {};
  KSP_PIN p{};
  p.Property.Set = KSPROPSETID_Pin;
  p.Property.Id = KSPROPERTY_PIN_PHYSICALCONNECTION;
  p.Property.Flags = KSPROPERTY_TYPE_GET;
  p.PinId = pin;
  ULONG needed = 0;
  EXPECT_EQ(filter->Property(&p, sizeof(p), nullptr, 0, &needed), STATUS_BUFFER_OVERFLOW);
  std::vector<BYTE> answer(needed);
  ULONG returned = 0;
  EXPECT_EQ(filter->Property(&p, sizeof(p), answer.data(), needed, &returned), STATUS_SUCCESS);
  if (returned < offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName) + sizeof(WCHAR)) return {};
  ULONG otherPin = 0;
  std::memcpy(&otherPin, answer.data() + sizeof(ULONG), sizeof(otherPin));
  std::u16string link;
  for (size_t at = offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName); at + 1 < returned; at += 2) {
    char16_t c;
    std::memcpy(&c, answer.data() + at, sizeof(c));
    if (!c) break;
    link.push_back(c);
  }
  return {link, otherPin};
}

std::u16string AudioLinkOf(const std::u16string& reference) {
  for (const auto& i : platform::io::DeviceInterfaces(&KSCATEGORY_AUDIO))
    if (i.referenceString == reference && i.enabled) return i.symbolicLink;
  return {};
}

TEST_F(AdapterTest, PhysicalConnectionsNameTheOtherFiltersLinkAndPin) {
  AddAndStart();
  std::u16string waveLink = AudioLinkOf(u"SPKOut00Wave");
  std::u16string topologyLink = AudioLinkOf(u"Topo");
  ASSERT_FALSE(waveLink.empty());
  ASSERT_FALSE(topologyLink.empty());
  EXPECT_EQ(PhysicalConnection(started.fdo, u"Topo", 0), std::make_pair(waveLink, FakeWaveMiniport::kBridgePin));
  EXPECT_EQ(PhysicalConnection(started.fdo, u"SPKOut00Wave", FakeWaveMiniport::kBridgePin),
            std::make_pair(topologyLink, 0u));
}

TEST_F(AdapterTest, CompleteIrpAndForwardedContent) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  ASSERT_NE(irp, nullptr);
  IoSetNextIrpStackLocation(irp);
  EXPECT_EQ(PcCompleteIrp(pdo, irp, STATUS_PENDING), STATUS_PENDING);  // left to the caller
  EXPECT_EQ(PcCompleteIrp(pdo, irp, STATUS_DEVICE_BUSY), STATUS_DEVICE_BUSY);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_DEVICE_BUSY);
  IoFreeIrp(irp);

  platform::portcls::ClearForwardedContents();
  DRMFORWARD forward{DRMFORWARD_FLAGS_NONE, pdo, nullptr, nullptr};
  EXPECT_EQ(PcForwardContentToDeviceObject(7, nullptr, &forward), STATUS_SUCCESS);
  EXPECT_EQ(PcForwardContentToDeviceObject(8, nullptr, nullptr), STATUS_INVALID_PARAMETER);
  auto records = platform::portcls::ForwardedContents();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].contentId, 7u);
  EXPECT_EQ(records[0].forward.DeviceObject, pdo);
}

}  // namespace

namespace {

// The framework's registrations are PASSIVE_LEVEL only: each is reported when made at
// DISPATCH_LEVEL (with arguments it refuses, so nothing changes), silent at PASSIVE_LEVEL.
class PassiveOnlyRegistrations : public platform::testing::KernelTest {};

TEST_F(PassiveOnlyRegistrations, AreReportedAtDispatchLevel) {
  struct Call {
    const char* api;
    NTSTATUS (*call)();
  };
  const Call calls[] = {
      {"PcRegisterSubdevice", [] { return PcRegisterSubdevice(nullptr, nullptr, nullptr); }},
      {"PcRegisterPhysicalConnection", [] { return PcRegisterPhysicalConnection(nullptr, nullptr, 0, nullptr, 0); }},
      {"PcAddAdapterDevice", [] { return PcAddAdapterDevice(nullptr, nullptr, nullptr, 0, 0); }},
      {"PcRegisterAdapterPowerManagement", [] { return PcRegisterAdapterPowerManagement(nullptr, nullptr); }},
      {"PcInitializeAdapterDriver", [] { return PcInitializeAdapterDriver(nullptr, nullptr, nullptr); }},
  };
  for (const Call& c : calls) {
    SCOPED_TRACE(c.api);
    {
      platform::verifier::ScopedCapture capture;
      EXPECT_EQ(c.call(), STATUS_INVALID_PARAMETER);
      EXPECT_TRUE(capture.violations().empty());
    }
    platform::verifier::ScopedCapture capture;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(c.call(), STATUS_INVALID_PARAMETER);
    KeLowerIrql(old);
    ASSERT_EQ(capture.violations().size(), 1u);
    EXPECT_EQ(capture.violations()[0].check, platform::verifier::Check::CallAboveIrql);
    EXPECT_EQ(capture.violations()[0].api, c.api);
    EXPECT_NE(capture.violations()[0].caller.find("adapter_test.cpp"), std::string::npos);
  }
}

}  // namespace
