// The driver's control nodes as a user names them: by the node number the audio engine
// sees on the topology filter ("3", as list shows it), by endpoint and kind ("HP-volume",
// "Mic-mute": the endpoint of the stream whose path holds the node; a node on no stream
// path fed by an input, e.g. a microphone's monitor mix into the headphones, by that
// input: "Mic-monitor-volume"), or by kind alone when only one node has it ("selector").
#pragma once

#include <string>
#include <vector>

#include "adapter/audio_hal.h"

namespace tools {

struct NamedNode {
  ULONG id = 0;     // the driver's entity identifier (the descriptors' unit ID)
  ULONG type = 0;
  long ksNode = -1;  // the topology filter's node number; -1: no node there (a terminal is a pin)
  adapter::IUacEntity* entity = nullptr;  // held by the driver's entity list
  std::string name;                       // "HP-volume"
};

std::vector<NamedNode> NameNodes(adapter::IAudioHal* hal);
// The node the user means; null with the reason (no such node, or which ones were meant).
const NamedNode* FindNode(const std::vector<NamedNode>& nodes, const std::string& what, std::string& error);

// "HP-volume (node 2, volume)": the name, the node number and the kind.
std::string NodeLabel(const NamedNode& node);

// The node's values in one line: "HP-volume (node 2, volume): 0: -6.00 dB, 1: -6.00 dB
// [-60.00 dB .. 0.00 dB, step 1.00 dB]"; false when the node has no value to show. With
// `valuesOnly`, only the values, for scripts: "-6.00 -6.00" (dB), "on off", "2".
bool DescribeNodeValue(const NamedNode& node, std::string& line, bool valuesOnly = false);

// Sets a value given as text: a level in dB ("-6", "-6.5dB", "-inf"), a switch ("on",
// "off", "mute", "unmute", 1, 0) or a selector input (1-based). `channel` < 0: every
// channel. false with the reason (bad value, out of range, refused by the driver).
bool SetNodeValue(const NamedNode& node, const std::string& value, long channel, std::string& error);

}  // namespace tools
