#include "driver_host.h"

#include <cstdio>

#include "kernel/device_registry.h"
#include "kernel/io.h"
#include "kernel/po.h"
#include "kernel/pool.h"
#include "kernel/registry.h"
#include "kernel/verifier.h"
#include "entry/driver_entry.h"
#include "entry/driver_layers.h"

namespace tools {
namespace {

std::u16string HardwareId(const sim::device::SimDevice& sim) {
  const auto& d = sim.descriptors().device();
  char text[32];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", (d[8] | d[9] << 8) & 0xFFFF, (d[10] | d[11] << 8) & 0xFFFF);
  std::string ascii = text;
  return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace

void CopyRegistryTree(std::u16string_view from, const std::u16string& to) {
  namespace reg = platform::registry;
  if (!reg::KeyExists(from)) return;
  reg::CreateKey(to);
  for (const std::u16string& name : reg::ValueNames(from))
    if (auto value = reg::GetValue(from, name)) reg::SetValue(to, name, value->type, value->data);
  for (const std::u16string& sub : reg::SubKeys(from))
    CopyRegistryTree(std::u16string(from) + u"\\" + sub, to + u"\\" + sub);
}

DriverHost::DriverHost() {
  platform::verifier::SetHandler([this](const platform::verifier::Violation& v) {
    reports_.push_back("verifier: " + std::string(platform::verifier::CheckName(v.check)) + " in " + v.api + ": " +
                       v.detail);
  });
  platform::clock::Reset();
  thread_ = std::make_unique<platform::clock::ScopedPlatformThread>("main");
  platform::registry::Clear();
  leaks_.emplace();
  entry::RegisterDriverLayers();
  driver_ = platform::io::CreateDriverObject(u"\\Driver\\usbaudio");
}

DriverHost::~DriverHost() {
  Stop();
  thread_.reset();
  platform::clock::Reset();
  platform::verifier::SetHandler(nullptr);
}

NTSTATUS DriverHost::Start(std::unique_ptr<sim::device::SimDevice> device) {
  sim_ = std::move(device);
  port_ = std::make_unique<platform::usb::UsbPort>(sim_.get());
  if (IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo_) != STATUS_SUCCESS)
    return STATUS_INSUFFICIENT_RESOURCES;
  lower_ = IoAttachDeviceToDeviceStack(fdo_, port_->pdo());
  if (!lower_) return STATUS_UNSUCCESSFUL;
  fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  platform::pnp::DeviceConfig config;
  config.deviceId = HardwareId(*sim_);
  config.hardwareIds = {config.deviceId + u"&REV_0100", config.deviceId};
  if (!platform::pnp::RegisterDevice(port_->pdo(), config) || !platform::pnp::RegisterDevice(fdo_, config))
    return STATUS_UNSUCCESSFUL;
  if (!preloadTree_.empty()) CopyRegistryTree(preloadTree_, DriverKeyPath());
  for (const auto& [name, value] : settings_)
    platform::registry::SetDword(platform::pnp::DriverKeyPath(fdo_) + u"\\Settings", name, value);
  NTSTATUS status = adapter::CreateUsbAudioDevice(&hal_);
  if (!NT_SUCCESS(status)) return status;
  return hal_->Init(nullptr, fdo_, lower_, port_->pdo());
}

NTSTATUS DriverHost::StartDriver(std::unique_ptr<sim::device::SimDevice> device) {
  sim_ = std::move(device);
  port_ = std::make_unique<platform::usb::UsbPort>(sim_.get());
  platform::pnp::DeviceConfig config;
  config.deviceId = HardwareId(*sim_);
  config.hardwareIds = {config.deviceId + u"&REV_0100", config.deviceId};
  if (!platform::pnp::RegisterDevice(port_->pdo(), config)) return STATUS_UNSUCCESSFUL;
  if (!preloadTree_.empty()) CopyRegistryTree(preloadTree_, DriverKeyPath());
  for (const auto& [name, value] : settings_)
    platform::registry::SetDword(platform::pnp::DriverKeyPath(port_->pdo()) + u"\\Settings", name, value);
  NTSTATUS status = entry::DriverEntry(driver_, nullptr);
  if (!NT_SUCCESS(status)) return status;
  status = driver_->DriverExtension->AddDevice(driver_, port_->pdo());
  if (!NT_SUCCESS(status)) return status;
  pnp_ = true;
  fdo_ = IoGetAttachedDevice(port_->pdo());
  status = SendPnp(IRP_MN_START_DEVICE);
  if (adapter::DeviceExtension* extension = adapter::FindDeviceExtension(fdo_)) {
    if (extension->Adapter) {
      hal_ = extension->Adapter;
      hal_->AddRef();
    }
  }
  return status;
}

NTSTATUS DriverHost::SetPower(DEVICE_POWER_STATE state) {
  struct Wait {
    KEVENT done;
    NTSTATUS status;
  } wait{};
  KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
  POWER_STATE power;
  power.DeviceState = state;
  const NTSTATUS status = PoRequestPowerIrp(
      port_->pdo(), IRP_MN_SET_POWER, power,
      [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
        auto* w = static_cast<Wait*>(context);
        w->status = io ? io->Status : STATUS_SUCCESS;
        KeSetEvent(&w->done, IO_NO_INCREMENT, FALSE);
      },
      &wait, nullptr);
  if (status != STATUS_PENDING) return status;
  KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr);
  return wait.status;
}

NTSTATUS DriverHost::SendPnp(UCHAR minor) {
  return platform::io::SendSynchronousRequest(port_->pdo(), nullptr, [&](PIRP, PIO_STACK_LOCATION stack) {
           stack->MajorFunction = IRP_MJ_PNP;
           stack->MinorFunction = minor;
         }).Status;
}

std::u16string DriverHost::DriverKeyPath() const {
  return port_ ? platform::pnp::DriverKeyPath(port_->pdo()) : std::u16string();
}

void DriverHost::Stop() {
  if (stopped_) return;
  stopped_ = true;
  if (hal_) hal_->Release();
  hal_ = nullptr;
  if (pnp_) {
    // Plug and Play removes a device whatever its start gave; the driver and PortCls
    // delete the FDO.
    SendPnp(IRP_MN_REMOVE_DEVICE);
    fdo_ = lower_ = nullptr;
  }
  platform::clock::Settle();
  if (fdo_) {
    if (lower_) IoDetachDevice(lower_);
    IoDeleteDevice(fdo_);
  }
  fdo_ = lower_ = nullptr;
  port_.reset();
  sim_.reset();
  platform::pnp::UnregisterAllDevices();
  if (driver_) platform::io::DeleteDriverObject(driver_);
  driver_ = nullptr;
  platform::registry::Clear();
  if (leaks_) leaks_->Check();  // a leak is a verifier report
  leaks_.reset();
}

}  // namespace tools
