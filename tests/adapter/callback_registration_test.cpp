// Callback registration on the audio layer and the stream engine: refused only when there
// is no callback object or nowhere to put the registration (or nothing to call), and an
// unregistration always succeeds.
#include <gtest/gtest.h>

#include "adapter/audio_hal.h"
#include "adapter/object_model.h"
#include "adapter/stream_engine.h"
#include "support/kernel_fixture.h"
#include "support/model_doubles.h"

namespace {

using adapter::IAudioHal;
using adapter::IStreamEngine;

constexpr ULONG kEngineTag = MakePoolTag('T', 'c', 'b', 'e');

void OnNotify(PVOID context, PVOID, PVOID) { ++*static_cast<int*>(context); }

class CallbackRegistration : public platform::testing::KernelTest {
 protected:
  PDEVICE_OBJECT Fdo() { return reinterpret_cast<PDEVICE_OBJECT>(&fdo_); }
  DEVICE_OBJECT fdo_{};
};

// The same rules on both objects: a table over (has an object, callback, registration out).
TEST_F(CallbackRegistration, StatusesOfRegisterAndUnregister) {
  auto* bare = platform::testing::NewProbeHal();  // Init not run: no callback object
  auto* hal = platform::testing::NewProbeHal();
  hal->probe = [](platform::testing::CProbeHal*) { return STATUS_SUCCESS; };
  ASSERT_EQ(hal->Init(nullptr, Fdo(), nullptr, nullptr), STATUS_SUCCESS);
  IStreamEngine* bareEngine = nullptr;
  IStreamEngine* engine = nullptr;
  ASSERT_EQ((adapter::CreateInstance<adapter::CStreamEngine>(&bareEngine, nullptr, NonPagedPool, kEngineTag, 0u)),
            STATUS_SUCCESS);
  ASSERT_EQ((adapter::CreateInstance<adapter::CStreamEngine>(&engine, nullptr, NonPagedPool, kEngineTag, 1u)),
            STATUS_SUCCESS);
  ASSERT_EQ(engine->Init(adapter::STREAM_DIRECTION_RENDER), STATUS_SUCCESS);

  struct Row {
    const char* what;
    bool initialised;
    bool callback;
    bool out;
    NTSTATUS status;
  } rows[] = {
      {"registered", true, true, true, STATUS_SUCCESS},
      {"no callback object", false, true, true, STATUS_UNSUCCESSFUL},
      {"no place for the registration", true, true, false, STATUS_UNSUCCESSFUL},
      {"nothing to call", true, false, true, STATUS_UNSUCCESSFUL},
  };
  IAudioHal* halItf = hal;
  IAudioHal* bareItf = bare;
  for (int target = 0; target < 2; ++target) {
    for (const Row& r : rows) {
      SCOPED_TRACE(testing::Message() << (target ? "stream engine, " : "audio layer, ") << r.what);
      int calls = 0;
      PVOID registration = reinterpret_cast<PVOID>(1);
      PVOID* out = r.out ? &registration : nullptr;
      PCALLBACK_FUNCTION callback = r.callback ? OnNotify : nullptr;
      const NTSTATUS status = target ? (r.initialised ? engine : bareEngine)->RegisterCallback(callback, &calls, out)
                                     : (r.initialised ? halItf : bareItf)->RegisterCallback(callback, &calls, out);
      EXPECT_EQ(status, r.status);
      if (NT_SUCCESS(status)) {
        ASSERT_NE(registration, nullptr);
        EXPECT_EQ(target ? engine->UnregisterCallback(registration) : halItf->UnregisterCallback(registration),
                  STATUS_SUCCESS);
      } else if (r.out && r.initialised) {
        EXPECT_EQ(registration, nullptr);  // nothing was registered
      }
    }
    // Unregistering nothing succeeds.
    EXPECT_EQ(target ? engine->UnregisterCallback(nullptr) : halItf->UnregisterCallback(nullptr), STATUS_SUCCESS);
    EXPECT_EQ(target ? bareEngine->UnregisterCallback(nullptr) : bareItf->UnregisterCallback(nullptr), STATUS_SUCCESS);
  }
  engine->Release();
  bareEngine->Release();
  halItf->Release();
  bareItf->Release();
}

}  // namespace
