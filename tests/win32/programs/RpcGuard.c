/* RpcGuardedCall for GCC on 64-bit Windows, through the table-based structured exception handling
 * of x64 Windows: the C run-time's __C_specific_handler with one scope entry (begin, end, filter,
 * target), as excpt.h's __try1/__except1 emit it. When the call raises, the filter records the
 * code and chooses the handler; the system unwinds the frames in between (running their
 * termination handlers, as the NDR engine's cleanup needs) and resumes at the end of the scope.
 * One scope per file: the labels that excpt.h uses are fixed names. */
#include <windows.h>
#include <excpt.h>

static __thread unsigned long guarded_code;

__attribute__((used)) LONG RpcGuardFilter(EXCEPTION_POINTERS* pointers, void* frame)
{
    (void)frame;
    guarded_code = pointers->ExceptionRecord->ExceptionCode;
    return EXCEPTION_EXECUTE_HANDLER;
}

__attribute__((noinline)) unsigned long RpcGuardedCall(void (*call)(void*), void* argument)
{
    void (*volatile target)(void*) = call;
    guarded_code = 0;
    __try1(RpcGuardFilter)
    target(argument);
    __except1
    return guarded_code;
}
