#include "entry_fixture.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "adapter/audio_class.h"
#include "kernel/clock.h"
#include "sim/device/descriptor_dump.h"
#include "sim/device/descriptor_set.h"
#include "kernel/device_registry.h"
#include "kernel/registry.h"
#include "portcls/ksclient.h"

namespace entry_test {

void DriverTest::SetUp() {
  KernelTest::SetUp();
  platform::registry::Clear();
  ResetFakeMiniports();
  savedFactories_ = entry::SetMiniportFactories({&CreateFakeTopology, &CreateFakeWave});
  driver_ = platform::io::CreateDriverObject(u"\\Driver\\usbaudio");
  ASSERT_EQ(Load(), STATUS_SUCCESS);
}

NTSTATUS DriverTest::Load() {
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\usbaudio");
  const entry::MiniportFactories mine = entry::GetMiniportFactories();
  NTSTATUS status = entry::DriverEntry(driver_, &path);
  // Driver entry wires the driver's own miniports; the test keeps its choice.
  entry::SetMiniportFactories(mine);
  return status;
}

void DriverTest::TearDown() {
  if (fdo_ && !removed_) Remove();
  Unplug();
  platform::io::DeleteDriverObject(driver_);
  platform::io::ResetDeviceInterfaces();
  entry::SetMiniportFactories(savedFactories_);
  platform::registry::Clear();
  KernelTest::TearDown();
}

void DriverTest::Plug(const std::string& dump, sim::device::DeviceProfile profile) {
  // The dumps carry no model string; a neutral one (no chip prefix) lets a UAC 1.0
  // function start.
  if (!profile.strings.count(adapter::kModelStringIndex)) profile.strings[adapter::kModelStringIndex] = u"SIMULATED-UAC";
  std::ifstream in(std::filesystem::path(UA_DEVICE_DUMPS_DIR) / dump, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string error;
  ASSERT_TRUE(sim::device::SimDevice::FromDumpText(text.str(), std::move(profile), sim_, error)) << error;
  Attach();
}

void DriverTest::Plug(const std::vector<std::uint8_t>& device, const std::vector<std::uint8_t>& config,
                      sim::device::DeviceProfile profile) {
  if (!profile.strings.count(adapter::kModelStringIndex)) profile.strings[adapter::kModelStringIndex] = u"SIMULATED-UAC";
  sim::device::DescriptorSet set;
  std::string error;
  ASSERT_TRUE(sim::device::DescriptorSet::Build(device, config, set, error)) << error;
  sim_ = std::make_unique<sim::device::SimDevice>(std::move(set), std::move(profile));
  Attach();
}

void DriverTest::PlugWithStatusEndpoint(const std::string& dump, USHORT packet, sim::device::DeviceProfile profile) {
  if (!profile.strings.count(adapter::kModelStringIndex)) profile.strings[adapter::kModelStringIndex] = u"SIMULATED-UAC";
  std::ifstream in(std::filesystem::path(UA_DEVICE_DUMPS_DIR) / dump, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  sim::device::DescriptorDump parsed;
  std::string error;
  ASSERT_TRUE(sim::device::ConvertDescriptorDump(text.str(), parsed, error)) << error;
  ASSERT_TRUE(sim::device::AddStatusEndpoint(parsed.configuration, 0x87, packet, 8, error)) << error;
  sim::device::DescriptorSet set;
  ASSERT_TRUE(sim::device::DescriptorSet::Build(parsed.device, parsed.configuration, set, error)) << error;
  sim_ = std::make_unique<sim::device::SimDevice>(std::move(set), std::move(profile));
  Attach();
}

void DriverTest::Attach() {
  port_ = std::make_unique<platform::usb::UsbPort>(sim_.get());
  const auto& d = sim_->descriptors().device();
  char id[40];
  std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", (d[8] | d[9] << 8) & 0xFFFF, (d[10] | d[11] << 8) & 0xFFFF);
  std::string ascii = id;
  platform::pnp::DeviceConfig config;
  config.deviceId = std::u16string(ascii.begin(), ascii.end());
  config.hardwareIds = {config.deviceId + u"&REV_0100", config.deviceId};
  ASSERT_TRUE(platform::pnp::RegisterDevice(port_->pdo(), config));
}

void DriverTest::Unplug() {
  platform::clock::Settle();
  port_.reset();
  sim_.reset();
  platform::pnp::UnregisterAllDevices();
}

NTSTATUS DriverTest::Add() {
  NTSTATUS status = driver_->DriverExtension->AddDevice(driver_, port_->pdo());
  if (NT_SUCCESS(status)) fdo_ = IoGetAttachedDevice(port_->pdo());
  return status;
}

NTSTATUS DriverTest::Pnp(UCHAR minor) {
  return platform::io::SendSynchronousRequest(port_->pdo(), nullptr, [&](PIRP, PIO_STACK_LOCATION stack) {
           stack->MajorFunction = IRP_MJ_PNP;
           stack->MinorFunction = minor;
         }).Status;
}

NTSTATUS DriverTest::Remove() {
  NTSTATUS status = platform::io::RemoveDevice(port_->pdo());
  if (status == STATUS_SUCCESS || platform::io::DeviceRemoved(port_->pdo())) removed_ = true;
  platform::clock::Settle();
  return status;
}

void DriverTest::OpenClose(const char16_t* fileName, NTSTATUS* create, NTSTATUS* close) {
  PFILE_OBJECT file = platform::io::CreateFileObject(fdo_, fileName);
  ASSERT_NE(file, nullptr);
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE}) {
    NTSTATUS status = platform::io::SendSynchronousRequest(fdo_, file, [&](PIRP, PIO_STACK_LOCATION stack) {
                        stack->MajorFunction = major;
                      }).Status;
    *(major == IRP_MJ_CREATE ? create : close) = status;
  }
  ObDereferenceObject(file);
}

std::vector<std::u16string> DriverTest::Subdevices() const {
  std::vector<std::u16string> names;
  for (const auto& s : platform::ks::EnumerateSubdevices())
    if (s.device == fdo_) names.push_back(s.name);
  return names;
}

const platform::io::DeviceInterface* DriverTest::Interface(const GUID& classGuid) const {
  interfaces_ = platform::io::DeviceInterfaces(&classGuid);
  for (const auto& i : interfaces_)
    if (port_ && i.physicalDeviceObject == port_->pdo()) return &i;
  return nullptr;
}

}  // namespace entry_test
