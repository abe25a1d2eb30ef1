// Wiring the driver's layers at load: the DSP gets its host services (non-paged pool and
// the kernel debugger), and the audio layer installs its function classes into the root
// device object's table. Driver entry calls it before the first device starts; the tool
// and the tests that start the driver call it the same way.
#pragma once

#include "kernel/nt.h"

namespace entry {

// Registers every layer. Call at PASSIVE_LEVEL while no device runs and no DSP object
// exists; calling again is harmless.
NTSTATUS RegisterDriverLayers();

}  // namespace entry
