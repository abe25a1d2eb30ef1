// The root USB device object at its edges: descriptors that come back shorter than they
// say, a bus interface without a context, a second start, a model-string read that runs
// out of memory, and port recovery whose retry finds the port empty or resets it while a
// power change could run.
#include <gtest/gtest.h>

#include <cstring>

#include "kernel/clock.h"
#include "usb_device_fixture.h"

namespace usb_device_test {
namespace {

using adapter::FunctionClass;
namespace reg = platform::registry;

constexpr UCHAR kGetDescriptor = 6;
constexpr UCHAR kDeviceType = 1, kConfigurationType = 2, kStringType = 3;

using Edges = UsbDeviceTest;

// Answers GET_DESCRIPTOR of `type` (and string `index`) with `reply`, cut to what the
// host asked for; every other request goes to the device.
void Answer(sim::device::SimDevice& sim, UCHAR type, UCHAR index, Bytes reply, bool onlyLongReads = false) {
  sim.SetRequestHook([=](const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                         std::uint8_t* data) -> std::optional<platform::usb::ControlResult> {
    if (setup.bmRequestType != 0x80 || setup.bRequest != kGetDescriptor || (setup.wValue >> 8) != type ||
        (setup.wValue & 0xFF) != index)
      return std::nullopt;
    if (onlyLongReads && setup.wLength <= 9) return std::nullopt;
    const ULONG n = std::min<ULONG>(static_cast<ULONG>(reply.size()), setup.wLength);
    if (n) std::memcpy(data, reply.data(), n);
    return platform::usb::ControlResult{USBD_STATUS_SUCCESS, n};
  });
}

// A device descriptor must come whole: 18 bytes.
TEST_F(Edges, DeviceDescriptorShorterThan18BytesIsRefused) {
  const struct {
    ULONG bytes;
    NTSTATUS status;
  } cases[] = {{18, STATUS_SUCCESS}, {17, STATUS_UNSUCCESSFUL}, {8, STATUS_UNSUCCESSFUL}, {0, STATUS_UNSUCCESSFUL}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    ScopedFactories factories;
    Log() = FunctionLog{};
    const Bytes descriptor = DeviceDescriptor(0x1234, 0x5678);
    Plug(descriptor, Speaker());
    Answer(*sim_, kDeviceType, 0, Bytes(descriptor.begin(), descriptor.begin() + c.bytes));
    EXPECT_EQ(Start(), c.status);
    EXPECT_EQ(Log().created.size(), c.status == STATUS_SUCCESS ? 1u : 0u);
    TearDownDevice();
  }
}

// A configuration that arrives shorter than its wTotalLength is kept as far as it came.
TEST_F(Edges, ShortConfigurationTransferTrimsTheKeptLength) {
  const Bytes full = Speaker();
  const struct {
    ULONG sent;
  } cases[] = {{static_cast<ULONG>(full.size())}, {static_cast<ULONG>(full.size()) - 7}, {18}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    ScopedFactories factories;
    Plug(DeviceDescriptor(0x1234, 0x5678), full);
    Answer(*sim_, kConfigurationType, 0, Bytes(full.begin(), full.begin() + c.sent), true);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    PUSB_CONFIGURATION_DESCRIPTOR config = device()->GetConfigurationDescriptor();
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config->wTotalLength, c.sent);
    // Everything else is as it came.
    const auto* kept = reinterpret_cast<const UCHAR*>(config);
    EXPECT_EQ(Bytes(kept, kept + 2), Bytes(full.begin(), full.begin() + 2));
    EXPECT_EQ(Bytes(kept + 4, kept + c.sent), Bytes(full.begin() + 4, full.begin() + c.sent));
    TearDownDevice();
  }
}

// The name written to the Enum key is the text both bLength and the transfer cover, in
// whole characters: its byte length (with the terminator) is never more than came.
TEST_F(Edges, DeviceStringValueLengthIsWhatWasTransferredInWholeCharacters) {
  const struct {
    const char* what;
    Bytes reply;
    ULONG valueBytes;  // REG_SZ bytes, terminator included
    std::u16string text;
  } cases[] = {
      {"bLength past an odd transfer", {0xFF, 3, 'B', 0, 'o', 0, 'x', 0, 'y'}, 8, u"Box"},
      {"bLength past an even transfer", {0xFF, 3, 'B', 0, 'o', 0, 'x', 0, 'y', 0}, 10, u"Boxy"},
      {"bLength within the transfer", {6, 3, 'B', 0, 'o', 0, 'x', 0, 'y', 0}, 6, u"Bo"},
      {"one odd byte of text", {0xFF, 3, 'B'}, 0, u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedFactories factories;
    Plug(DeviceDescriptor(0x1234, 0x5678, 0, 2), Speaker());
    reg::DeleteValue(EnumPath(), u"FriendlyName");
    Answer(*sim_, kStringType, 2, c.reply);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const auto value = reg::GetValue(EnumPath(), u"FriendlyName");
    if (!c.valueBytes) {
      EXPECT_FALSE(value.has_value());
    } else {
      ASSERT_TRUE(value.has_value());
      EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
      ASSERT_EQ(value->data.size(), c.valueBytes);
      std::u16string text(c.valueBytes / 2, u'\0');
      std::memcpy(text.data(), value->data.data(), c.valueBytes);
      EXPECT_EQ(text, c.text + u'\0');
    }
    TearDownDevice();
  }
}

// A read of the model string that fails for want of memory is a missing model string:
// the device gets the plain UAC 1.0 function (or the one the fallback index names).
TEST_F(Edges, ModelStringReadOutOfMemoryFallsBackLikeAnyFailedRead) {
  const struct {
    const char* what;
    std::optional<std::u16string> at50, at32;
    std::uint32_t failedReads;  // of the model-string reads, from the first
    FunctionClass function;
  } cases[] = {
      {"both reads", u"7403", u"7415", 2, FunctionClass::Uac1},
      {"first read", u"7403", u"7415", 1, FunctionClass::ChipC},
      {"none", u"7403", u"7415", 0, FunctionClass::ChipB},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedFactories factories;
    Log() = FunctionLog{};
    sim::device::DeviceProfile profile;
    if (c.at50) profile.strings[0x50] = *c.at50;
    if (c.at32) profile.strings[0x32] = *c.at32;
    Plug(DeviceDescriptor(0x1234, 0x5678, 0, 0), Speaker(), profile);
    // Descriptor reads before the model string: device, configuration head, configuration.
    // A hook that fires stops the count of the ones after it, so each later one also
    // names the fourth read from now.
    for (std::uint32_t i = 0; i < c.failedReads; ++i)
      bus().FailNthUrb(4, USBD_STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES,
                       URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Log().created, std::vector<FunctionClass>{c.function});
    TearDownDevice();
  }
}

// A second Init of a started device is refused and changes nothing: a device marked
// gone stays gone, and the running selective-suspend clock is left alone.
TEST_F(Edges, SecondInitIsRefused) {
  ScopedFactories factories;
  Log().engines = 2;
  Plug(DeviceDescriptor(0x1234, 0x5678), Speaker());
  reg::SetDword(ParametersPath(), u"SelectiveSuspendEnabled", 1);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  const auto urbs = bus().urbs_submitted();
  device()->SetDevicePresent(0);
  EXPECT_EQ(hal_->Init(nullptr, fdo_, lower_, port_->pdo()), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(device()->IsPresent(), 0);
  EXPECT_EQ(bus().urbs_submitted(), urbs);
  EXPECT_EQ(Log().created.size(), 1u);
  EXPECT_EQ(device()->GetEngineCount(), 2u);
  EXPECT_EQ(port_->interface_references(), 1);
}

// A bus driver whose interface query succeeds without a context: the probe fails, and
// the reference the query handed out is dropped again.
struct NullContextBus {
  static inline PDEVICE_OBJECT port = nullptr;
  static inline LONG references = 0;
  static void Reference(PVOID) { ++references; }
  static void Dereference(PVOID) { --references; }
  static NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_INTERFACE) {
      auto* bi = reinterpret_cast<USB_BUS_INTERFACE_USBDI_V1*>(stack->Parameters.QueryInterface.Interface);
      std::memset(bi, 0, sizeof *bi);
      bi->Size = sizeof *bi;
      bi->Version = USB_BUSIF_USBDI_VERSION_1;
      bi->InterfaceReference = Reference;
      bi->InterfaceDereference = Dereference;
      Reference(nullptr);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(port, irp);
  }
};

TEST_F(Edges, BusInterfaceWithoutContextIsReleasedAndRefused) {
  ScopedFactories factories;
  Plug(DeviceDescriptor(0x1234, 0x5678), Speaker());
  PDRIVER_OBJECT filterDriver = platform::io::CreateDriverObject(u"\\Driver\\nullbus");
  for (auto& dispatch : filterDriver->MajorFunction) dispatch = NullContextBus::Dispatch;
  PDEVICE_OBJECT filter = nullptr;
  ASSERT_EQ(IoCreateDevice(filterDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter), STATUS_SUCCESS);
  filter->StackSize = static_cast<CCHAR>(port_->pdo()->StackSize + 1);
  filter->Flags &= ~DO_DEVICE_INITIALIZING;
  NullContextBus::port = port_->pdo();
  NullContextBus::references = 0;

  ASSERT_EQ(adapter::CreateUsbAudioDevice(&hal_), STATUS_SUCCESS);
  EXPECT_EQ(hal_->Init(nullptr, fdo_, filter, port_->pdo()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(NullContextBus::references, 0);
  EXPECT_TRUE(Log().created.empty());
  Stop();
  EXPECT_EQ(NullContextBus::references, 0);
  IoDeleteDevice(filter);
  platform::io::DeleteDriverObject(filterDriver);
}

// Port recovery when the retry of the port status succeeds: connected resets the port
// and cycles the function's power under the port mutex, without the ASIO and power mutex
// (which comes before it); not connected marks the device gone and resets nothing.
TEST_F(Edges, PortRetryThatFindsThePortEmptyMarksTheDeviceGone) {
  const struct {
    const char* what;
    bool unplugged;
    bool gone;
    std::uint32_t resets, cycles;
    std::vector<DEVICE_POWER_STATE> power;
  } cases[] = {
      {"retry finds the device", false, false, 1, 0, {PowerDeviceD3, PowerDeviceD0}},
      {"retry finds the port empty", true, true, 0, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedFactories factories;
    Log() = FunctionLog{};
    Plug(DeviceDescriptor(0x1234, 0x5678), Speaker());
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    std::vector<bool> underMutex;
    Log().onPower = [&](DEVICE_POWER_STATE) {
      underMutex.push_back(device()->PortMutex()->OwnerThread == KeGetCurrentThread() &&
                           device()->AsioPowerMutex()->OwnerThread != KeGetCurrentThread());
    };
    bus().FailPortStatus(STATUS_NO_SUCH_DEVICE, 1);
    if (c.unplugged) bus().RemoveDevice(STATUS_DEVICE_NOT_CONNECTED, 0);
    platform::clock::Settle();
    EXPECT_EQ(device()->CheckPort(), c.gone);
    EXPECT_EQ(device()->IsPresent(), c.gone ? 0 : 1);
    EXPECT_EQ(bus().reset_count(), c.resets);
    EXPECT_EQ(bus().cycle_count(), c.cycles);
    EXPECT_EQ(Log().power, c.power);
    EXPECT_EQ(underMutex, std::vector<bool>(c.power.size(), true));
    EXPECT_EQ(KeReadStateMutex(device()->AsioPowerMutex()), 1);
    EXPECT_EQ(KeReadStateMutex(device()->PortMutex()), 1);  // released again
    Log().onPower = nullptr;
    TearDownDevice();
  }
}

}  // namespace
}  // namespace usb_device_test
