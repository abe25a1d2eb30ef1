// The five UAC 1.0 units: feature unit, input and output terminals, mixer and selector,
// one header each.
#pragma once

#include "uac/uac1_feature_unit.h"
#include "uac/uac1_mixer_selector.h"
#include "uac/uac1_terminals.h"
