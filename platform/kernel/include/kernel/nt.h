// Umbrella header of the kernel platform layer: everything driver code calls.
#pragma once

#include "kernel/dbg.h"
#include "kernel/ntdef.h"
#include "kernel/ob.h"
#include "kernel/pool.h"
#include "kernel/rtl.h"
#include "kernel/unknown.h"
#include "kernel/verifier.h"
