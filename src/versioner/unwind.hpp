// Letting the interpreter end a thread. Plain C++: the walk core uses it too.
#pragma once

#include <exception>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

// While CPython 3.9 to 3.13 finalize, a thread that asks for the interpreter
// lock back is ended with pthread_exit, which unwinds the C++ stack with a
// forced-unwind exception (3.14 parks such threads instead). No handler may
// swallow it, or the process aborts or crashes instead of exiting: a function
// on such a path is not noexcept, a destructor that retakes the lock is
// noexcept(false), and the last handler of a try that stops every exception
// is KV_CATCH_ANY_CXX_EXCEPTION.
//
// libstdc++ gives the forced unwind a type of its own, which a clause before
// the catch-all lets pass. libc++abi (the runtime linked into the manylinux
// wheels) has no such type, hands a catch-all every exception that C++ code
// did not throw, the forced unwind among them, and cannot throw such an
// exception on: there the last handler takes what the module and the C++
// library throw, the std::exception family. So does the build under
// UndefinedBehaviorSanitizer, which stops the process when the clause binds
// its reference to the forced unwind, an exception with no object.
#if defined(__GLIBCXX__) && !defined(KV_SANITIZE_UNDEFINED)
#define KV_CATCH_ANY_CXX_EXCEPTION \
    catch (abi::__forced_unwind&) { throw; } catch (...)
#else
#define KV_CATCH_ANY_CXX_EXCEPTION catch (const std::exception&)
#endif
