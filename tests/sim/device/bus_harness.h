// A host controller on a hand-driven bus clock with a simulated device, and URB builders,
// shared by the host-controller tests.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kernel/clock.h"
#include "kernel/pool.h"
#include "test_support.h"
#include "usb/host_controller.h"
#include "usb/usbdlib.h"

namespace sim::device::test {

using platform::usb::BusMicroframe;
using platform::usb::HostController;

struct Done {
  int count = 0;
  NTSTATUS status = STATUS_PENDING;
  ULONG frame = 0;
};

class Bus {
 public:
  // The controller is driven by hand, frame by frame, and its tests check the exact frame
  // each completion arrives in: no batching (clock::Timing).
  Bus(const std::string& dump, DeviceProfile profile = {}, HostController::Options options = {}) {
    platform::clock::SetTiming(platform::clock::Timing::Exact());
    device = Load(dump, std::move(profile));
    hc = std::make_unique<HostController>(device.get(), [this] { return now; }, options);
  }
  void RunFrames(std::uint64_t frames) { Run(frames * 8); }
  // The bus context runs at every microframe, as the port's DPC does.
  void Run(BusMicroframe microframes) {
    for (BusMicroframe k = 0; k < microframes; ++k) hc->AdvanceTo(++now);
  }
  // Lets the bus context deliver what is due now.
  void Deliver() { hc->AdvanceTo(now); }
  // Submits and records the completion (status and the bus frame it arrived in).
  NTSTATUS Submit(PURB urb, Done& done, std::uint64_t* id = nullptr) {
    return hc->Submit(
        urb,
        [this, &done](NTSTATUS s) {
          ++done.count;
          done.status = s;
          done.frame = hc->CurrentFrame();
        },
        id);
  }
  NTSTATUS SubmitSync(PURB urb) {
    Done d;
    NTSTATUS s = Submit(urb, d);
    for (int i = 0; s == STATUS_PENDING && d.count == 0 && i < 1000; ++i) RunFrames(1);
    return s == STATUS_PENDING ? d.status : s;
  }
  // Selects the configuration with alternate setting 0 of every interface.
  bool Configure() {
    PURB urb = SelectDefaultsRequest(*device, config);
    if (urb == nullptr) return false;
    NTSTATUS s = SubmitSync(urb);
    config_handle = urb->UrbSelectConfiguration.ConfigurationHandle;
    ExFreePool(urb);
    return NT_SUCCESS(s);
  }
  // Selects an alternate setting; returns its pipes.
  std::vector<USBD_PIPE_INFORMATION> Select(std::uint8_t number, std::uint8_t alt, NTSTATUS* status = nullptr) {
    const AltSetting* a = device->descriptors().FindInterface(number)->Find(alt);
    const ULONG pipes = a->declared_endpoints;
    std::vector<std::uint8_t> mem(GET_SELECT_INTERFACE_REQUEST_SIZE(pipes), 0);
    auto* urb = reinterpret_cast<PURB>(mem.data());
    urb->UrbHeader.Length = static_cast<USHORT>(mem.size());
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbSelectInterface.ConfigurationHandle = config_handle;
    urb->UrbSelectInterface.Interface.Length = static_cast<USHORT>(mem.size() - 32);
    urb->UrbSelectInterface.Interface.InterfaceNumber = number;
    urb->UrbSelectInterface.Interface.AlternateSetting = alt;
    NTSTATUS s = SubmitSync(urb);
    if (status) *status = s;
    std::vector<USBD_PIPE_INFORMATION> out;
    for (ULONG i = 0; NT_SUCCESS(s) && i < urb->UrbSelectInterface.Interface.NumberOfPipes; ++i)
      out.push_back(urb->UrbSelectInterface.Interface.Pipes[i]);
    return out;
  }
  static USBD_PIPE_HANDLE PipeOf(const std::vector<USBD_PIPE_INFORMATION>& pipes, UCHAR address) {
    for (auto& p : pipes)
      if (p.EndpointAddress == address) return p.PipeHandle;
    return nullptr;
  }

  BusMicroframe now = 0;
  std::unique_ptr<SimDevice> device;
  std::unique_ptr<HostController> hc;
  std::vector<std::uint8_t> config;
  USBD_CONFIGURATION_HANDLE config_handle = nullptr;
};

// An isochronous URB with its packets and buffer.
struct IsoUrb {
  IsoUrb(USBD_PIPE_HANDLE pipe, ULONG packets, ULONG packet_bytes, bool in, bool asap, ULONG start = 0)
      : mem(GET_ISO_URB_SIZE(packets), 0), buffer(packets * packet_bytes, 0) {
    auto& r = urb()->UrbIsochronousTransfer;
    r.Hdr.Length = static_cast<USHORT>(mem.size());
    r.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    r.PipeHandle = pipe;
    r.TransferFlags = (in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0) | (asap ? USBD_START_ISO_TRANSFER_ASAP : 0);
    r.TransferBuffer = buffer.data();
    r.TransferBufferLength = static_cast<ULONG>(buffer.size());
    r.StartFrame = start;
    r.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i) {
      r.IsoPacket[i].Offset = i * packet_bytes;
      r.IsoPacket[i].Length = in ? 0 : packet_bytes;
    }
  }
  PURB urb() { return reinterpret_cast<PURB>(mem.data()); }
  _URB_ISOCH_TRANSFER& iso() { return urb()->UrbIsochronousTransfer; }
  const _URB_ISOCH_TRANSFER& iso_const() const { return reinterpret_cast<const URB*>(mem.data())->UrbIsochronousTransfer; }
  std::vector<std::uint8_t> mem;
  std::vector<std::uint8_t> buffer;
};

struct ClassRequest {
  ClassRequest(USHORT function, bool in, UCHAR request, USHORT value, USHORT index, std::vector<std::uint8_t> data)
      : buffer(std::move(data)) {
    std::memset(&urb, 0, sizeof(urb));
    auto& r = urb.UrbControlVendorClassRequest;
    r.Hdr.Length = sizeof(r);
    r.Hdr.Function = function;
    r.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : 0;
    r.TransferBuffer = buffer.data();
    r.TransferBufferLength = static_cast<ULONG>(buffer.size());
    r.Request = request;
    r.Value = value;
    r.Index = index;
  }
  URB urb;
  std::vector<std::uint8_t> buffer;
};

}  // namespace sim::device::test
