// The literal values the driver shares with the system and its devices, each checked
// against the value as written down for it (not against the symbol that holds it): pool
// tags, interface identifiers, the component ID, the Enum-key paths and value names, the
// selective-suspend clock, the bus-interface query, the ASIO sample-type rows, the
// manufacturer-name exception, the jack colours and the engine walk of the capability
// record. A typo in any of them fails one row.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "adapter/audio_hal.h"
#include "adapter/stream_engine.h"
#include "adapter/usb_audio_device.h"
#include "kernel/registry.h"
#include "uac/bound_nodes.h"
#include "uac/uac1_function.h"
#include "uac/uac1_units.h"
#include "unit_fixture.h"

namespace unit_test {
namespace {

using usb_device_test::DeviceDescriptor;
using usb_device_test::FunctionLog;
using usb_device_test::Log;
using usb_device_test::ScopedFactories;
using usb_device_test::Speaker;
namespace reg = platform::registry;

std::string Tag(ULONG tag) { return std::string(reinterpret_cast<const char*>(&tag), 4); }

std::string Text(const GUID& g) {
  char s[40];
  std::snprintf(s, sizeof s, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(g.Data1),
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return s;
}

std::string HexText(ULONG v) {
  char s[16];
  std::snprintf(s, sizeof s, "0x%X", static_cast<unsigned>(v));
  return s;
}

// A bus driver in front of the port that writes down the interface queries it sees.
struct QueryRecorder {
  static inline PDEVICE_OBJECT port = nullptr;
  static inline USHORT size = 0, version = 0;
  static NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_INTERFACE) {
      size = stack->Parameters.QueryInterface.Size;
      version = stack->Parameters.QueryInterface.Version;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(port, irp);
  }
};

// An engine of a fixed direction and endpoint type.
class CFixedEngine : public adapter::CStreamEngine {
 public:
  CFixedEngine(PUNKNOWN outer, ULONG id, ULONG direction, ULONG type)
      : CStreamEngine(outer, id), direction_(direction), type_(type) {}
  STDMETHODIMP_(ULONG) GetDirection() override { return direction_; }
  STDMETHODIMP_(ULONG) GetEndpointType() override { return type_; }

 private:
  ULONG direction_, type_;
};

// The UAC 1.0 function with given engines, writing down what its capability record is
// asked for.
class CWalkFunction : public uac::CUac1Function {
 public:
  CWalkFunction(PUNKNOWN outer, std::vector<std::pair<ULONG, ULONG>>* engines)
      : CUac1Function(outer, adapter::FunctionContext{0x1234, 0x5678, nullptr, 0, STATUS_SUCCESS, false, 0}), engines_(engines) {}
  STDMETHODIMP ProbeDevice() override {
    ULONG id = 0;
    for (auto [direction, type] : *engines_) {
      adapter::IStreamEngine* engine = nullptr;
      NTSTATUS status = adapter::CreateInstance<CFixedEngine>(&engine, nullptr, NonPagedPool,
                                                              MakePoolTag('T', 'w', 'e', 'n'), id++, direction, type);
      if (NT_SUCCESS(status)) status = AddStreamEngine(engine);
      if (engine) engine->Release();
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  }
  STDMETHODIMP GetCapabilityRecord(ULONG Direction, ULONG EndpointType,
                                   adapter::EndpointCapabilityRecord* Record) override {
    asked = {Direction, EndpointType};
    return CUac1Function::GetCapabilityRecord(Direction, EndpointType, Record);
  }
  std::pair<ULONG, ULONG> asked{0xFFFF, 0xFFFF};

 private:
  std::vector<std::pair<ULONG, ULONG>>* engines_;
};

class NamedValues : public UnitTest {
 protected:
  // Starts the test function's device; the Enum key's Device Parameters hold `suspend`.
  void StartDevice(USHORT vendor, USHORT product, sim::device::DeviceProfile profile = {}) {
    Plug(DeviceDescriptor(vendor, product), Speaker(), profile);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
  }
  std::string ComponentField(int which) {
    Log() = FunctionLog{};
    StartDevice(0x0102, 0x0304);
    KSCOMPONENTID id;
    std::memset(&id, 0xCC, sizeof id);
    device()->GetComponentId(&id);
    TearDownDevice();
    switch (which) {
      case 0: return Text(id.Manufacturer);
      case 1: return Text(id.Product);
      case 2: return Text(id.Component);
      default: return HexText(id.Name.Data1 | id.Version | id.Revision);
    }
  }
  ULONG AsioSampleType(USHORT vendor, USHORT product) {
    Log() = FunctionLog{};
    Log().featureFlags = adapter::ENDPOINT_FEATURE_ASIO;
    StartDevice(vendor, product);
    const ULONG type = device()->AsioSampleType();
    const bool written = reg::GetValue(SettingsPath(), u"ASIOMLDataBitDepth").has_value();
    TearDownDevice();
    return written ? type : type + 1000;  // a default not written shows as 1000 more
  }
  std::string Mfg(USHORT vendor, USHORT product) {
    sim::device::DeviceProfile profile;
    profile.strings[1] = u"Maker";
    profile.strings[2] = u"Box";
    StartDevice(vendor, product, profile);
    const bool named = reg::GetValue(EnumPath(), u"Mfg").has_value();
    TearDownDevice();
    return named ? "Mfg" : "-";
  }
  // Where the device string goes, and where the switch is read, when the current control
  // set has no key for the device's hardware ID.
  std::string FallbackEnumKey() {
    Plug(DeviceDescriptor(0x1234, 0x5678), Speaker(), [] {
      sim::device::DeviceProfile p;
      p.strings[2] = u"Box";
      return p;
    }());
    const std::u16string enumPath = EnumPath();
    const std::u16string instance = enumPath.substr(enumPath.rfind(u'\\') + 1);
    reg::SetMultiString(enumPath, u"HardwareID", {u"USB\\OTHER"});
    const std::u16string fallback = u"\\Registry\\Machine\\Enum\\USB\\OTHER\\" + instance;
    reg::CreateKey(fallback);
    reg::SetDword(fallback + u"\\Device Parameters", u"SelectiveSuspendEnabled", 1);
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    std::string out = reg::GetValue(fallback, u"FriendlyName").has_value() ? "FriendlyName" : "-";
    out += device()->SelectiveSuspendEnabled() ? "+SelectiveSuspendEnabled" : "-";
    TearDownDevice();
    return out;
  }
  std::string BusQuery() {
    Plug(DeviceDescriptor(0x1234, 0x5678), Speaker());
    PDRIVER_OBJECT driver = platform::io::CreateDriverObject(u"\\Driver\\recorder");
    for (auto& dispatch : driver->MajorFunction) dispatch = QueryRecorder::Dispatch;
    PDEVICE_OBJECT filter = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter), STATUS_SUCCESS);
    filter->StackSize = static_cast<CCHAR>(port_->pdo()->StackSize + 1);
    filter->Flags &= ~DO_DEVICE_INITIALIZING;
    QueryRecorder::port = port_->pdo();
    EXPECT_EQ(adapter::CreateUsbAudioDevice(&hal_), STATUS_SUCCESS);
    EXPECT_EQ(hal_->Init(nullptr, fdo_, filter, port_->pdo()), STATUS_SUCCESS);
    Stop();
    IoDeleteDevice(filter);
    platform::io::DeleteDriverObject(driver);
    TearDownDevice();
    return std::to_string(QueryRecorder::size) + "/" + std::to_string(QueryRecorder::version);
  }
  std::string EngineWalk(std::vector<std::pair<ULONG, ULONG>> engines, ULONG index) {
    Plug(DeviceDescriptor(0x1234, 0x5678), Speaker());
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    adapter::IAudioHal* hal = nullptr;
    EXPECT_EQ(adapter::CreateInstance<CWalkFunction>(&hal, nullptr, NonPagedPool, MakePoolTag('T', 'w', 'f', 'n'),
                                                    &engines),
              STATUS_SUCCESS);
    EXPECT_EQ(hal->Init(nullptr, fdo_, lower_, port_->pdo()), STATUS_SUCCESS);
    adapter::EndpointCapabilityRecord record{};
    hal->GetEngineCapabilityRecord(index, &record);
    const auto asked = static_cast<CWalkFunction*>(hal)->asked;
    hal->Release();
    TearDownDevice();
    return std::to_string(asked.first) + "," + std::to_string(asked.second);
  }
};

TEST_F(NamedValues, AsWrittenDown) {
  const struct {
    const char* what;
    std::function<std::string()> actual;
    std::string expected;
  } rows[] = {
      // Pool tags.
      {"device object tag", [] { return Tag(adapter::kUsbAudioDeviceTag); }, "PcCr"},
      {"device buffer tag", [] { return Tag(adapter::kUsbDeviceBufferTag); }, "USBd"},
      {"model string tag", [] { return Tag(adapter::kModelStringTag); }, "pmet"},
      {"manufacturer string tag", [] { return Tag(adapter::kManufacturerStringTag); }, "str "},
      {"probe buffer tag", [] { return Tag(uac::kProbeBufferTag); }, "pmet"},
      {"UAC 1.0 function tag", [] { return Tag(uac::kUac1FunctionTag); }, "UAC1"},
      {"unit tag", [] { return Tag(uac::kUnitPoolTag); }, "AUAT"},
      {"UAC 1.0 node tag", [] { return Tag(uac::kUac1PoolTag); }, "UA10"},
      {"audio layer tag", [] { return Tag(adapter::kAudioHalPoolTag); }, "HALB"},
      {"scratch tag", [] { return Tag(adapter::kTempPoolTag); }, "Temp"},
      {"stream engine tag", [] { return Tag(adapter::kStreamEnginePoolTag); }, "Stre"},
      {"entity tag", [] { return Tag(adapter::kEntityPoolTag); }, "Topo"},
      {"switch cache tag", [] { return Tag(uac::kBoolCachePoolTag); }, "MTag"},
      {"level cache tag", [] { return Tag(uac::kLevelCachePoolTag); }, "VTag"},
      {"selector tag", [] { return Tag(uac::kSelectorPoolTag); }, "SelT"},
      {"clock tag", [] { return Tag(uac::kClockPoolTag); }, "cloc"},
      {"terminal tag", [] { return Tag(uac::kTerminalPoolTag); }, "TerT"},
      // Interface identifiers.
      {"IUnknown", [] { return Text(IID_IUnknown); }, "{00000000-0000-0000-C000-000000000046}"},
      {"IUsbAudioDevice", [] { return Text(adapter::IID_IUsbAudioDevice); }, "{4E0BFAF2-66CC-40AC-8203-C3C4D08CD4FF}"},
      {"IAudioHal", [] { return Text(adapter::IID_IAudioHal); }, "{7284B608-74F9-4B95-A5BB-EC6DDD0B6F58}"},
      {"IAdapterPowerManagement", [] { return Text(IID_IAdapterPowerManagement); },
       "{793417D0-35FE-11D1-AD08-00A0C90AB1B0}"},
      {"IUacFunction", [] { return Text(adapter::IID_IUacFunction); }, "{B00C6788-253F-4638-9460-336A8BE6EE9A}"},
      {"IAsioPrivate", [] { return Text(adapter::IID_IAsioPrivate); }, "{DB4D55AC-CB0E-4611-8CEB-16E32336876D}"},
      {"IStreamEngine", [] { return Text(adapter::IID_IStreamEngine); }, "{3D64C291-9F42-43E5-A468-2C5DC9BB2353}"},
      {"IUacEntity", [] { return Text(adapter::IID_IUacEntity); }, "{200AFF7F-71A4-4FFC-BF4F-61F2B8A522B5}"},
      {"IStreamLink", [] { return Text(adapter::IID_IStreamLink); }, "{D31296ED-008B-4C8C-A239-4E6B322E9626}"},
      {"ITerminalNode", [] { return Text(adapter::IID_ITerminalNode); }, "{540C5664-4620-4FDB-9B81-7E2145D95BE3}"},
      {"ITerminalKindNode", [] { return Text(adapter::IID_ITerminalKindNode); },
       "{DC7604D8-C1F4-4EA1-818C-F744191B5B18}"},
      {"INodeEndpoint", [] { return Text(adapter::IID_INodeEndpoint); }, "{03449A8C-92DC-45CA-859F-AC21AD70C59F}"},
      {"ISelectorNode", [] { return Text(adapter::IID_ISelectorNode); }, "{524FA5C2-9FBF-4FC8-B8D2-DC302DEDB0DF}"},
      {"IBoolControl", [] { return Text(uac::IID_IBoolControl); }, "{8EDE1D42-90E4-4B08-96EF-7CBBC472F9ED}"},
      {"ILevelControl", [] { return Text(uac::IID_ILevelControl); }, "{B0446B44-06EB-403F-8B78-E1E963DEA3CD}"},
      {"IMixerNode", [] { return Text(uac::IID_IMixerNode); }, "{9E3FB612-FCD2-4C51-88BA-B1BD3734F1B5}"},
      {"IUacClockSource", [] { return Text(uac::IID_IUacClockSource); }, "{E1A6E8A0-3C43-4950-901B-9E84F6C3C2EC}"},
      {"IEffectControl", [] { return Text(uac::IID_IEffectControl); }, "{34480E1C-F752-41EE-81AE-70174C8FB3B3}"},
      {"IUacBoolControlSource", [] { return Text(uac::IID_IUacBoolControlSource); },
       "{AE45E80C-D8A3-4E59-B8DF-C0EC0B62F3CC}"},
      {"IUacLevelControlSource", [] { return Text(uac::IID_IUacLevelControlSource); },
       "{934E9EE1-3402-4AE4-B520-E1E4925FAC8E}"},
      // The component ID of vendor 0x0102, product 0x0304.
      {"component manufacturer", [this] { return ComponentField(0); }, "{4E1CEDD4-1679-463B-A72F-A5BF64C86EBA}"},
      {"component product", [this] { return ComponentField(1); }, "{ABCC5D62-C263-463B-A72F-A5BF64C86EBA}"},
      {"component class", [this] { return ComponentField(2); }, "{8F1275F0-26E9-4264-BA4D-39FFF01D94AA}"},
      {"component name, version, revision", [this] { return ComponentField(3); }, "0x0"},
      // The Enum key when the current control set lacks the device's ID.
      {"Enum-key fallback", [this] { return FallbackEnumKey(); }, "FriendlyName+SelectiveSuspendEnabled"},
      // Selective-suspend clock, in milliseconds.
      {"idle clock first expiry", [] { return std::to_string(adapter::kIdleTimerFirstMs); }, "5000"},
      {"idle clock period", [] { return std::to_string(adapter::kIdleTimerPeriodMs); }, "5000"},
      // The bus-interface query: size and version.
      {"bus interface query", [this] { return BusQuery(); }, "72/1"},
      // ASIO sample type by model (plus 1000: the default, not written to Settings).
      {"ASIO 0B05:17F3", [this] { return std::to_string(AsioSampleType(0x0B05, 0x17F3)); }, "17"},
      {"ASIO 0B05:17A8", [this] { return std::to_string(AsioSampleType(0x0B05, 0x17A8)); }, "27"},
      {"ASIO 0B05:17CD", [this] { return std::to_string(AsioSampleType(0x0B05, 0x17CD)); }, "27"},
      {"ASIO 1043:8592", [this] { return std::to_string(AsioSampleType(0x1043, 0x8592)); }, "27"},
      {"ASIO 1043:8593", [this] { return std::to_string(AsioSampleType(0x1043, 0x8593)); }, "27"},
      {"ASIO 0B05:17F4", [this] { return std::to_string(AsioSampleType(0x0B05, 0x17F4)); }, "1016"},
      {"ASIO 1043:17F3", [this] { return std::to_string(AsioSampleType(0x1043, 0x17F3)); }, "1016"},
      // The maker whose manufacturer name is written for two products only.
      {"Mfg 0E7A:0066", [this] { return Mfg(0x0E7A, 0x0066); }, "-"},
      {"Mfg 0E7A:0067", [this] { return Mfg(0x0E7A, 0x0067); }, "Mfg"},
      {"Mfg 0E7A:0068", [this] { return Mfg(0x0E7A, 0x0068); }, "Mfg"},
      {"Mfg 0E7A:0069", [this] { return Mfg(0x0E7A, 0x0069); }, "-"},
      {"Mfg 0E7B:0012", [this] { return Mfg(0x0E7B, 0x0012); }, "Mfg"},
      // The jack colour of each colour code (bits 12-15 of the configuration word).
      {"jack colours",
       [] {
         std::string s;
         for (ULONG code = 0; code < 16; ++code) s += HexText(uac::JackRecordFromWord(0, code << 12).Color) + " ";
         return s;
       },
       "0x0 0x0 0x808080 0xFF 0xFF00 0xFF0000 0xFF8000 0xFFFF00 0x800080 0xFF0080 0x0 0x0 0x0 0x0 0xFFFFFF 0x0 "},
      // The capability record's engine walk: (direction, endpoint type) asked for.
      {"no engines", [this] { return EngineWalk({}, 0); }, "0,0"},
      {"second engine", [this] { return EngineWalk({{0, 2}, {1, 7}, {0, 3}}, 1); }, "1,7"},
      {"index past the end", [this] { return EngineWalk({{0, 2}, {1, 7}, {0, 3}}, 9); }, "0,3"},
  };
  for (const auto& r : rows) EXPECT_EQ(r.actual(), r.expected) << r.what;
}

}  // namespace
}  // namespace unit_test
