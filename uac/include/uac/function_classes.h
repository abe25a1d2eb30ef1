// The audio layer's function classes: the rows the root device object chooses a class by
// (Audio Control protocol, model-string prefix, model variant) and the factories of the
// classes built so far. A class without a factory refuses the device with
// STATUS_NOT_SUPPORTED.
#pragma once

#include "adapter/usb_audio_device.h"

namespace uac {

// The rows, most specific first, and their count.
const adapter::FunctionRow* FunctionClassRows(ULONG* Count);

// Installs the rows and the factories into the root device object's table.
void RegisterFunctionFactories();

}  // namespace uac
