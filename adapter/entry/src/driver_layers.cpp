#include "entry/driver_layers.h"

#include "dsp/host.h"
#include "entry/driver_entry.h"
#include "filters/miniport_topology.h"
#include "filters/miniport_wave_cyclic.h"
#include "kernel/dbg.h"
#include "kernel/pool.h"
#include "stream/usb_stream_engine.h"
#include "uac/function_classes.h"

namespace entry {
namespace {

void* DspPoolAllocate(std::size_t bytes, std::uint32_t tag) {
  return ExAllocatePoolWithTag(NonPagedPool, static_cast<SIZE_T>(bytes), tag);
}

void DspPoolFree(void* block) { ExFreePool(block); }

void DspDebugPrint(const char* line) { DbgPrint("%s", line); }

constexpr DspHostHooks kDspHooks = {DspPoolAllocate, DspPoolFree, DspDebugPrint};

}  // namespace

NTSTATUS RegisterDriverLayers() {
  DspSetHostHooks(&kDspHooks);
  uac::RegisterFunctionFactories();
  stream::RegisterEngineFactories();
  SetMiniportFactories({&filters::CreateMiniportTopology, &filters::CreateMiniportWaveCyclic});
  return STATUS_SUCCESS;
}

}  // namespace entry
