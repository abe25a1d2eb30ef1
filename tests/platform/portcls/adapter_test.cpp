// The adapter side of PortCls driven by IRPs as the PnP, power and I/O managers send
// them: driver initialisation, the device and its extension, start with a resource list,
// power changes reaching the adapter and the miniports, capabilities, KS requests on a
// filter handle, removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
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

// The dispatch an adapter driver puts in front of PortCls, as each request passes it:
// "create filter", "create pin", "close pin", "control filter 2F0003" and so on.
std::vector<std::string> g_dispatchLog;

NTSTATUS RecordingDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const std::string kind = stack->FileObject && stack->FileObject->RelatedFileObject ? "pin" : "filter";
  char code[16] = "";
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL)
    std::snprintf(code, sizeof code, " %X", static_cast<unsigned>(stack->Parameters.DeviceIoControl.IoControlCode));
  const char* verb = stack->MajorFunction == IRP_MJ_CREATE  ? "create "
                     : stack->MajorFunction == IRP_MJ_CLOSE ? "close "
                                                            : "control ";
  g_dispatchLog.push_back(verb + kind + code);
  return PcDispatchIrp(device, irp);
}

class KsHandles : public AdapterTest {
 protected:
  void SetUp() override {
    AdapterTest::SetUp();
    g_dispatchLog.clear();
    AddAndStart();
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL}) driver->MajorFunction[major] = RecordingDispatch;
  }
  // Opens the wave filter and a pin on it, removes the device (after a surprise removal
  // or not) and closes them again.
  void RemoveWithAFilterAndAPinOpen(bool surprise);
  // The KSPIN_CONNECT and data format of the wave filter's streaming pin.
  static std::vector<BYTE> StreamingConnect() {
    KSPIN_CONNECT connect{};
    connect.Interface = {KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0};
    connect.Medium = {KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE, 0};
    connect.PinId = FakeWaveMiniport::kStreamingPin;
    const KSDATAFORMAT_WAVEFORMATEXTENSIBLE format = fakes::FakeFormat();
    std::vector<BYTE> bytes(sizeof connect + sizeof format);
    std::memcpy(bytes.data(), &connect, sizeof connect);
    std::memcpy(bytes.data() + sizeof connect, &format, sizeof format);
    return bytes;
  }
  static NTSTATUS SetState(platform::ks::Pin& pin, KSSTATE state) {
    KSPROPERTY p{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET};
    ULONG value = state, returned = 0;
    return pin.Property(&p, sizeof p, &value, sizeof value, &returned);
  }
};

// Filters and pins opened with the KS client on a device PortCls added are IRPs through
// the driver's dispatch: creates (the pin's relative to its filter), property and event
// controls, closes; the answers come back as PortCls gives them, sizes included.
TEST_F(KsHandles, EveryClientRequestPassesTheDriversDispatch) {
  std::unique_ptr<platform::ks::Filter> wave;
  ASSERT_EQ(platform::ks::OpenFilter(started.fdo, u"SPKOut00Wave", &wave), STATUS_SUCCESS);
  KSPROPERTY ctypes{KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET};
  ULONG pins = 0, returned = 0;
  EXPECT_EQ(wave->Property(&ctypes, sizeof ctypes, nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, sizeof(ULONG));  // the size needed
  ASSERT_EQ(wave->Property(&ctypes, sizeof ctypes, &pins, sizeof pins, &returned), STATUS_SUCCESS);
  EXPECT_GE(pins, 2u);

  const std::vector<BYTE> connect = StreamingConnect();
  std::unique_ptr<platform::ks::Pin> pin;
  ASSERT_EQ(wave->CreatePin(connect.data(), static_cast<ULONG>(connect.size()), &pin), STATUS_SUCCESS);
  ASSERT_EQ(SetState(*pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  KSPROPERTY state{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET};
  ULONG current = 0;
  ASSERT_EQ(pin->Property(&state, sizeof state, &current, sizeof current, &returned), STATUS_SUCCESS);
  EXPECT_EQ(current, static_cast<ULONG>(KSSTATE_ACQUIRE));
  // The buffer is the client's mapping: data moves without a request.
  const size_t controls = g_dispatchLog.size();
  EXPECT_GT(pin->BufferSize(), 0u);
  const BYTE data[4] = {1, 2, 3, 4};
  EXPECT_EQ(pin->Write(0, data, sizeof data), STATUS_SUCCESS);
  EXPECT_EQ(g_dispatchLog.size(), controls);
  // A second instance of the pin is refused through the request as directly.
  std::unique_ptr<platform::ks::Pin> second;
  EXPECT_EQ(wave->CreatePin(connect.data(), static_cast<ULONG>(connect.size()), &second),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(second, nullptr);
  pin.reset();
  wave.reset();

  // A control-change event on the topology filter, enabled and disabled by requests.
  std::unique_ptr<platform::ks::Filter> topology;
  ASSERT_EQ(platform::ks::OpenFilter(started.fdo, u"Topo", &topology), STATUS_SUCCESS);
  KSE_NODE event{};
  event.Event = {KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_TOPOLOGY};
  event.NodeId = FakeTopologyMiniport::kVolumeNode;
  int changes = 0;
  platform::ks::EventHandle handle = 0;
  ASSERT_EQ(topology->EnableEvent(&event, sizeof event, [&] { ++changes; }, &handle), STATUS_SUCCESS);
  EXPECT_NE(handle, 0u);
  started.topology->RaiseControlChange(FakeTopologyMiniport::kVolumeNode);
  platform::clock::Settle();
  EXPECT_EQ(changes, 1);
  ASSERT_EQ(topology->DisableEvent(handle), STATUS_SUCCESS);
  EXPECT_EQ(topology->DisableEvent(handle), STATUS_INVALID_PARAMETER);
  started.topology->RaiseControlChange(FakeTopologyMiniport::kVolumeNode);
  platform::clock::Settle();
  EXPECT_EQ(changes, 1);
  topology.reset();

  // (The refused second pin is created and never closed.)
  const std::vector<std::string> expected = {
      "create filter", "control filter 2F0003", "control filter 2F0003", "create pin",
      "control pin 2F0003", "control pin 2F0003", "create pin", "close pin",
      "close filter", "create filter", "control filter 2F0007", "control filter 2F000B",
      "control filter 2F000B", "close filter"};
  EXPECT_EQ(g_dispatchLog, expected);
}

// Requests on handles that PortCls refuses, each with its status and nothing left open.
TEST_F(KsHandles, MalformedRequestsOnHandlesAreRefused) {
  PFILE_OBJECT filter = platform::io::CreateFileObject(started.fdo, u"\\SPKOut00Wave");
  ASSERT_EQ(Send(IRP_MJ_CREATE, 0, nullptr, filter).Status, STATUS_SUCCESS);
  PFILE_OBJECT stranger = platform::io::CreateFileObject(started.fdo, u"\\Elsewhere");
  const std::vector<BYTE> connect = StreamingConnect();
  auto CreatePin = [&](PFILE_OBJECT related, const char16_t* name, const void* buffer, ULONG size) {
    PFILE_OBJECT file = platform::io::CreateFileObject(started.fdo, name);
    file->RelatedFileObject = related;
    NTSTATUS status = platform::io::SendSynchronousRequest(started.fdo, file, [&](PIRP irp, PIO_STACK_LOCATION stack) {
                        stack->MajorFunction = IRP_MJ_CREATE;
                        stack->Parameters.Create.EaLength = size;
                        irp->AssociatedIrp.SystemBuffer = const_cast<void*>(buffer);
                      }).Status;
    if (NT_SUCCESS(status)) Send(IRP_MJ_CLOSE, 0, nullptr, file);
    ObDereferenceObject(file);
    return status;
  };
  auto Control = [&](PFILE_OBJECT file, ULONG code, const void* input, ULONG inputSize, void* output,
                     ULONG outputSize) {
    return Send(IRP_MJ_DEVICE_CONTROL, 0,
                [&](PIO_STACK_LOCATION stack) {
                  stack->Parameters.DeviceIoControl.IoControlCode = code;
                  stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
                  stack->Parameters.DeviceIoControl.InputBufferLength = inputSize;
                  stack->Parameters.DeviceIoControl.OutputBufferLength = outputSize;
                  (void)output;
                },
                file)
        .Status;
  };
  KSPROPERTY ctypes{KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET};
  KSE_NODE event{};
  event.Event = {KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_TOPOLOGY};
  platform::ks::EventHandle unknown = 0x1234;
  struct Row {
    const char* name;
    std::function<NTSTATUS()> send;
    NTSTATUS status;
  };
  const Row rows[] = {
      {"pin relative to a handle PortCls did not open",
       [&] { return CreatePin(stranger, KSSTRING_Pin, connect.data(), static_cast<ULONG>(connect.size())); },
       STATUS_INVALID_DEVICE_REQUEST},
      {"pin under another name",
       [&] { return CreatePin(filter, u"Pin", connect.data(), static_cast<ULONG>(connect.size())); },
       STATUS_OBJECT_NAME_NOT_FOUND},
      {"pin without its connect", [&] { return CreatePin(filter, KSSTRING_Pin, nullptr, 0); },
       STATUS_INVALID_BUFFER_SIZE},
      {"pin with its format cut short",
       [&] { return CreatePin(filter, KSSTRING_Pin, connect.data(), static_cast<ULONG>(sizeof(KSPIN_CONNECT) + 8)); },
       STATUS_INVALID_BUFFER_SIZE},
      {"the filter opened twice on one handle", [&] { return Send(IRP_MJ_CREATE, 0, nullptr, filter).Status; },
       STATUS_INVALID_DEVICE_REQUEST},
      {"property without its request", [&] { return Control(filter, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 4); },
       STATUS_INVALID_PARAMETER},
      {"property on a handle PortCls did not open",
       [&] { return Control(stranger, IOCTL_KS_PROPERTY, &ctypes, sizeof ctypes, nullptr, 0); },
       STATUS_INVALID_DEVICE_REQUEST},
      {"an I/O control KS does not have", [&] { return Control(filter, 0x002F0013, &ctypes, sizeof ctypes, nullptr, 0); },
       STATUS_INVALID_DEVICE_REQUEST},
      {"event without room for its registration",
       [&] { return Control(filter, IOCTL_KS_ENABLE_EVENT, &event, sizeof event, nullptr, 4); },
       STATUS_INVALID_PARAMETER},
      {"disabling an event never enabled",
       [&] { return Control(filter, IOCTL_KS_DISABLE_EVENT, &unknown, sizeof unknown, nullptr, 0); },
       STATUS_INVALID_PARAMETER},
      {"disabling without a handle", [&] { return Control(filter, IOCTL_KS_DISABLE_EVENT, &unknown, 2, nullptr, 0); },
       STATUS_INVALID_PARAMETER},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.send(), row.status);
  }
  // The filter still answers, and closes once.
  ULONG pins = 0;
  ULONG_PTR returned = 0;
  EXPECT_EQ(platform::io::DeviceIoControl(started.fdo, filter, IOCTL_KS_PROPERTY, &ctypes, sizeof ctypes, &pins,
                                          sizeof pins, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(Send(IRP_MJ_CLOSE, 0, nullptr, filter).Status, STATUS_SUCCESS);
  EXPECT_EQ(Send(IRP_MJ_CLOSE, 0, nullptr, stranger).Status, STATUS_SUCCESS);
  ObDereferenceObject(filter);
  ObDereferenceObject(stranger);
}

void KsHandles::RemoveWithAFilterAndAPinOpen(bool surprise) {
  std::unique_ptr<platform::ks::Filter> wave;
  ASSERT_EQ(platform::ks::OpenFilter(started.fdo, u"SPKOut00Wave", &wave), STATUS_SUCCESS);
  const std::vector<BYTE> connect = StreamingConnect();
  std::unique_ptr<platform::ks::Pin> pin;
  ASSERT_EQ(wave->CreatePin(connect.data(), static_cast<ULONG>(connect.size()), &pin), STATUS_SUCCESS);
  ASSERT_EQ(SetState(*pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(platform::io::OpenFileCount(pdo), 2);

  if (surprise) {
    ASSERT_EQ(platform::io::SurpriseRemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(platform::io::RemoveDevice(pdo), STATUS_PENDING);
  } else {
    EXPECT_EQ(platform::io::RemoveDevice(pdo), STATUS_DEVICE_BUSY);
  }
  EXPECT_FALSE(platform::io::DeviceRemoved(pdo));
  KSPROPERTY ctypes{KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET};
  ULONG value = 0, returned = 0;
  EXPECT_EQ(wave->Property(&ctypes, sizeof ctypes, &value, sizeof value, &returned), STATUS_SUCCESS);
  EXPECT_EQ(SetState(*pin, KSSTATE_RUN), STATUS_SUCCESS);
  std::unique_ptr<platform::ks::Filter> late;
  EXPECT_EQ(platform::ks::OpenFilter(started.fdo, u"SPKOut00Wave", &late),
            surprise ? STATUS_DELETE_PENDING : STATUS_SUCCESS);
  late.reset();
  pin.reset();
  EXPECT_FALSE(platform::io::DeviceRemoved(pdo));
  wave.reset();
  EXPECT_EQ(platform::io::OpenFileCount(pdo), 0);
  if (!surprise) {
    EXPECT_EQ(platform::io::RemoveDevice(pdo), STATUS_SUCCESS);
  }
  EXPECT_TRUE(platform::io::DeviceRemoved(pdo));
  removed = true;
}

// A client holds a filter and a pin. A removal that is not a surprise is vetoed while it
// does, and goes through once both are closed.
TEST_F(KsHandles, ARemovalIsVetoedWhileHandlesAreOpen) { RemoveWithAFilterAndAPinOpen(false); }

// After a surprise removal the removal waits for the last handle: requests on the open
// handles still reach the driver, no new handle opens, and the removal comes only once
// the client has let go of both (the pin's close first).
TEST_F(KsHandles, AfterASurpriseRemovalTheRemovalWaitsForTheLastHandle) { RemoveWithAFilterAndAPinOpen(true); }

// A client keeps asking on its filter and then closes it while the device is surprise-
// removed: every request is answered, and the removal comes after the close. Runs under
// scheduler seeds.
TEST_F(KsHandles, RequestsRacingTheRemovalEndCleanly) {
  std::unique_ptr<platform::ks::Filter> wave;
  ASSERT_EQ(platform::ks::OpenFilter(started.fdo, u"SPKOut00Wave", &wave), STATUS_SUCCESS);
  int answered = 0, other = 0;  // read after the join
  {
    platform::clock::Thread client("client", [&] {
      KSPROPERTY ctypes{KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET};
      for (int i = 0; i < 10; ++i) {
        ULONG value = 0, returned = 0;
        NTSTATUS status = wave->Property(&ctypes, sizeof ctypes, &value, sizeof value, &returned);
        if (status == STATUS_SUCCESS && value >= 2)
          ++answered;
        else
          ++other;
        platform::testing::DelayMs(1);
      }
      wave.reset();
    });
    platform::testing::DelayMs(static_cast<LONGLONG>(seed() % 13));
    ASSERT_EQ(platform::io::SurpriseRemoveDevice(pdo), STATUS_SUCCESS);
    const NTSTATUS removal = platform::io::RemoveDevice(pdo);
    EXPECT_TRUE(removal == STATUS_SUCCESS || removal == STATUS_PENDING) << std::hex << removal;
    client.Join();
  }
  EXPECT_TRUE(platform::io::DeviceRemoved(pdo));
  removed = true;
  EXPECT_EQ(other, 0);
  EXPECT_EQ(answered, 10);
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
