// Letting the interpreter end a thread. Plain C++: the walk core uses it too.
#pragma once

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

// While CPython 3.9 to 3.13 finalize, a thread that asks for the interpreter
// lock back is ended with pthread_exit, which unwinds the C++ stack with a
// forced-unwind exception (3.14 parks such threads instead). No handler may
// swallow it, or the process aborts instead of exiting: a catch-all is
// preceded by this clause, which lets it pass. A function on such a path is
// not noexcept, and a destructor that retakes the lock is noexcept(false).
#if defined(__GLIBCXX__)
#define KV_PASS_FORCED_UNWIND \
    catch (abi::__forced_unwind&) { throw; }
#else
#define KV_PASS_FORCED_UNWIND
#endif
