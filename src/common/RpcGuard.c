/* RpcGuardedCall (common/Portability.h) for GCC on 64-bit Windows, which has no __try/__except:
 * one scope of the table-based structured exception handling of x64 Windows, as excpt.h's
 * __try1/__except1 emit it (the C run-time's __C_specific_handler with one scope entry: begin, end,
 * filter, target = end). When the call raises, the system asks RpcGuardFilter, which asks the
 * caller's filter expression; when that chooses the handler, the system unwinds the frames in
 * between (running their termination handlers, which the NDR engine's clean-up needs) and resumes
 * at the end of the scope, and the call returns 1 with the code.
 *
 * The filter is a fixed symbol, so it finds the scope it speaks for through a per-thread chain:
 * the search for a handler goes from the innermost guard outwards, so when a filter lets the
 * exception go on, the next guard the search meets is the enclosing one. Built for MinGW-w64 only:
 * other Windows compilers have __try/__except, which RpcTryExcept uses there. One scope per file:
 * the labels that excpt.h uses are fixed names. */
#include <windows.h>
#include <excpt.h>

struct RpcGuardScope {
    int (*filter)(void*, unsigned long);
    void* filterArgument;
    struct RpcGuardScope* outer;
    volatile unsigned long code;
    volatile int raised;
};

/* The guard whose filter the search for a handler asks next on this thread. */
static __thread struct RpcGuardScope* asked_scope;

__attribute__((used)) LONG RpcGuardFilter(EXCEPTION_POINTERS* pointers, void* frame)
{
    struct RpcGuardScope* scope = asked_scope;
    unsigned long code = pointers->ExceptionRecord->ExceptionCode;
    int verdict;
    (void)frame;
    if (scope == NULL) return EXCEPTION_CONTINUE_SEARCH;
    verdict = scope->filter(scope->filterArgument, code);
    if (verdict > 0) {
        scope->code = code;
        scope->raised = 1;
        return EXCEPTION_EXECUTE_HANDLER;
    }
    /* The search goes on outwards, past this guard, which the handler it finds will unwind. */
    if (verdict == 0) asked_scope = scope->outer;
    return verdict < 0 ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
}

__attribute__((noinline, noclone)) int RpcGuardedCall(void (*call)(void*), void* callArgument,
                                                      int (*filter)(void*, unsigned long), void* filterArgument,
                                                      unsigned long* exceptionCode)
{
    /* Called through a volatile pointer, so that the call stays inside the scope's labels. */
    void (*volatile target)(void*) = call;
    struct RpcGuardScope scope;
    scope.filter = filter;
    scope.filterArgument = filterArgument;
    scope.outer = asked_scope;
    scope.code = 0;
    scope.raised = 0;
    asked_scope = &scope;
    __try1(RpcGuardFilter)
    target(callArgument);
    __except1
    asked_scope = scope.outer;
    if (scope.raised) *exceptionCode = scope.code;
    return scope.raised;
}
