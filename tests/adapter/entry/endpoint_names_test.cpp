// Wave subdevice names from the device extension's counters: per endpoint type and per
// direction, a number used once, never a name another engine of the device carries.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "adapter/device_extension.h"
#include "adapter/object_model.h"
#include "kernel/io.h"
#include "support/kernel_fixture.h"

namespace {

constexpr ULONG kTag = MakePoolTag('T', 'n', 'a', 'm');

class CNamedEngine : public adapter::CStreamEngine {
 public:
  CNamedEngine(PUNKNOWN outer, ULONG id, ULONG type) : CStreamEngine(outer, id), m_Type(type) {}
  STDMETHODIMP_(ULONG) GetEndpointType() override { return m_Type; }
  STDMETHODIMP_(ULONG) GetDirection() override { return m_BadDirection ? 2 : CStreamEngine::GetDirection(); }
  ULONG m_Type;
  bool m_BadDirection = false;
};

struct EngineRow {
  ULONG direction;
  ULONG type;
};

// A device whose probe makes the engines of the row list.
class CNamedHal : public adapter::CAudioHal {
 public:
  CNamedHal(PUNKNOWN outer, std::vector<EngineRow> rows) : CAudioHal(outer), m_Rows(std::move(rows)) {}
  STDMETHODIMP ProbeDevice() override {
    for (ULONG i = 0; i < m_Rows.size(); ++i) {
      auto* engine = new (NonPagedPool, kTag) CNamedEngine(nullptr, i, m_Rows[i].type);
      if (!engine) return STATUS_INSUFFICIENT_RESOURCES;
      engine->AddRef();
      NTSTATUS status = engine->Init(m_Rows[i].direction);
      if (NT_SUCCESS(status)) status = AddStreamEngine(engine);
      engine->Release();
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  }

 private:
  std::vector<EngineRow> m_Rows;
};

class EndpointNames : public platform::testing::KernelTest {
 protected:
  void TearDown() override {
    if (hal_) hal_->Release();
    if (device_) IoDeleteDevice(device_);
    if (driver_) platform::io::DeleteDriverObject(driver_);
    KernelTest::TearDown();
  }
  void Build(std::vector<EngineRow> rows) {
    driver_ = platform::io::CreateDriverObject(u"\\Driver\\names");
    ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &device_), STATUS_SUCCESS);
    ASSERT_EQ(adapter::CreateInstance<CNamedHal>(&hal_, nullptr, NonPagedPool, kTag, std::move(rows)),
              STATUS_SUCCESS);
    ASSERT_EQ(hal_->Init(nullptr, device_, nullptr, nullptr), STATUS_SUCCESS);
  }
  adapter::IStreamEngine* Engine(ULONG i) {
    adapter::IStreamEngine* engine = nullptr;
    EXPECT_EQ(hal_->GetEngine(i, &engine), STATUS_SUCCESS);
    return engine;
  }
  std::u16string Name(ULONG i) { return Engine(i)->GetName(); }
  NTSTATUS Assign(ULONG i) { return adapter::AssignEndpointName(&extension_, Engine(i), hal_, buffer_); }

  adapter::DeviceExtension extension_{};
  WCHAR buffer_[adapter::kEndpointNameBufferBytes / sizeof(WCHAR)] = {};
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  adapter::IAudioHal* hal_ = nullptr;
};

using adapter::STREAM_DIRECTION_CAPTURE;
using adapter::STREAM_DIRECTION_RENDER;

TEST_F(EndpointNames, EachTypeAndDirectionCountsOnItsOwn) {
  struct Case {
    EngineRow engine;
    const char16_t* name;
  };
  const Case cases[] = {
      {{STREAM_DIRECTION_RENDER, adapter::ENDPOINT_SPK}, u"SPKOut00"},
      {{STREAM_DIRECTION_RENDER, adapter::ENDPOINT_SPK}, u"SPKOut01"},
      {{STREAM_DIRECTION_CAPTURE, adapter::ENDPOINT_MIC}, u"MicIn00"},
      {{STREAM_DIRECTION_RENDER, adapter::ENDPOINT_HP}, u"HPOut00"},
      {{STREAM_DIRECTION_RENDER, adapter::ENDPOINT_HP}, u"HPOut01"},
      {{STREAM_DIRECTION_CAPTURE, adapter::ENDPOINT_REC}, u"RecIn00"},
      // The capture counters are the capture engines' own.
      {{STREAM_DIRECTION_CAPTURE, adapter::ENDPOINT_SPK}, u"SPKIn00"},
      {{STREAM_DIRECTION_RENDER, adapter::ENDPOINT_SPEAKERPHONE}, u"SpeakerphoneOut00"},
      // A type outside the table is named as a plain stream.
      {{STREAM_DIRECTION_RENDER, 99}, u"StreamOut00"},
      {{STREAM_DIRECTION_RENDER, adapter::ENDPOINT_STREAM}, u"StreamOut01"},
  };
  std::vector<EngineRow> rows;
  for (const Case& c : cases) rows.push_back(c.engine);
  Build(rows);
  for (ULONG i = 0; i < std::size(cases); ++i) {
    ASSERT_EQ(Assign(i), STATUS_SUCCESS);
    EXPECT_EQ(Name(i), cases[i].name) << i;
  }
  EXPECT_EQ(extension_.OutputCounters[adapter::ENDPOINT_SPK], 2);
  EXPECT_EQ(extension_.InputCounters[adapter::ENDPOINT_SPK], 1);
  EXPECT_EQ(extension_.InputCounters[adapter::ENDPOINT_MIC], 1);
  EXPECT_EQ(extension_.OutputCounters[adapter::ENDPOINT_MIC], 0);
}

TEST_F(EndpointNames, ARenamedEngineTakesAFreshNumber) {
  Build({{STREAM_DIRECTION_RENDER, adapter::ENDPOINT_SPK}, {STREAM_DIRECTION_CAPTURE, adapter::ENDPOINT_MIC}});
  ASSERT_EQ(Assign(0), STATUS_SUCCESS);
  ASSERT_EQ(Assign(1), STATUS_SUCCESS);
  ASSERT_EQ(Assign(0), STATUS_SUCCESS);
  ASSERT_EQ(Assign(1), STATUS_SUCCESS);
  EXPECT_EQ(Name(0), u"SPKOut01");
  EXPECT_EQ(Name(1), u"MicIn01");
  // A switch of the endpoint type starts from that type's counter.
  static_cast<CNamedEngine*>(Engine(0))->m_Type = adapter::ENDPOINT_HP;
  ASSERT_EQ(Assign(0), STATUS_SUCCESS);
  EXPECT_EQ(Name(0), u"HPOut00");
}

TEST_F(EndpointNames, AWrappedCounterSkipsNamesInUse) {
  Build({{STREAM_DIRECTION_RENDER, adapter::ENDPOINT_SPK}, {STREAM_DIRECTION_RENDER, adapter::ENDPOINT_SPK},
         {STREAM_DIRECTION_RENDER, adapter::ENDPOINT_SPK}});
  ASSERT_EQ(Assign(0), STATUS_SUCCESS);  // SPKOut00
  ASSERT_EQ(Assign(1), STATUS_SUCCESS);  // SPKOut01
  extension_.OutputCounters[adapter::ENDPOINT_SPK] = 255;
  ASSERT_EQ(Assign(2), STATUS_SUCCESS);
  EXPECT_EQ(Name(2), u"SPKOut255");
  // The byte wraps to 0 and 1, both in use.
  ASSERT_EQ(Assign(2), STATUS_SUCCESS);
  EXPECT_EQ(Name(2), u"SPKOut02");
  EXPECT_EQ(extension_.OutputCounters[adapter::ENDPOINT_SPK], 3);
}

TEST_F(EndpointNames, BadArgumentsAreRefused) {
  Build({{STREAM_DIRECTION_RENDER, adapter::ENDPOINT_SPK}, {STREAM_DIRECTION_RENDER, adapter::ENDPOINT_SPK}});
  static_cast<CNamedEngine*>(Engine(1))->m_BadDirection = true;
  EXPECT_EQ(adapter::AssignEndpointName(nullptr, Engine(0), hal_, buffer_), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(adapter::AssignEndpointName(&extension_, nullptr, hal_, buffer_), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(adapter::AssignEndpointName(&extension_, Engine(0), nullptr, buffer_), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(adapter::AssignEndpointName(&extension_, Engine(0), hal_, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Assign(1), STATUS_INVALID_PARAMETER);  // neither render nor capture
  EXPECT_EQ(extension_.OutputCounters[adapter::ENDPOINT_SPK], 0);
}

TEST_F(EndpointNames, OnlyADeviceMadeWithTheDriversExtensionHasOne) {
  Build({});
  EXPECT_EQ(adapter::GetDeviceExtension(device_), nullptr);  // no extension at all
  EXPECT_EQ(adapter::GetDeviceExtension(nullptr), nullptr);
  PDEVICE_OBJECT sized = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_, adapter::kDeviceExtensionSize, nullptr, FILE_DEVICE_KS, 0, FALSE, &sized),
            STATUS_SUCCESS);
  EXPECT_NE(adapter::GetDeviceExtension(sized), nullptr);
  // Sized right but not set up by the add-device routine.
  EXPECT_EQ(adapter::FindDeviceExtension(sized), nullptr);
  adapter::GetDeviceExtension(sized)->Fdo = sized;
  EXPECT_EQ(adapter::FindDeviceExtension(sized), adapter::GetDeviceExtension(sized));
  IoDeleteDevice(sized);
}

}  // namespace
