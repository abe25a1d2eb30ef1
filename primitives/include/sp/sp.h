// The signal-processing primitives library: status codes, dispatch, processor services,
// allocation and every public entry.
#pragma once

#include "sp/base.h"
#include "sp/core.h"
#include "sp/dispatch_groups.h"
#include "sp/entries_core.h"

#if __has_include("sp/entries_convert.h")
#include "sp/entries_convert.h"
#endif

#if __has_include("sp/entries_filters.h")
#include "sp/entries_filters.h"
#endif

#if __has_include("sp/entries_iir.h")
#include "sp/entries_iir.h"
#endif

#if __has_include("sp/entries_fft.h")
#include "sp/entries_fft.h"
#endif

#if __has_include("sp/entries_vecmath.h")
#include "sp/entries_vecmath.h"
#endif
