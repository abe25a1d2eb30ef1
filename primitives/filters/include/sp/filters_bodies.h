// Bodies of the filter primitives for the dispatch tables. Only the generic build exists;
// its bodies fill every slot of their entries.
#pragma once

#include "sp/fir.h"
