#include "nodes.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <strings.h>

#include "adapter/node_interfaces.h"
#include "adapter/ref_list.h"
#include "adapter/stream_engine.h"
#include "endpoints.h"
#include "tool_common.h"
#include "uac/control_interfaces.h"

namespace tools {
namespace {

constexpr LONG kMinusInfinity = LONG(0x80000000);

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string KindName(ULONG type) {
  std::string name = NodeTypeName(type);
  for (char& c : name)
    if (c == ' ') c = '-';
  return name;
}

template <class Itf>
Itf* Query(adapter::IUacEntity* entity, REFIID iid) {
  PVOID itf = nullptr;
  if (!NT_SUCCESS(entity->QueryInterface(iid, &itf))) return nullptr;
  return static_cast<Itf*>(itf);
}

// Parses a level in dB into 1/65536 dB: "-6", "-6.5", "-6dB", "-6.5 dB", "-inf".
bool ParseDb(const std::string& text, LONG& level) {
  std::string t = Lower(text);
  while (!t.empty() && t.back() == ' ') t.pop_back();
  if (t.size() > 2 && t.compare(t.size() - 2, 2, "db") == 0) t.resize(t.size() - 2);
  while (!t.empty() && t.back() == ' ') t.pop_back();
  if (t == "-inf") {
    level = kMinusInfinity;
    return true;
  }
  if (t.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double dB = std::strtod(t.c_str(), &end);
  if (errno || *end || !std::isfinite(dB) || dB < -32767.0 || dB > 32767.0) return false;
  level = static_cast<LONG>(std::lround(dB * 65536.0));
  return true;
}

bool ParseSwitch(const std::string& text, UCHAR& value) {
  const std::string t = Lower(text);
  if (t == "1" || t == "on" || t == "mute" || t == "yes" || t == "true") value = 1;
  else if (t == "0" || t == "off" || t == "unmute" || t == "no" || t == "false") value = 0;
  else return false;
  return true;
}

bool ParseUnsigned(const std::string& text, ULONG& value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  value = static_cast<ULONG>(std::strtoul(text.c_str(), nullptr, 10));
  return true;
}

// The channels a set addresses: one, or all of `count`.
bool Channels(long channel, ULONG count, ULONG& first, ULONG& last, std::string& error) {
  if (channel < 0) {
    first = 0;
    last = count;
    return true;
  }
  if (static_cast<unsigned long>(channel) >= count) {
    error = "channel " + std::to_string(channel) + " is not one of the node's " + std::to_string(count) +
            " channel" + (count == 1 ? "" : "s") + " (0 to " + std::to_string(count ? count - 1 : 0) + ")";
    return false;
  }
  first = static_cast<ULONG>(channel);
  last = first + 1;
  return true;
}

}  // namespace

namespace {

bool IsTerminal(adapter::IUacEntity* e) {
  return e->GetType() == adapter::NODE_INPUT_TERMINAL || e->GetType() == adapter::NODE_OUTPUT_TERMINAL;
}

// The endpoint name of an input terminal upstream of `e` (through single sources), or
// empty: what a node on no stream path is fed by.
std::string FedBy(adapter::IAudioHal* hal, adapter::IUacEntity* e) {
  for (int depth = 0; e && depth < 16; ++depth) {
    if (e->GetType() == adapter::NODE_INPUT_TERMINAL) {
      PVOID itf = nullptr;
      ULONG kind = 0;
      if (!NT_SUCCESS(e->QueryInterface(adapter::IID_ITerminalNode, &itf))) return {};
      auto* terminal = static_cast<adapter::ITerminalNode*>(itf);
      const bool ok = NT_SUCCESS(terminal->GetKind(&kind));
      terminal->Release();
      return ok ? EndpointTypeName(kind) : std::string();
    }
    ULONG count = 0;
    const ULONG* sources = nullptr;
    if (!NT_SUCCESS(e->GetSources(&count, &sources)) || count != 1 || !sources) return {};
    adapter::IUacEntity* next = nullptr;
    for (ULONG i = 0; i < hal->GetEntityCount() && !next; ++i) {
      adapter::IUacEntity* candidate = nullptr;
      if (NT_SUCCESS(hal->GetEntity(i, &candidate)) && candidate->GetId() == sources[0]) next = candidate;
    }
    e = next;
  }
  return {};
}

}  // namespace

std::vector<NamedNode> NameNodes(adapter::IAudioHal* hal) {
  std::vector<NamedNode> nodes;
  if (!hal) return nodes;
  // The endpoint each node serves: the first stream whose path holds it, by a name that
  // tells the directions apart where one type has both.
  std::map<ULONG, std::string> endpointOf;
  for (const Endpoint& endpoint : ListEndpoints(hal))
    for (ULONG i = 0; i < endpoint.engine->GetNodeCount(); ++i) {
      adapter::IUacEntity* node = nullptr;
      if (NT_SUCCESS(endpoint.engine->GetNode(i, &node))) endpointOf.emplace(node->GetId(), endpoint.fullName);
    }
  std::map<std::string, int> names;
  long ksNodes = 0;
  for (ULONG i = 0; i < hal->GetEntityCount(); ++i) {
    adapter::IUacEntity* e = nullptr;
    if (!NT_SUCCESS(hal->GetEntity(i, &e))) continue;
    NamedNode node{e->GetId(), e->GetType(), -1, e, {}};
    // The topology filter makes a node of every entity but terminals (its pins) and the
    // sample-rate node, in the entity list's order reversed (numbered below).
    if (!IsTerminal(e) && node.type != adapter::NODE_CLOCK_RATE) node.ksNode = ksNodes++;
    auto it = endpointOf.find(node.id);
    if (it != endpointOf.end()) {
      node.name = it->second + "-" + KindName(node.type);
    } else if (node.type == adapter::NODE_CLOCK_RATE) {
      node.name = "Clock-" + KindName(node.type);
    } else if (const std::string input = IsTerminal(e) ? std::string() : FedBy(hal, e); !input.empty()) {
      node.name = input + "-monitor-" + KindName(node.type);
    } else {
      node.name = "Unit" + std::to_string(node.id) + "-" + KindName(node.type);
    }
    if (int n = ++names[Lower(node.name)]; n > 1) node.name += ":" + std::to_string(n);
    nodes.push_back(node);
  }
  for (NamedNode& n : nodes)
    if (n.ksNode >= 0) n.ksNode = ksNodes - 1 - n.ksNode;
  return nodes;
}

const NamedNode* FindNode(const std::vector<NamedNode>& nodes, const std::string& what, std::string& error) {
  ULONG number = 0;
  if (ParseUnsigned(what, number)) {
    for (const NamedNode& n : nodes)
      if (n.ksNode == static_cast<long>(number)) return &n;
    error = "no node " + what + " (uactool get and list show the nodes' numbers)";
    return nullptr;
  }
  for (const NamedNode& n : nodes)
    if (!strcasecmp(n.name.c_str(), what.c_str())) return &n;
  std::vector<const NamedNode*> kind;
  for (const NamedNode& n : nodes)
    if (!strcasecmp(KindName(n.type).c_str(), what.c_str())) kind.push_back(&n);
  if (kind.size() == 1) return kind[0];
  if (kind.empty()) {
    error = "no node '" + what + "' (uactool get lists the nodes)";
  } else {
    error = "'" + what + "' names " + std::to_string(kind.size()) + " nodes:";
    for (const NamedNode* n : kind) error += " " + n->name;
  }
  return nullptr;
}

std::string NodeLabel(const NamedNode& node) {
  return node.name + " (" + (node.ksNode >= 0 ? "node " + std::to_string(node.ksNode) + ", " : std::string()) +
         NodeTypeName(node.type) + ")";
}

bool DescribeNodeValue(const NamedNode& node, std::string& line, bool valuesOnly) {
  line = valuesOnly ? std::string() : NodeLabel(node) + ":";
  // One value per channel: "0: -6.00 dB," in the line, "-6.00" alone.
  auto add = [&](ULONG channel, ULONG count, const std::string& value, const std::string& bare) {
    if (valuesOnly) {
      line += (line.empty() ? "" : " ") + bare;
      return;
    }
    line += " " + std::to_string(channel) + ": " + value + (channel + 1 < count ? "," : "");
  };
  bool any = false;
  if (auto* control = Query<uac::IBoolControl>(node.entity, uac::IID_IBoolControl)) {
    ULONG count = 0;
    control->GetChannelCount(&count);
    for (ULONG c = 0; c < count; ++c) {
      UCHAR value = 0;
      const std::string text = NT_SUCCESS(control->GetValue(c, &value)) ? (value ? "on" : "off") : "?";
      add(c, count, text, text);
    }
    control->Release();
    any = true;
  }
  if (auto* control = Query<uac::ILevelControl>(node.entity, uac::IID_ILevelControl)) {
    ULONG count = 0;
    control->GetChannelCount(&count);
    for (ULONG c = 0; c < count; ++c) {
      LONG level = 0;
      const bool ok = NT_SUCCESS(control->GetLevel(c, &level));
      std::string bare = ok ? FormatDb(level) : "?";
      if (bare.size() > 3 && bare.compare(bare.size() - 3, 3, " dB") == 0) bare.resize(bare.size() - 3);
      add(c, count, ok ? FormatDb(level) : "?", bare);
    }
    LONG maximum = 0, minimum = 0, step = 0;
    if (!valuesOnly && NT_SUCCESS(control->GetRange(&maximum, &minimum, &step)))
      line += " [" + FormatDb(minimum) + " .. " + FormatDb(maximum) + ", step " + FormatDb(step) + "]";
    control->Release();
    any = true;
  }
  if (auto* selector = Query<adapter::ISelectorNode>(node.entity, adapter::IID_ISelectorNode)) {
    ULONG input = 0, count = 0;
    selector->GetInputCount(&count);
    const std::string value = NT_SUCCESS(selector->GetSelected(&input)) ? std::to_string(input) : "?";
    line += valuesOnly ? (line.empty() ? "" : " ") + value : " input " + value + " of " + std::to_string(count);
    selector->Release();
    any = true;
  }
  return any;
}

bool SetNodeValue(const NamedNode& node, const std::string& value, long channel, std::string& error) {
  const std::string what = NodeLabel(node);
  if (auto* control = Query<uac::IBoolControl>(node.entity, uac::IID_IBoolControl)) {
    adapter::ScopedRelease<uac::IBoolControl> release(control);
    UCHAR v = 0;
    if (!ParseSwitch(value, v)) {
      error = what + " takes on or off (mute or unmute), not '" + value + "'";
      return false;
    }
    ULONG count = 0, first = 0, last = 0;
    control->GetChannelCount(&count);
    if (!Channels(channel, count, first, last, error)) return false;
    for (ULONG c = first; c < last; ++c) {
      const NTSTATUS status = control->SetValue(c, v);
      if (!NT_SUCCESS(status)) {
        error = what + " channel " + std::to_string(c) + ": the driver refused the value: " + StatusName(status);
        return false;
      }
    }
    return true;
  }
  if (auto* control = Query<uac::ILevelControl>(node.entity, uac::IID_ILevelControl)) {
    adapter::ScopedRelease<uac::ILevelControl> release(control);
    LONG level = 0;
    if (!ParseDb(value, level)) {
      error = what + " takes a level in dB (e.g. -6, -6.5dB, -inf), not '" + value + "'";
      return false;
    }
    LONG maximum = 0, minimum = 0, step = 0;
    if (NT_SUCCESS(control->GetRange(&maximum, &minimum, &step)) && level != kMinusInfinity &&
        (level < minimum || level > maximum)) {
      error = what + ": " + FormatDb(level) + " is outside " + FormatDb(minimum) + " .. " + FormatDb(maximum);
      return false;
    }
    ULONG count = 0, first = 0, last = 0;
    control->GetChannelCount(&count);
    if (!Channels(channel, count, first, last, error)) return false;
    for (ULONG c = first; c < last; ++c) {
      const NTSTATUS status = control->SetLevel(c, level);
      if (!NT_SUCCESS(status)) {
        error = what + " channel " + std::to_string(c) + ": the driver refused the level: " + StatusName(status);
        return false;
      }
    }
    return true;
  }
  if (auto* selector = Query<adapter::ISelectorNode>(node.entity, adapter::IID_ISelectorNode)) {
    adapter::ScopedRelease<adapter::ISelectorNode> release(selector);
    ULONG input = 0, count = 0;
    selector->GetInputCount(&count);
    if (!ParseUnsigned(value, input) || input < 1 || input > count) {
      error = what + " takes an input from 1 to " + std::to_string(count) + ", not '" + value + "'";
      return false;
    }
    const NTSTATUS status = selector->SetSelected(input);
    if (!NT_SUCCESS(status)) {
      error = what + ": the driver refused input " + value + ": " + StatusName(status);
      return false;
    }
    return true;
  }
  error = what + " has no value to set";
  return false;
}

}  // namespace tools
