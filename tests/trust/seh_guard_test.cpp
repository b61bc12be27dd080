#include <windows.h>

#include <gtest/gtest.h>

#include <stdexcept>

#include "base/handle.h"
#include "trust/signature_check.h"

namespace {

void* ExceptionListHead() {
    NT_TIB* tib;
    __asm__ volatile("movl %%fs:0x18, %0" : "=r"(tib));
    return tib->ExceptionList;
}

bool ReturnsTrue(void*) {
    return true;
}
bool ReturnsFalse(void*) {
    return false;
}
bool ReadsNullPointer(void*) {
    volatile int* nowhere = nullptr;
    return *nowhere == 0;
}
bool RaisesError(void*) {
    RaiseException(0xE0001234, 0, 0, nullptr);
    return true;
}
// An exception that system code raises and handles inside the call never reaches the guard.
bool ProbesBadPointer(void*) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return IsBadReadPtr(reinterpret_cast<void*>(16), 4) != FALSE;
#pragma GCC diagnostic pop
}
// A fault inside a system module rather than in our own code.
bool FaultsInsideNtdll(void*) {
    using MoveMemoryFn = void(WINAPI*)(void*, const void*, SIZE_T);
    auto move = reinterpret_cast<MoveMemoryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlMoveMemory")));
    if (!move)
        return true;  // makes the case fail rather than fault for another reason
    char target[16];
    move(target, reinterpret_cast<const void*>(16), sizeof(target));
    return true;
}
bool FaultsInNestedGuard(void* context) {
    *static_cast<bool*>(context) = trust::RunGuarded(&ReadsNullPointer, nullptr);
    return true;
}

struct Case {
    const char* name;
    bool (*body)(void*);
    bool expected;
};

TEST(RunGuarded, AnswersTheBodyOrFalseOnAStructuredException) {
    const Case cases[] = {
        {"returns true", &ReturnsTrue, true},
        {"returns false", &ReturnsFalse, false},
        {"access violation", &ReadsNullPointer, false},
        {"raised error", &RaisesError, false},
        {"fault inside ntdll", &FaultsInsideNtdll, false},
        {"exception handled inside", &ProbesBadPointer, true},
    };
    for (const Case& c : cases) {
        void* before = ExceptionListHead();
        EXPECT_EQ(trust::RunGuarded(c.body, nullptr), c.expected) << c.name;
        // Our record must be off the thread's handler list again, or the next exception would
        // be dispatched into a dead stack frame.
        EXPECT_EQ(ExceptionListHead(), before) << c.name;
    }
}

TEST(RunGuarded, InnerGuardCatchesBeforeOuter) {
    bool inner = true;
    EXPECT_TRUE(trust::RunGuarded(&FaultsInNestedGuard, &inner));
    EXPECT_FALSE(inner);
}

TEST(RunGuarded, ManyFaultsInARowLeaveTheThreadSound) {
    void* before = ExceptionListHead();
    for (int i = 0; i < 200; ++i)
        ASSERT_FALSE(trust::RunGuarded(&ReadsNullPointer, nullptr)) << i;
    EXPECT_EQ(ExceptionListHead(), before);
    // C++ exceptions still unwind normally afterwards.
    EXPECT_THROW(throw std::runtime_error("after faults"), std::runtime_error);
}

DWORD WINAPI GuardOnWorker(void* result) {
    *static_cast<int*>(result) = trust::RunGuarded(&ReadsNullPointer, nullptr) ? 1 : 0;
    return 0;
}

TEST(RunGuarded, WorksOnAnyThread) {
    int result = -1;
    base::UniqueHandle thread(CreateThread(nullptr, 0, &GuardOnWorker, &result, 0, nullptr));
    ASSERT_TRUE(thread);
    ASSERT_EQ(WaitForSingleObject(thread.Get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(result, 0);
}

}  // namespace
