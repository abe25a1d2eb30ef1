// The private ASIO interface under a hostile client: each input is a sequence of steps
// run against the whole driver, started per input on the simulated ASIO device
// (sim/device/asio_device.h) through driver entry and Plug and Play, and removed at the
// end. Three simulated clients (32- or 64-bit) open, close and send requests with their
// own buffers and handles while the device goes to D3 and back or is surprise-removed.
//
// A step begins with a byte: bits 0-2 the kind, bits 3-4 the client (0-2), bit 7 the
// width for an open (set: 32-bit).
//   0 open, 1 close,
//   2 request: code byte (one of the 22, or a code that is none of them), input-length
//     byte, output-length byte (0xFF: 64 KB), handle byte (none, the client's
//     notification or period event, a closed handle, a kernel handle, a file handle: put
//     first in the input in the client's width), then the input's bytes,
//   3 D3, 4 D0, 5 surprise removal, 6 cancel the oldest request still pending, 7 nothing.
// A finding is a sanitizer or verifier report, a leak at removal, a request never
// completed, or a change of the device's or the client's ASIO state by a request whose
// lengths fail its code's test.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

#include "adapter/asio_private.h"
#include "driver_host.h"
#include "kernel/ob.h"
#include "sim/device/asio_device.h"
#include "sim/engine/asio_client.h"

namespace {

using sim::engine::AsioClient;
using sim::engine::AsioPendingRequest;

constexpr ULONG kCodes[] = {
    0x1D6000, 0x1D6004, 0x1DE008, 0x1D600C, 0x1D6010, 0x1DA014, 0x1D6018, 0x1DA01C,
    0x1DA020, 0x1D6024, 0x1D6028, 0x1DA02C, 0x1DA030, 0x1D6034, 0x1DE038, 0x1DA03C,
    0x1DA040, 0x1DA044, 0x1DA04C, 0x1DA050, 0x1DA054, 0x1D6058,
    0x1D6048,  // the gap at function 0x812
    0x1DA000,  // a function of the 22 with another access field
};

// The length test of each code, stated here on its own: true when the request must
// complete with success and change nothing.
bool FailsLengthTest(ULONG code, ULONG in, ULONG out, bool is32Bit) {
  const ULONG handle = is32Bit ? 4 : 8;
  switch (code) {
    case 0x1DA014:
    case 0x1DA040:
      return in != handle;
    case 0x1DA01C:
    case 0x1DA020:
    case 0x1DA02C:
    case 0x1DA030:
    case 0x1DA050:
    case 0x1DA054:
      return in < 4;
    case 0x1D6024:
      return out < 8;
    case 0x1D6028:
    case 0x1D6058:
      return out < 4;
    case 0x1D6034:
      return out < 16;
    case 0x1DE038:
      return in == 0;
    case 0x1DA044:
    case 0x1DA04C:
      return in != 0;
    default:
      return false;
  }
}

struct State {
  ULONG type, latency, rate, clients;
  bool inUse, parked, hasClient;
  adapter::AsioClient client;
  bool operator==(const State& o) const {
    return type == o.type && latency == o.latency && rate == o.rate && clients == o.clients && inUse == o.inUse &&
           parked == o.parked && hasClient == o.hasClient &&
           (!hasClient ||
            (client.NotificationEvent == o.client.NotificationEvent && client.PeriodEvent == o.client.PeriodEvent &&
             client.SampleType == o.client.SampleType && client.LatencyIndex == o.client.LatencyIndex &&
             client.SampleRate == o.client.SampleRate && client.SampleMode == o.client.SampleMode &&
             client.State == o.client.State));
  }
};

State Take(adapter::CUsbAudioDevice* d, PFILE_OBJECT file) {
  State s{};
  s.type = d->AsioSampleType();
  s.latency = d->AsioLatencyIndex();
  s.rate = d->AsioSampleRate();
  s.clients = d->AsioClientCount();
  s.inUse = d->AsioInUse();
  s.parked = d->AsioStopParked();
  s.hasClient = file && d->CopyAsioClient(file, &s.client);
  return s;
}

[[noreturn]] void Finding(const char* what) {
  std::fprintf(stderr, "asio_fuzz: %s\n", what);
  std::abort();
}

ULONG Length(std::uint8_t b) { return b == 0xFF ? 65536u : b; }

class Run {
 public:
  explicit Run(const std::uint8_t* data, size_t size) : p_(data), end_(data + size) {}

  void Go() {
    if (host_.StartDriver(sim::device::asio_device::Make()) != STATUS_SUCCESS || !host_.device()) return;
    device_ = host_.device();
    platform::ob::CreateUserEvent(true, false, &closed_);
    ZwClose(closed_);  // its value now names nothing
    KeInitializeEvent(&kernelEvent_, NotificationEvent, FALSE);
    platform::ob::CreateHandleForObject(&kernelEvent_, *ExEventObjectType, EVENT_ALL_ACCESS, true, &kernel_);
    while (p_ < end_) Step(*p_++);
    Finish();
  }

 private:
  std::uint8_t Next() { return p_ < end_ ? *p_++ : 0; }

  void Step(std::uint8_t b) {
    const int k = (b >> 3) & 3;
    if (k > 2) return;
    std::unique_ptr<AsioClient>& c = clients_[k];
    switch (b & 7) {
      case 0:
        if (c && c->open()) break;
        c = std::make_unique<AsioClient>(host_.fdo(), (b & 0x80) != 0);
        c->Open();
        break;
      case 1:
        if (c && c->open()) c->Close();
        break;
      case 2:
        Request(c.get());
        break;
      case 3:
        if (!removed_) host_.SetPower(PowerDeviceD3);
        break;
      case 4:
        if (!removed_) host_.SetPower(PowerDeviceD0);
        break;
      case 5:
        if (!removed_) host_.SurpriseRemove();
        removed_ = true;
        break;
      case 6:
        if (!pending_.empty()) pending_.front()->Cancel();
        break;
      default:
        break;
    }
  }

  void Request(AsioClient* c) {
    const ULONG code = kCodes[Next() % std::size(kCodes)];
    const ULONG in = Length(Next());
    const ULONG out = Length(Next());
    const std::uint8_t handleChoice = Next();
    std::vector<std::uint8_t> input(in, 0);
    for (ULONG i = 0; i < in && i < 64 && p_ < end_; ++i) input[i] = Next();
    if (!c || !c->open()) return;
    HANDLE handle = nullptr;
    switch (handleChoice % 6) {
      case 1: handle = c->NotificationHandle(); break;
      case 2: handle = c->PeriodHandle(); break;
      case 3: handle = closed_; break;
      case 4: handle = kernel_; break;
      case 5: handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(handleChoice)); break;
      default: break;
    }
    if (handle) {
      const std::vector<std::uint8_t> bytes = c->HandleBytes(handle);
      for (size_t i = 0; i < bytes.size() && i < input.size(); ++i) input[i] = bytes[i];
    }
    const bool inert = FailsLengthTest(code, in, out, c->is32Bit());
    const State before = Take(device_, c->file());
    auto request = c->Begin(code, input, out);
    if (request->dispatchStatus() == STATUS_PENDING) {
      pending_.push_back(std::move(request));
      return;
    }
    const auto reply = request->Wait();
    if (inert) {
      if (reply.status != STATUS_SUCCESS || reply.information != 0) Finding("a failed length test did not answer success");
      if (!(Take(device_, c->file()) == before)) Finding("a request that failed its length test changed the state");
    }
  }

  void Finish() {
    if (!removed_) host_.SetPower(PowerDeviceD0);
    platform::clock::Settle();
    for (auto& r : pending_) {
      if (!r->Done()) Finding("a request was never completed");
      r->Wait();
    }
    pending_.clear();
    for (auto& c : clients_)
      if (c && c->open()) c->Close();
    for (auto& c : clients_) c.reset();
    ZwClose(kernel_);
    host_.Stop();
    for (const auto& report : host_.reports()) std::fprintf(stderr, "%s\n", report.c_str());
    if (!host_.reports().empty()) Finding("verifier report");
  }

  const std::uint8_t* p_;
  const std::uint8_t* end_;
  tools::DriverHost host_;
  adapter::CUsbAudioDevice* device_ = nullptr;
  std::unique_ptr<AsioClient> clients_[3];
  std::deque<std::unique_ptr<AsioPendingRequest>> pending_;
  HANDLE closed_ = nullptr;
  HANDLE kernel_ = nullptr;
  KEVENT kernelEvent_{};
  bool removed_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  Run(data, size).Go();
  return 0;
}
