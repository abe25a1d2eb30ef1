// Dispatch-entry helpers of the aggregate library.
#pragma once

#include "sp/base.h"
#include "sp/dispatch_groups.h"

// The four builds of a body, in slot order.
#define SP_BUILDS(name) \
  SP_DISPATCH_TABLE(&sp::generic::name, &sp::sse3::name, &sp::ssse3::name, &sp::sse41::name)

// A body of which only the generic build exists: it fills every slot.
#define SP_GENERIC_ONLY(name) \
  SP_DISPATCH_TABLE(&sp::generic::name, &sp::generic::name, &sp::generic::name, &sp::generic::name)

// The body an entry of group 1 or 2 transfers to: the table slot of the current
// spDispatchIndex, typed as the generic body. An entry returns
// SP_ENTRY(1, spZero_32f)(pDst, len): the arguments go on untouched and the call is a
// tail call, so the body returns straight to the caller.
#define SP_ENTRY(g, name) \
  spDispatchBody<decltype(sp::generic::name)>(spDispatchGroup##g[sp::group##g::name])
