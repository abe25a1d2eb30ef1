// Core services the FFT engine calls: the generic bodies of the byte clear, the constant
// multiply and the release, and the aligned allocation of the primitives.
#pragma once

#include "sp/core.h"
#include "sp/core_bodies.h"
