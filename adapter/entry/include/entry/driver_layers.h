// Wiring the driver's layers at load: the DSP gets its host services (non-paged pool and
// the kernel debugger), the audio layer installs its function classes into the root
// device object's table, the streaming layer its stream-engine factory into the audio
// layer, and the start routine gets the driver's miniports. Driver entry calls it before the first device starts; the tool
// and the tests that start the driver call it the same way.
#pragma once

#include "kernel/nt.h"

namespace entry {

// Registers every layer. Call at PASSIVE_LEVEL while no device runs and no DSP object
// exists; calling again is harmless.
NTSTATUS RegisterDriverLayers();

}  // namespace entry
