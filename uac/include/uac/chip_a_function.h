// CChipAFunction: the UAC 1.0 function of chip class A. Its probe keeps a cache of the
// chip's six 16-bit registers, reads two chip values, reads the fourteen capability
// switches from Settings and forces them per product (chip_a_switches.h), trims the fixed
// configuration descriptor to what the switches leave (chip_a_trim.h) and builds the model
// from the trimmed descriptor; then, and on every return to D0, it rewrites the chip's
// registers over the HID interface. Its render engines are chip A engines, with a gain
// node on the jack-polling device row and a channel swap while 8-channel output is on
// (chip_a_stream_builders.cpp). It has no status endpoint: on the jack-polling row its
// worker thread polls the chip's jack report every 50 ms and sets the gain node's mode
// from the pattern of the last 30 reports (chip_a_jack_poll.cpp).
#pragma once

#include "adapter/kernel_mutex.h"
#include "uac/chip_a_stream_nodes.h"
#include "uac/chip_a_switches.h"
#include "uac/chip_a_trim.h"
#include "uac/uac1_function.h"

namespace uac {

inline constexpr ULONG kChipARegisterCount = 6;
// Register flags: bit 0 cleared by every successful write; bit 1 marks a register the
// probe and every return to D0 rewrite.
inline constexpr USHORT kChipARegisterDirty = 0x0001;
inline constexpr USHORT kChipARegisterRestore = 0x0002;
// The chip's registers are reached through HID reports on this interface.
inline constexpr USHORT kChipAHidInterface = 3;
inline constexpr UCHAR kChipAReportId = 0x20;

// The jack poll: HID GET_REPORT of the chip's 3-byte input report every 50 ms; a sample is
// 1 when bit 4 of the report's first byte is clear. The last 30 samples decide.
inline constexpr ULONG kChipAJackReportBytes = 3;
inline constexpr UCHAR kChipAJackBit = 0x10;
inline constexpr ULONG kChipAJackHistory = 30;
inline constexpr LONG kChipAJackPollMs = 50;
inline constexpr KPRIORITY kChipAWorkerPriority = LOW_REALTIME_PRIORITY;
// The line-in analog unit whose mute the worker forces (IChipAForcedMute, chip_a_units.h).
// Trimmed away ("DisableLineInAAUnit") or built as another class, it is skipped.
inline constexpr ULONG kChipAForcedMuteUnit = 11;
// ChipAJackState: the last mode the worker gave the gain node.
enum ChipAJackState : ULONG { CHIPA_JACK_ALL_SET = 0, CHIPA_JACK_MIXED = 1, CHIPA_JACK_ALL_CLEAR = 2 };

struct ChipARegister {
  USHORT Value;
  USHORT Flags;
};

class CChipAFunction : public CUac1Function {
 public:
  CChipAFunction(PUNKNOWN outerUnknown, const adapter::FunctionContext& Context);
  // Ends a running jack-poll thread and lets the gain node go.
  ~CChipAFunction() override;

  // IUacFunction: also run by the 1.0 family's PowerChangeState on every return to D0,
  // since the chip loses its registers.
  STDMETHODIMP AfterProbe() override;
  // The 1.0 builder with chip A render engines, then the gain node (jack-polling row) and
  // the channel swap (8-channel output on) on every render engine.
  STDMETHODIMP BuildFilters(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSB_INTERFACE_DESCRIPTOR FirstInterface,
                            ULONG Bytes) override;
  // As the 1.0 function's, except that a renamed engine comes back through the status
  // path of the terminal that switched (NotifyEntityChange), which updates every
  // engine's subdevice.
  STDMETHODIMP RegisterSubdevices(ULONG EntityId) override;
  // IUacFunctionDescription
  STDMETHODIMP_(const char*) GetClassName() override { return "USB Audio Class 1.0, chip class A"; }
  // IAudioHal
  STDMETHODIMP ProbeDevice() override;

  // The jack-poll thread (priority 16) when jack polling is on; nothing otherwise. Chip A
  // starts and stops no entities here. A thread that runs already is left running.
  NTSTATUS StartWorker() override;
  // Asks the thread to end and waits for it (also when it ended on its own). Success.
  NTSTATUS StopWorker() override;

  // Writes the bits of `Mask` of a register (the rest from the cache) with a HID
  // SET_REPORT; mask 0 sends nothing. STATUS_UNSUCCESSFUL for register 6 or more.
  NTSTATUS WriteChipRegister(ULONG Register, USHORT Value, USHORT Mask);

  const ChipARegister& Register(ULONG Index) const { return m_Registers[Index < kChipARegisterCount ? Index : 0]; }
  const ChipASwitches& Switches() const { return m_Switches; }
  bool JackPolling() const { return m_bJackPolling != 0; }
  bool Trimmed() const { return m_bTrimmed; }
  UCHAR R9() const { return m_R9; }
  UCHAR R8() const { return m_R8; }
  // The gain node kept from the filter builder (null when none), without a reference.
  CChipAGainNode* GainNode() const { return m_pGainNode; }
  ULONG JackState() const { return __atomic_load_n(&m_nJackState, __ATOMIC_ACQUIRE); }
  // Jack reports read since the function was made (every read, good or not).
  ULONG JackReads() const { return __atomic_load_n(&m_nJackReads, __ATOMIC_ACQUIRE); }

 protected:
  // The chip's class for the descriptor (chip_a_units.h); subtypes it does not build are
  // refused as the 1.0 function refuses them.
  NTSTATUS CreateUnitAt(ULONG Offset, PUCHAR Descriptor, CUacUnit** Unit) override;

 private:
  // One chip value: vendor request 0x81, device-to-host, recipient other, wValue 0.
  NTSTATUS ReadChipValue(PURB Urb, USHORT Index, PUCHAR Value);
  NTSTATUS ProbeChip(adapter::IUsbAudioDevice* Device);
  NTSTATUS WriteChipRegisterLocked(ULONG Register, USHORT Value, USHORT Mask);
  // Keeps the node (one reference) in place of the one kept before, which is released.
  void KeepGainNode(CChipAGainNode* Node);
  // The worker thread's body is the jack poll.
  void StatusWorker() override { JackPollWorker(); }
  void JackPollWorker();
  // Sets the forced mute of unit 11 when it is there and answers IChipAForcedMute.
  void ForceStatusMute(ULONG Flag);
  // The state the history leads to from the current one; sets the mute and the mode.
  void ApplyJackHistory(const UCHAR* History);

  ChipARegister m_Registers[kChipARegisterCount];
  UCHAR m_R9;
  UCHAR m_R8;
  UCHAR m_bJackPolling;  // the jack-poll thread itself comes with the chip's jack nodes
  ChipASwitches m_Switches;
  bool m_bTrimmed;
  CChipAGainNode* m_pGainNode;  // one reference
  ULONG m_nJackState;           // ChipAJackState, written by the worker thread
  ULONG m_nJackReads;
  KTIMER m_JackTimer;           // periodic, synchronization: one wake per period
  // Register writes come from the property, power and streaming paths: one at a time, so
  // no masked write loses another's bits in the cache.
  adapter::CKernelMutex m_RegisterMutex;
};

NTSTATUS CreateChipAFunction(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, const adapter::FunctionContext& Context);

}  // namespace uac
