// Named callback objects.

#include <string>
#include <vector>

#include "kernel/nt.h"
#include "support/kernel_fixture.h"

namespace {

using platform::clock::kTicksPerMillisecond;
using platform::verifier::Check;

class CallbackTest : public platform::testing::ExactTimingTest {
 protected:
  // "\Callback\AudioHalAddr%p" with this fixture's address, as the driver names them.
  NTSTATUS Open(const WCHAR* format, BOOLEAN create, PCALLBACK_OBJECT* object, ULONG extraAttributes = 0) {
    RtlStringCbPrintfW(name_, sizeof name_, format, static_cast<void*>(this));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, name_);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | extraAttributes, nullptr, nullptr);
    return ExCreateCallback(object, &attributes, create, TRUE);
  }
  WCHAR name_[128] = {};
};

struct Calls {
  std::vector<std::string> seen;
};

void Record(PVOID context, PVOID a1, PVOID a2) {
  auto* tag = static_cast<const char*>(context);
  auto* calls = static_cast<Calls*>(a1);
  calls->seen.push_back(std::string(tag) + ":" + std::to_string(reinterpret_cast<ULONG_PTR>(a2)) + ":" +
                        std::to_string(KeGetCurrentIrql()));
}

TEST_F(CallbackTest, NamesAreCaseInsensitiveAndOpeningFindsTheSameObject) {
  PCALLBACK_OBJECT created = nullptr, opened = nullptr, missing = nullptr;
  ASSERT_EQ(Open(u"\\Callback\\AudioHalAddr%p", TRUE, &created), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"\\CALLBACK\\audiohaladdr%p", FALSE, &opened), STATUS_SUCCESS);
  EXPECT_EQ(created, opened);
  PCALLBACK_OBJECT again = nullptr;
  ASSERT_EQ(Open(u"\\Callback\\AudioHalAddr%p", TRUE, &again), STATUS_SUCCESS);
  EXPECT_EQ(again, created);
  EXPECT_EQ(Open(u"\\Callback\\StreamEngineAddr%p", FALSE, &missing), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
  ObDereferenceObject(again);
  ObDereferenceObject(opened);
  ObDereferenceObject(created);
  // Not permanent: the last reference took the name away.
  EXPECT_EQ(Open(u"\\Callback\\AudioHalAddr%p", FALSE, &missing), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(CallbackTest, PermanentObjectOutlivesItsReferences) {
  PCALLBACK_OBJECT object = nullptr;
  ASSERT_EQ(Open(u"\\Callback\\CyclicControlAddr%p", TRUE, &object, OBJ_PERMANENT), STATUS_SUCCESS);
  ObDereferenceObject(object);
  PCALLBACK_OBJECT opened = nullptr;
  ASSERT_EQ(Open(u"\\Callback\\CyclicControlAddr%p", FALSE, &opened), STATUS_SUCCESS);
  EXPECT_EQ(opened, object);
  ObMakeTemporaryObject(opened);
  ObDereferenceObject(opened);
}

TEST_F(CallbackTest, NotifyCallsEveryRegistrationInOrderAtTheCallersIrql) {
  PCALLBACK_OBJECT object = nullptr;
  ASSERT_EQ(Open(u"\\Callback\\AudioHalAddr%p", TRUE, &object), STATUS_SUCCESS);
  static const char first[] = "first", second[] = "second", third[] = "third";
  PVOID r1 = ExRegisterCallback(object, Record, const_cast<char*>(first));
  PVOID r2 = ExRegisterCallback(object, Record, const_cast<char*>(second));
  PVOID r3 = ExRegisterCallback(object, Record, const_cast<char*>(third));
  ASSERT_TRUE(r1 && r2 && r3);
  Calls calls;
  ExNotifyCallback(object, &calls, reinterpret_cast<PVOID>(7));
  EXPECT_EQ(calls.seen, (std::vector<std::string>{"first:7:0", "second:7:0", "third:7:0"}));
  ExUnregisterCallback(r2);
  calls.seen.clear();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExNotifyCallback(object, &calls, reinterpret_cast<PVOID>(1));
  KeLowerIrql(old);
  EXPECT_EQ(calls.seen, (std::vector<std::string>{"first:1:2", "third:1:2"}));
  ExUnregisterCallback(r1);
  ExUnregisterCallback(r3);
  ObDereferenceObject(object);
}

TEST_F(CallbackTest, ObjectWithoutMultipleCallbacksTakesOneRegistration) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Callback\\Single");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  PCALLBACK_OBJECT object = nullptr;
  ASSERT_EQ(ExCreateCallback(&object, &attributes, TRUE, FALSE), STATUS_SUCCESS);
  PVOID r1 = ExRegisterCallback(object, Record, nullptr);
  EXPECT_NE(r1, nullptr);
  EXPECT_EQ(ExRegisterCallback(object, Record, nullptr), nullptr);
  ExUnregisterCallback(r1);
  PVOID r2 = ExRegisterCallback(object, Record, nullptr);
  EXPECT_NE(r2, nullptr);
  ExUnregisterCallback(r2);
  ObDereferenceObject(object);
}

struct Slow {
  KEVENT entered;
  LONGLONG finishedAt = -1;
};

void SlowCallback(PVOID context, PVOID, PVOID) {
  auto* slow = static_cast<Slow*>(context);
  KeSetEvent(&slow->entered, IO_NO_INCREMENT, FALSE);
  LARGE_INTEGER d;
  d.QuadPart = -10 * kTicksPerMillisecond;
  KeDelayExecutionThread(KernelMode, FALSE, &d);
  slow->finishedAt = platform::clock::Now();
}

TEST_F(CallbackTest, UnregisterWaitsForACallbackRunningOnAnotherThread) {
  PCALLBACK_OBJECT object = nullptr;
  ASSERT_EQ(Open(u"\\Callback\\StreamEngineAddr%p", TRUE, &object), STATUS_SUCCESS);
  Slow slow;
  KeInitializeEvent(&slow.entered, NotificationEvent, FALSE);
  PVOID registration = ExRegisterCallback(object, SlowCallback, &slow);
  ASSERT_NE(registration, nullptr);
  platform::clock::Thread notifier("notifier", [&] { ExNotifyCallback(object, nullptr, nullptr); });
  KeWaitForSingleObject(&slow.entered, Executive, KernelMode, FALSE, nullptr);
  ExUnregisterCallback(registration);
  EXPECT_EQ(slow.finishedAt, 10 * kTicksPerMillisecond);
  EXPECT_EQ(platform::clock::Now(), 10 * kTicksPerMillisecond);
  notifier.Join();
  ObDereferenceObject(object);
}

struct SelfRemoving {
  PVOID registration = nullptr;
  int calls = 0;
};

TEST_F(CallbackTest, CallbackMayUnregisterItselfDuringANotification) {
  PCALLBACK_OBJECT object = nullptr;
  ASSERT_EQ(Open(u"\\Callback\\AudioHalAddr%p", TRUE, &object), STATUS_SUCCESS);
  SelfRemoving self;
  Calls calls;
  static const char after[] = "after";
  self.registration = ExRegisterCallback(
      object,
      [](PVOID context, PVOID, PVOID) {
        auto* s = static_cast<SelfRemoving*>(context);
        ++s->calls;
        ExUnregisterCallback(s->registration);
      },
      &self);
  PVOID other = ExRegisterCallback(object, Record, const_cast<char*>(after));
  ExNotifyCallback(object, &calls, nullptr);
  ExNotifyCallback(object, &calls, nullptr);
  EXPECT_EQ(self.calls, 1);
  EXPECT_EQ(calls.seen.size(), 2u);
  ExUnregisterCallback(other);
  ObDereferenceObject(object);
}

TEST_F(CallbackTest, BadArgumentsAreReported) {
  platform::verifier::ScopedCapture capture;
  PCALLBACK_OBJECT object = nullptr;
  EXPECT_EQ(ExCreateCallback(&object, nullptr, TRUE, TRUE), STATUS_INVALID_PARAMETER);
  int notAnObject = 0;
  EXPECT_EQ(ExRegisterCallback(reinterpret_cast<PCALLBACK_OBJECT>(&notAnObject), Record, nullptr), nullptr);
  ExNotifyCallback(&notAnObject, nullptr, nullptr);
  EXPECT_EQ(capture.violations().size(), 3u);
}

}  // namespace
