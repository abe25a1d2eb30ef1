#include "unit_fixture.h"

#include "adapter/object_model.h"
#include "kernel/registry.h"

namespace unit_test {

namespace {
constexpr ULONG kFunctionTag = MakePoolTag('T', 'u', 'f', 'n');

void OnControlChange(PVOID context, PVOID argument1, PVOID) {
  auto* record = static_cast<FunctionRecord*>(context);
  const auto* change = static_cast<const uac::ControlChangeRecord*>(argument1);
  if (change->Kind == 1 && change->Count == 1 && change->Reserved == 0) record->changes.push_back(change->NodeId);
}
}  // namespace

CUnitTestFunction::CUnitTestFunction(PUNKNOWN outer, FunctionRecord* record) : CAudioHal(outer), record_(record) {}

STDMETHODIMP CUnitTestFunction::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, adapter::IID_IUacFunction))
    return adapter::ReturnInterface<adapter::IUacFunction>(this, object);
  return CAudioHal::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CUnitTestFunction::RegisterSubdevices(ULONG id) {
  record_->registered.push_back(id);
  return record_->registerStatus;
}

STDMETHODIMP CUnitTestFunction::GetCallbackObject(PCALLBACK_OBJECT* object) {
  if (!object) return STATUS_UNSUCCESSFUL;
  *object = CAudioHal::GetCallbackObject();
  return STATUS_SUCCESS;
}

Bytes Uac1Configuration(const std::vector<Bytes>& units) {
  using namespace usb_device_test;
  Bytes body;
  for (const auto& u : units) body.insert(body.end(), u.begin(), u.end());
  const USHORT total = static_cast<USHORT>(9 + body.size());
  Bytes header = {9, 0x24, 1, 0x00, 0x01, static_cast<UCHAR>(total), static_cast<UCHAR>(total >> 8), 1, 1};
  header.insert(header.end(), body.begin(), body.end());
  const Bytes general = {7, 0x24, 1, 1, 1, 1, 0};
  const Bytes format = {11, 0x24, 2, 1, 2, 2, 16, 1, 0x80, 0xBB, 0x00};
  const Bytes endpoint = {9, 5, 0x01, 0x09, 192, 0, 1, 0, 0};
  const Bytes csEndpoint = {7, 0x25, 1, 1, 0, 0, 0};
  return Configuration({Interface(0, 0, 0, 1, 1, 0), header, Interface(1, 0, 0, 1, 2), Interface(1, 1, 1, 1, 2),
                        general, format, endpoint, csEndpoint});
}

Bytes FeatureUnit(UCHAR id, UCHAR source, UCHAR size, const std::vector<USHORT>& controls, UCHAR iFeature) {
  Bytes d = {0, 0x24, 6, id, source, size};
  for (USHORT c : controls)
    for (UCHAR b = 0; b < size; ++b) d.push_back(b < 2 ? static_cast<UCHAR>(c >> (8 * b)) : 0);
  d.push_back(iFeature);
  d[0] = static_cast<UCHAR>(d.size());
  return d;
}

void UnitTest::SetUp() {
  UsbDeviceTest::SetUp();
  factories_ = std::make_unique<usb_device_test::ScopedFactories>();
}

void UnitTest::ReleaseUnits() {
  for (auto* unit : units_) static_cast<adapter::IUacEntity*>(unit)->Release();
  units_.clear();
  if (function_) {
    if (registration_) function_->UnregisterCallback(registration_);
    registration_ = nullptr;
    static_cast<adapter::IAudioHal*>(function_)->Release();
  }
  function_ = nullptr;
  if (usb_) usb_->Release();
  usb_ = nullptr;
}

void UnitTest::TearDown() {
  ReleaseUnits();
  factories_.reset();
  UsbDeviceTest::TearDown();
}

void UnitTest::StartWith(const Bytes& config, sim::device::DeviceProfile profile) {
  config_ = config;
  profile_ = profile;
  Plug(usb_device_test::DeviceDescriptor(0x1234, 0x5678), config, profile);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  Restart();
}

void UnitTest::Restart() {
  ReleaseUnits();
  PVOID itf = nullptr;
  ASSERT_EQ(hal_->QueryInterface(adapter::IID_IUsbAudioDevice, &itf), STATUS_SUCCESS);
  usb_ = static_cast<adapter::IUsbAudioDevice*>(itf);
  adapter::IAudioHal* hal = nullptr;
  ASSERT_EQ(adapter::CreateInstance<CUnitTestFunction>(&hal, nullptr, NonPagedPool, kFunctionTag, &record_),
            STATUS_SUCCESS);
  function_ = static_cast<CUnitTestFunction*>(hal);
  ASSERT_EQ(hal->Init(nullptr, fdo_, lower_, port_->pdo()), STATUS_SUCCESS);
  ASSERT_EQ(function_->RegisterCallback(OnControlChange, &record_, &registration_), STATUS_SUCCESS);
}

NTSTATUS UnitTest::MakeUnit(const Bytes& descriptor, uac::CUacUnit** unit) {
  *unit = nullptr;
  uac::CUacUnit* u = nullptr;
  NTSTATUS status = uac::CreateUac1Unit(descriptor[2], descriptor[3], &u);
  if (!NT_SUCCESS(status)) return status;
  status = u->Init(descriptor.data(), usb_, function_);
  if (!NT_SUCCESS(status)) {
    static_cast<adapter::IUacEntity*>(u)->Release();
    return status;
  }
  units_.push_back(u);
  *unit = u;
  return status;
}

Bytes UnitTest::Saved(const std::u16string& name) {
  auto value = platform::registry::GetValue(SettingsPath(), name);
  if (!value) return {};
  return Bytes(value->data.begin(), value->data.end());
}

}  // namespace unit_test
