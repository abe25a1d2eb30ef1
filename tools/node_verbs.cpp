// uactool get and set: the driver's control nodes, in the habit of amixer. The values
// live in the driver's "Settings" as they do on a real system, kept between runs in a
// .reg file: the driver restores them to the device when it starts.
#include <cstdio>
#include <string>

#include "nodes.h"
#include "tool_common.h"
#include "verbs.h"

namespace tools {
namespace {

const char kGetHelp[] =
    "usage: uactool get [--device FILE] [--state FILE.reg] [--values] [NODE...]\n"
    "\n"
    "Starts the driver on the device (the built-in default device unless --device names a\n"
    "device file), with the driver's \"Settings\" from the state file, and prints the current\n"
    "value of each NODE, or of every node with a value when none is named.\n"
    "\n"
    "A NODE is named by its node number as list shows it on the topology filter (\"2\"), by\n"
    "the endpoint of the stream it sits on and its kind (\"HP-volume\", \"Mic-mute\"; a node\n"
    "on no stream path by the input feeding it, \"Mic-monitor-volume\"), or by its kind alone\n"
    "when only one node has it. Levels are in dB; switches read on or off (a mute node that\n"
    "reads on is muted).\n"
    "\n"
    "  --device FILE       a device file (lsusb -v text or raw descriptor hex)\n"
    "  --state FILE.reg    the devices' states between runs, one per device (default\n"
    "                      uactool.reg; a missing file is an empty state)\n"
    "  --no-model-string   the device file's device answers no model string\n"
    "  --values            only the values, one line per node, for scripts: levels in dB\n"
    "                      without the unit (\"-6.00 -6.00\"), switches on or off, a selector's\n"
    "                      input number\n"
    "\n"
    "exit codes: 0 done, 1 the driver refused the device, 2 usage, device file or node error,\n"
    "3 verifier report\n";

const char kSetHelp[] =
    "usage: uactool set [--device FILE] [--state FILE.reg] [--channel N] NODE VALUE\n"
    "\n"
    "Starts the driver on the device with the driver's \"Settings\" from the state file, sets\n"
    "the node through the driver (which sends it to the device and keeps it in \"Settings\"),\n"
    "prints the node's value as the driver now reads it and saves the settings to the state\n"
    "file, so the next run starts with it.\n"
    "\n"
    "VALUE by the node's kind:\n"
    "  level (volume, tone, gain)   dB: -6, -6.5dB, -inf\n"
    "  switch (mute, AGC, ...)      on, off, mute, unmute, 1, 0\n"
    "  selector                     an input number from 1\n"
    "\n"
    "  --channel N         only channel N (from 0); default every channel\n"
    "  --device FILE       a device file (lsusb -v text or raw descriptor hex)\n"
    "  --state FILE.reg    the devices' states between runs, one per device (default\n"
    "                      uactool.reg; the device's own is replaced, the others kept)\n"
    "  --no-model-string   the device file's device answers no model string\n"
    "\n"
    "exit codes: 0 set, 1 the driver refused the device, 2 usage, device file, node or value\n"
    "error, 3 verifier report\n";

// Starts the driver with the device's state; kExitOk or the code to leave with. A function
// with no units has no nodes, and the driver's full start refuses it.
int Start(const Arguments& args, DriverHost& host, const std::string& verb) {
  const int code = StartWithState(host, verb.c_str(), args.Value("--device").value_or(""),
                                  !args.Has("--no-model-string"), args.Value("--state").value_or(kDefaultStateFile),
                                  false);
  if (code == kExitOk && !host.hal()->GetEntityCount()) {
    Error("%s: the device's audio function has no units or terminals, so it has no control nodes (uactool "
          "describe says more)",
          verb.c_str());
    return kExitRefused;
  }
  return code;
}

bool Parse(int argc, char** argv, const std::vector<std::string>& valued, const char* verb, const char* help,
           Arguments& args, int& exitCode) {
  std::string error;
  std::vector<std::string> flags{"--no-model-string"};
  if (std::string(verb) == "get") flags.push_back("--values");
  if (!ParseArguments(argc, argv, valued, flags, args, error)) {
    Error("%s: %s (see uactool %s --help)", verb, error.c_str(), verb);
    exitCode = kExitUsage;
    return false;
  }
  if (args.help) {
    std::fputs(help, stdout);
    exitCode = kExitOk;
    return false;
  }
  return true;
}

}  // namespace

int RunGet(int argc, char** argv) {
  Arguments args;
  int exitCode = kExitOk;
  if (!Parse(argc, argv, {"--device", "--state"}, "get", kGetHelp, args, exitCode)) return exitCode;
  DriverHost host;
  if (int code = Start(args, host, "get"); code != kExitOk) return Finish(host, code);
  const std::vector<NamedNode> nodes = NameNodes(host.hal());
  std::string line, error;
  const bool valuesOnly = args.Has("--values");
  if (args.operands.empty()) {
    for (const NamedNode& node : nodes)
      if (DescribeNodeValue(node, line, valuesOnly)) std::printf("%s\n", line.c_str());
    return Finish(host, kExitOk);
  }
  for (const std::string& what : args.operands) {
    const NamedNode* node = FindNode(nodes, what, error);
    if (!node) {
      Error("get: %s", error.c_str());
      return Finish(host, kExitUsage);
    }
    if (!DescribeNodeValue(*node, line, valuesOnly)) line += valuesOnly ? "" : " no value";
    std::printf("%s\n", line.c_str());
  }
  return Finish(host, kExitOk);
}

int RunSet(int argc, char** argv) {
  Arguments args;
  int exitCode = kExitOk;
  if (!Parse(argc, argv, {"--device", "--state", "--channel"}, "set", kSetHelp, args, exitCode)) return exitCode;
  if (args.operands.size() != 2) {
    Error("set: needs NODE and VALUE (see uactool set --help)");
    return kExitUsage;
  }
  long channel = -1;
  if (auto text = args.Value("--channel")) {
    char* end = nullptr;
    channel = std::strtol(text->c_str(), &end, 10);
    if (text->empty() || *end || channel < 0 || channel > 255) {
      Error("set: --channel takes a channel number from 0, not '%s'", text->c_str());
      return kExitUsage;
    }
  }
  const std::string state = args.Value("--state").value_or(kDefaultStateFile);
  std::string error, line;
  if (!StateWritable(state, error)) {
    Error("set: %s", error.c_str());
    return kExitUsage;
  }
  DriverHost host;
  if (int code = Start(args, host, "set"); code != kExitOk) return Finish(host, code);
  const std::vector<NamedNode> nodes = NameNodes(host.hal());
  const NamedNode* node = FindNode(nodes, args.operands[0], error);
  if (!node || !SetNodeValue(*node, args.operands[1], channel, error)) {
    Error("set: %s", error.c_str());
    return Finish(host, kExitUsage);
  }
  if (!SaveState(host, state, error)) {
    Error("set: %s", error.c_str());
    return Finish(host, kExitUsage);
  }
  if (DescribeNodeValue(*node, line)) std::printf("%s\n", line.c_str());
  return Finish(host, kExitOk);
}

}  // namespace tools
