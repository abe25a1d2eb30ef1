// Umbrella header of the kernel platform layer: everything driver code calls.
#pragma once

#include "kernel/callback.h"
#include "kernel/clock.h"
#include "kernel/dbg.h"
#include "kernel/ex.h"
#include "kernel/io.h"
#include "kernel/ke.h"
#include "kernel/mm.h"
#include "kernel/ntdef.h"
#include "kernel/ob.h"
#include "kernel/po.h"
#include "kernel/pool.h"
#include "kernel/ps.h"
#include "kernel/rtl.h"
#include "kernel/unknown.h"
#include "kernel/verifier.h"
#include "kernel/workitem.h"
