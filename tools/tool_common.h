// What the verbs of uactool share: exit codes, the command line of one verb, the device a
// run starts (the built-in default or a device file), the settings file, and names.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adapter/uac_function.h"
#include "behaviour_profile.h"
#include "driver_host.h"
#include "sim/device/sim_device.h"

namespace tools {

// Exit codes of every verb.
constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;   // the driver refused the device
constexpr int kExitUsage = 2;     // usage or input error: a bad device file, WAV, node, value, format
constexpr int kExitVerifier = 3;  // the platform's verifier reported a fault (leak, IRQL, ...)
constexpr int kExitStream = 4;    // the stream ran with findings (gaps, underruns, engine checks)
constexpr int kExitNoStream = 5;  // the stream never started: the driver refused the format or a state
// A stream stopped by SIGINT or SIGTERM leaves with 128 + the signal (130, 143).
constexpr int kExitSignalBase = 128;

// One clear line on stderr, "uactool: ...".
void Error(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "uactool: warning: ..." on stderr: input the tool goes on with although it disagrees with
// itself.
void Warn(const std::string& text);

// The arguments of one verb: options with their values, then operands. `valued` lists the
// options that take a value ("--device FILE"); `flags` the ones that do not. An unknown
// option or a missing value is an error (false, with the line in `error`).
struct Arguments {
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::string> operands;
  bool help = false;

  bool Has(const std::string& name) const;
  std::optional<std::string> Value(const std::string& name) const;
};
bool ParseArguments(int argc, char** argv, const std::vector<std::string>& valued, const std::vector<std::string>& flags,
                    Arguments& out, std::string& error);

// The device of a run: the built-in default headset when `file` is empty, else the device
// file (lsusb -v text or raw descriptor hex). A device file answers the neutral model
// string at string index 0x50 unless `modelString` is false. false with the reason.
// A behaviour profile, when given, sets the strings it names before the device is built
// and its vendor registers on the built device.
// A device file that disagrees with its own header (a configuration shorter than its
// wTotalLength) is loaded with a warning: printed, or added to `warnings` when given.
bool LoadDevice(const std::string& file, bool modelString, std::unique_ptr<sim::device::SimDevice>& out,
                std::string& error, const BehaviourProfile* behaviour = nullptr,
                std::vector<std::string>* warnings = nullptr);
// "the built-in default device" or the file name, for messages.
std::string DeviceLabel(const std::string& file);

// The driver's "Settings" between runs, in the habit of alsactl's one state per card: a
// .reg file (default uactool.reg) holding one state per device, each a copy of that
// device's driver key, keyed by vendor, product and serial number, else by the device
// file's name. Every verb but demo reads it; set writes it.
constexpr char kDefaultStateFile[] = "uactool.reg";
// The device's key in the state file: "VID_05AC&PID_110A&SN_0001", "VID_..&FILE_name.txt".
std::string DeviceStateKey(sim::device::SimDevice& sim, const std::string& deviceFile);
// Merges the state file into the registry (a missing file is an empty state) and has the
// host copy the device's saved state into its driver key at the start. false with the
// reason.
bool LoadState(DriverHost& host, const std::string& stateFile, sim::device::SimDevice& sim,
               const std::string& deviceFile, std::string& error);
// Whether the state file can be written (created when missing), asked before anything is
// changed; false with the reason.
bool StateWritable(const std::string& stateFile, std::string& error);
// Stores the device's driver key as its state and writes every device's state back to the
// file. false with the reason.
bool SaveState(const DriverHost& host, const std::string& stateFile, std::string& error);

// The signal every device's capture endpoints produce in a run of the tool, which the
// record report checks a recording against sample for sample.
inline const sim::device::SignalProfile kCaptureSignal{};

// The device file (empty: the built-in default), its state and the driver started on it
// (see StartDevice); kExitOk, or the exit code with the error printed as "verb: ...".
// `clockPpm` sets the device's sample clock off nominal.
int StartWithState(DriverHost& host, const char* verb, const std::string& deviceFile, bool modelString,
                   const std::string& stateFile, bool plugAndPlay, double clockPpm = 0);

// Starts the driver on the device and says why when it did not start (one line on
// stderr). With `plugAndPlay` the whole driver loads as Plug and Play loads it (driver
// entry, add-device, the start request), so its filters are registered for the audio
// engine; without, only the root device object and its audio model are built, and a
// refusal names the driver's own finding. Verifier reports are printed by Finish.
bool StartDevice(DriverHost& host, std::unique_ptr<sim::device::SimDevice> device, bool plugAndPlay);
// Stops the host, prints verifier reports and turns them into kExitVerifier.
int Finish(DriverHost& host, int exitCode);

const char* StatusName(NTSTATUS status);
const char* NodeTypeName(ULONG type);
std::string EndpointTypeName(ULONG type);
adapter::IUacFunctionDescription* Description(adapter::IAudioHal* hal);
// A KS GUID by its name as a user reads it ("render", "volume", "headphones", "USB
// terminal 0x0712"); an unknown GUID in braces.
std::string GuidName(const GUID& guid);
// Levels cross the node interfaces in 1/65536 dB; 0x80000000 is minus infinity.
std::string FormatDb(LONG level);

}  // namespace tools
