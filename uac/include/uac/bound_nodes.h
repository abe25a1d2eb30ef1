// Bound nodes: the device-bound forms of the control, path and terminal nodes, one header
// each beside the plain classes they derive from.
#pragma once

#include "uac/bound_control_nodes.h"
#include "uac/bound_node_values.h"
#include "uac/bound_path_nodes.h"
#include "uac/bound_terminal_nodes.h"
