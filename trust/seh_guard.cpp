// A structured-exception frame for mingw on 32-bit Windows, where GCC has no __try/__except.
//
// On x86 the structured-exception handlers of a thread form a list of records that live on the
// stack and are chained from fs:[0] (NT_TIB::ExceptionList). RunGuarded pushes one record of its
// own for the time of the call. When an exception that nothing inside the call has handled
// reaches that record, the handler does what the compiler's __except(EXCEPTION_EXECUTE_HANDLER)
// does: RtlUnwind runs the unwind handlers of every frame between the fault and ours (system code
// inside the call may have frames of its own) and leaves our record at the head of the list;
// then a jump resumes RunGuarded at its recovery point, which unlinks the record and answers
// false. A vectored handler would not do: it sees every first-chance exception of the process,
// including the ones that the code inside the call raises and handles itself.
//
// Windows lets a handler run only when its image allows it: an image with a SafeSEH table must
// list the handler there, an image marked IMAGE_DLLCHARACTERISTICS_NO_SEH allows none. GNU ld
// writes neither (no load configuration at all), so the loader accepts any handler inside the
// image, as it does for every mingw program that installs frames this way. A build that adds a
// load configuration with a SafeSEH table would have to list GuardHandler in it.
//
// __builtin_setjmp/__builtin_longjmp are used rather than the C library's setjmp because their
// behaviour does not depend on the run-time library: they restore only the frame and stack
// pointers and the compiler reloads everything else at the recovery point, while the exception
// list is restored explicitly here.
#include "trust/signature_check.h"

#include <windows.h>

namespace trust {
namespace {

#if !defined(__i386__)
#error \
    "RunGuarded installs an x86 exception-registration record; 64-bit Windows uses table-based unwinding"
#endif

struct GuardFrame {
    // First member: the dispatcher hands the handler this record's address as its establisher
    // frame, which is how the handler finds the resume buffer.
    EXCEPTION_REGISTRATION_RECORD record;
    void* resume[5];
};

// NT_TIB::Self (fs:[0x18]) gives the block's ordinary address, through which the list head is
// read and written like any other memory.
NT_TIB* ThreadInformationBlock() {
    NT_TIB* tib;
    __asm__("movl %%fs:0x18, %0" : "=r"(tib));
    return tib;
}

EXCEPTION_DISPOSITION NTAPI GuardHandler(EXCEPTION_RECORD* exception, void* establisher, CONTEXT*,
                                         void*) {
    // The second pass (an outer handler unwinding through us) needs nothing: the guarded call is
    // already abandoned by whoever unwinds.
    if (exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    auto* frame = static_cast<GuardFrame*>(establisher);
    RtlUnwind(establisher, nullptr, exception, nullptr);
    __builtin_longjmp(frame->resume, 1);
}

}  // namespace

bool RunGuarded(bool (*body)(void* context), void* context) {
    GuardFrame frame;
    frame.record.Next = ThreadInformationBlock()->ExceptionList;
    frame.record.Handler = &GuardHandler;
    if (__builtin_setjmp(frame.resume) != 0) {
        // Back from the handler: the unwind left our record at the head of the list.
        ThreadInformationBlock()->ExceptionList = frame.record.Next;
        return false;
    }
    ThreadInformationBlock()->ExceptionList = &frame.record;
    bool answer = body(context);
    ThreadInformationBlock()->ExceptionList = frame.record.Next;
    return answer;
}

}  // namespace trust
