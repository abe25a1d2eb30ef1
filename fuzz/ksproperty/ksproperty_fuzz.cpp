// KS requests as a client sends them, against a topology and a wave filter of fake
// miniports. Input: one selector byte (bit 0: the wave filter, bit 1: an event enable
// instead of a property), a little-endian u32 value size (capped), then the request.
// The layer must answer every request without a crash, a leak or a value larger than
// the buffer given. Seeds include node requests shorter than a KSP_NODE (or KSE_NODE)
// and the fakes' diagnostic handlers (partial answers, over-reported sizes, the IRP).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "installed.h"
#include "portcls/ksclient.h"

namespace {

struct Target {
  fakes::InstalledDevice device{15};
  std::unique_ptr<platform::ks::Filter> topology;
  std::unique_ptr<platform::ks::Filter> wave;
  Target() {
    platform::ks::OpenFilter(device.device, device.topologyName, &topology);
    platform::ks::OpenFilter(device.device, device.waveName, &wave);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Target* target = new Target;  // lives for the process, as a loaded driver would
  if (size < 5 || !target->topology || !target->wave) return 0;
  uint8_t selector = data[0];
  uint32_t valueSize;
  std::memcpy(&valueSize, data + 1, sizeof(valueSize));
  valueSize %= 4097;
  std::vector<uint8_t> request(data + 5, data + size);
  platform::ks::Filter& filter = (selector & 1) ? *target->wave : *target->topology;

  if (selector & 2) {
    platform::ks::EventHandle handle = 0;
    NTSTATUS status = filter.EnableEvent(request.data(), static_cast<ULONG>(request.size()), [] {}, &handle);
    if (NT_SUCCESS(status) && handle) {
      target->device.topology->RaiseControlChange(0);
      if (!NT_SUCCESS(filter.DisableEvent(handle))) std::abort();
    }
    return 0;
  }
  // The fake's deliberately overrunning handler is the verifier's own test case, not a
  // finding: it is left out here.
  if (request.size() >= sizeof(KSPROPERTY)) {
    KSPROPERTY property;
    std::memcpy(&property, request.data(), sizeof property);
    if (IsEqualGUID(property.Set, fakes::KSPROPSETID_FakeDiagnostics) && property.Id == fakes::kDiagnosticOverrun) return 0;
  }
  std::vector<uint8_t> value(valueSize);
  // A SET takes its value from the input after the request, when there is one.
  for (size_t i = 0; i < value.size() && i < request.size(); ++i) value[i] = request[request.size() - 1 - i];
  ULONG returned = 0;
  NTSTATUS status = filter.Property(request.data(), static_cast<ULONG>(request.size()), value.empty() ? nullptr : value.data(),
                                    valueSize, &returned);
  // Whatever the status (a warning carries data too), never more than the buffer holds;
  // only a size query (no buffer) answers with the size needed.
  if (valueSize && returned > valueSize) std::abort();
  if (!valueSize && returned && status != STATUS_BUFFER_OVERFLOW) std::abort();
  return 0;
}
