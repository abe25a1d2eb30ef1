// Bodies of the filter primitives for the dispatch tables. The FIR filters exist in the
// generic build only, whose bodies fill every slot of their entries; the IIR filter has
// all four builds.
#pragma once

#include "sp/fir.h"
#include "sp/iir.h"
