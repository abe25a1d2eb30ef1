#include "usb_device_fixture.h"

#include "uac/function_classes.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace usb_device_test {

using adapter::FunctionClass;

FunctionLog& Log() {
  static FunctionLog log;
  return log;
}

CTestFunction::CTestFunction(PUNKNOWN outer, FunctionClass cls, USHORT vendor, USHORT product) : CAudioHal(outer) {
  Log().created.push_back(cls);
  Log().vendor = vendor;
  Log().product = product;
}

STDMETHODIMP CTestFunction::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && Log().answerUacFunction && IsEqualGUID(iid, adapter::IID_IUacFunction))
    return adapter::ReturnInterface<adapter::IUacFunction>(this, object);
  return CAudioHal::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CTestFunction::ProbeDevice() {
  // The function reaches its device through the outer unknown, as the real ones do.
  PVOID itf = nullptr;
  NTSTATUS status = GetOuterUnknown()->QueryInterface(adapter::IID_IUsbAudioDevice, &itf);
  if (!NT_SUCCESS(status)) return status;
  auto* device = static_cast<adapter::IUsbAudioDevice*>(itf);
  const bool configured = device->GetConfigurationDescriptor() && device->GetConfigurationHandle();
  device->Release();
  if (!configured) return STATUS_UNSUCCESSFUL;
  m_CapabilityRecord.FeatureFlags = Log().featureFlags;
  for (ULONG i = 0; i < Log().engines; ++i) {
    adapter::IStreamEngine* engine = nullptr;
    status = adapter::CreateInstance<adapter::CStreamEngine>(&engine, nullptr, NonPagedPool, kTestEngineTag, i);
    if (!NT_SUCCESS(status)) return status;
    status = AddStreamEngine(engine);
    engine->Release();
    if (!NT_SUCCESS(status)) return status;
  }
  return Log().probeStatus;
}

STDMETHODIMP_(void) CTestFunction::PowerChangeState(POWER_STATE NewState) {
  Log().power.push_back(NewState.DeviceState);
  if (Log().onPower) Log().onPower(NewState.DeviceState);
  CAudioHal::PowerChangeState(NewState);
}

STDMETHODIMP CTestFunction::GetCallbackObject(PCALLBACK_OBJECT* object) {
  if (!object) return STATUS_UNSUCCESSFUL;
  *object = CAudioHal::GetCallbackObject();
  return STATUS_SUCCESS;
}

namespace {

template <FunctionClass C>
NTSTATUS Factory(PUNKNOWN* unknown, PUNKNOWN outer, const adapter::FunctionContext& context) {
  return adapter::CreateNonDelegatingInstance<CTestFunction>(unknown, outer, NonPagedPool, kTestFunctionTag, C,
                                                             context.VendorId, context.ProductId);
}

constexpr adapter::FunctionFactory kFactories[] = {
    Factory<FunctionClass::Uac1>,  Factory<FunctionClass::Uac2>,  Factory<FunctionClass::ChipA>,
    Factory<FunctionClass::ChipB>, Factory<FunctionClass::ChipC>, Factory<FunctionClass::ChipD>,
};

}  // namespace

ScopedFactories::ScopedFactories(std::vector<FunctionClass> classes) {
  // The audio layer's rows, with test functions in place of its factories.
  ULONG rows = 0;
  const adapter::FunctionRow* table = uac::FunctionClassRows(&rows);
  savedRows_ = adapter::SetFunctionRows(table, rows, &savedRowCount_);
  const ULONG count = static_cast<ULONG>(FunctionClass::Count);
  for (ULONG i = 0; i < count; ++i) saved_[i] = adapter::SetFunctionFactory(static_cast<FunctionClass>(i), nullptr);
  if (classes.empty())
    for (ULONG i = 0; i < count; ++i) classes.push_back(static_cast<FunctionClass>(i));
  for (FunctionClass c : classes) adapter::SetFunctionFactory(c, kFactories[static_cast<ULONG>(c)]);
}

ScopedFactories::~ScopedFactories() {
  adapter::SetFunctionRows(savedRows_, savedRowCount_, nullptr);
  for (ULONG i = 0; i < static_cast<ULONG>(FunctionClass::Count); ++i)
    adapter::SetFunctionFactory(static_cast<FunctionClass>(i), saved_[i]);
}

Bytes DeviceDescriptor(USHORT vendor, USHORT product, UCHAR manufacturer, UCHAR productString) {
  return {18, 1, 0x00, 0x02, 0, 0, 0, 64, static_cast<UCHAR>(vendor), static_cast<UCHAR>(vendor >> 8),
          static_cast<UCHAR>(product), static_cast<UCHAR>(product >> 8), 0, 1, manufacturer, productString, 0, 1};
}

Bytes Configuration(const std::vector<Bytes>& pieces, int declaredInterfaces) {
  Bytes c = {9, 2, 0, 0, 0, 1, 0, 0x80, 50};
  int counted = 0;
  for (const auto& p : pieces) {
    if (p.size() >= 4 && p[1] == 4 && p[3] == 0) ++counted;
    c.insert(c.end(), p.begin(), p.end());
  }
  c[2] = static_cast<UCHAR>(c.size());
  c[3] = static_cast<UCHAR>(c.size() >> 8);
  c[4] = static_cast<UCHAR>(declaredInterfaces >= 0 ? declaredInterfaces : counted);
  return c;
}

Bytes Interface(UCHAR number, UCHAR alt, UCHAR endpoints, UCHAR cls, UCHAR subclass, UCHAR protocol) {
  return {9, 4, number, alt, endpoints, cls, subclass, protocol, 0};
}

Bytes Speaker(UCHAR protocol, UCHAR streaming) {
  const Bytes header = {9, 0x24, 1, 0x00, 0x01, 30, 0, 1, streaming};
  const Bytes input = {12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0};
  const Bytes output = {9, 0x24, 3, 2, 0x01, 0x03, 0, 1, 0};
  const Bytes general = {7, 0x24, 1, 1, 1, 1, 0};
  const Bytes format = {11, 0x24, 2, 1, 2, 2, 16, 1, 0x80, 0xBB, 0x00};
  const Bytes endpoint = {9, 5, 0x01, 0x09, 192, 0, 1, 0, 0};
  const Bytes csEndpoint = {7, 0x25, 1, 1, 0, 0, 0};
  return Configuration({Interface(0, 0, 0, 1, 1, protocol), header, input, output, Interface(streaming, 0, 0, 1, 2),
                        Interface(streaming, 1, 1, 1, 2), general, format, endpoint, csEndpoint});
}

void UsbDeviceTest::SetUp() {
  KernelTest::SetUp();
  Log() = FunctionLog{};
  platform::registry::Clear();
  driver_ = platform::io::CreateDriverObject(u"\\Driver\\usbaudio");
}

void UsbDeviceTest::TearDown() {
  TearDownDevice();
  platform::io::DeleteDriverObject(driver_);
  KernelTest::TearDown();
}

void UsbDeviceTest::TearDownDevice() {
  Stop();
  platform::clock::Settle();
  if (fdo_) {
    IoDetachDevice(lower_);
    IoDeleteDevice(fdo_);
  }
  fdo_ = lower_ = nullptr;
  port_.reset();
  sim_.reset();
  platform::pnp::UnregisterAllDevices();
  platform::registry::Clear();
}

void UsbDeviceTest::Plug(const std::string& dump, sim::device::DeviceProfile profile) {
  std::ifstream in(std::filesystem::path(UA_DEVICE_DUMPS_DIR) / dump, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string error;
  ASSERT_TRUE(sim::device::SimDevice::FromDumpText(text.str(), std::move(profile), sim_, error)) << error;
  Attach();
}

std::vector<SubmittedUrb> UsbDeviceTest::SubmittedUrbs(std::optional<USHORT> function) {
  std::lock_guard lock(submittedLock_);
  std::vector<SubmittedUrb> out;
  for (const SubmittedUrb& u : submitted_)
    if (!function || u.function == *function) out.push_back(u);
  return out;
}

void UsbDeviceTest::Plug(const Bytes& device, const Bytes& config, sim::device::DeviceProfile profile) {
  sim::device::DescriptorSet set;
  std::string error;
  ASSERT_TRUE(sim::device::DescriptorSet::Build(device, config, set, error)) << error;
  sim_ = std::make_unique<sim::device::SimDevice>(std::move(set), std::move(profile));
  Attach();
}

void UsbDeviceTest::Attach() {
  port_ = std::make_unique<platform::usb::UsbPort>(sim_.get());
  {
    std::lock_guard lock(submittedLock_);
    submitted_.clear();
  }
  bus().WatchUrbs([this](const URB& urb, ULONG frame) {
    SubmittedUrb u;
    u.function = urb.UrbHeader.Function;
    u.length = urb.UrbHeader.Length;
    u.frame = frame;
    if (u.function == URB_FUNCTION_ISOCH_TRANSFER) {
      const auto& r = urb.UrbIsochronousTransfer;
      u.pipe = r.PipeHandle;
      u.flags = r.TransferFlags;
      u.startFrame = r.StartFrame;
      u.packets = r.NumberOfPackets;
      u.transferLength = r.TransferBufferLength;
      // Only the descriptors the header's length covers.
      const ULONG room = u.length > 140 ? (u.length - 140) / sizeof(USBD_ISO_PACKET_DESCRIPTOR) : 0;
      for (ULONG i = 0; i < r.NumberOfPackets && i < room; ++i) u.offsets.push_back(r.IsoPacket[i].Offset);
    } else if (u.function == URB_FUNCTION_SELECT_INTERFACE) {
      u.interfaceNumber = urb.UrbSelectInterface.Interface.InterfaceNumber;
      u.alternate = urb.UrbSelectInterface.Interface.AlternateSetting;
      u.interfaceLength = urb.UrbSelectInterface.Interface.Length;
    } else if (u.function == URB_FUNCTION_ABORT_PIPE || u.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) {
      u.pipe = urb.UrbPipeRequest.PipeHandle;
    }
    std::lock_guard lock(submittedLock_);
    submitted_.push_back(std::move(u));
  });
  ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo_), STATUS_SUCCESS);
  lower_ = IoAttachDeviceToDeviceStack(fdo_, port_->pdo());
  ASSERT_NE(lower_, nullptr);
  fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  const auto& d = sim_->descriptors().device();
  std::string ascii = "USB\\VID_" + Hex(d[8] | d[9] << 8) + "&PID_" + Hex(d[10] | d[11] << 8);
  std::u16string deviceId(ascii.begin(), ascii.end());
  platform::pnp::DeviceConfig config;
  config.deviceId = deviceId;
  config.hardwareIds = {deviceId + u"&REV_0100", deviceId};
  // The port's PDO carries the Enum key; PortCls takes an FDO it did not create as the
  // physical device, so the FDO is registered the same way for the driver key.
  ASSERT_TRUE(platform::pnp::RegisterDevice(port_->pdo(), config));
  ASSERT_TRUE(platform::pnp::RegisterDevice(fdo_, config));
}

std::string UsbDeviceTest::Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
  return text;
}

NTSTATUS UsbDeviceTest::Start() {
  EXPECT_EQ(adapter::CreateUsbAudioDevice(&hal_), STATUS_SUCCESS);
  if (!hal_) return STATUS_INSUFFICIENT_RESOURCES;
  return hal_->Init(nullptr, fdo_, lower_, port_->pdo());
}

void UsbDeviceTest::Stop() {
  if (hal_) hal_->Release();
  hal_ = nullptr;
}

std::u16string UsbDeviceTest::SettingsPath() const { return platform::pnp::DriverKeyPath(fdo_) + u"\\Settings"; }
std::u16string UsbDeviceTest::EnumPath() const { return platform::pnp::EnumKeyPath(port_->pdo()); }
std::u16string UsbDeviceTest::ParametersPath() const { return platform::pnp::DeviceParametersPath(port_->pdo()); }

}  // namespace usb_device_test
