// Up to 3.10 the main interpreter's state is heap memory, freed as the last
// step of finalization. A daemon thread that waits in the interpreter's lock
// when finalization begins wakes once per switch interval; once it sees the
// interpreter finalize it ends, but first resets its request for the lock
// in that state. If finalization completes between two of its wake-ups, the
// reset writes into freed memory, and the process may crash as it exits
// (seen with threads busy in this module, whose lock hand-overs are many).
// So while the interpreter clears its state, past the point from which a
// waiter ends at its next wake-up, the module holds finalization until the
// waiters have woken: its own threads it counts, others it gives two switch
// intervals (at most two seconds in all). From 3.11 on the main
// interpreter's state is not freed.
#include "exit_watch.hpp"

#include "ref.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

namespace kv::exit_watch {

std::atomic<int> retaking{0};

namespace {

#if PY_VERSION_HEX < 0x030B0000
constexpr bool kWaitAtExit = true;
#else
constexpr bool kWaitAtExit = false;
#endif

// A thread that the interpreter ends in its lock leaves the count as its
// stack unwinds. Windows ends such a thread without an unwind: there the
// module gives every waiter the same two switch intervals.
#if defined(_WIN32)
constexpr bool kCounted = false;
#else
constexpr bool kCounted = true;
#endif

std::atomic<bool> others_at_exit{false};
std::atomic<long long> interval_us{5000};

const char kCapsuleName[] = "kestrum.versioner.exit_watch";

#if !defined(_WIN32)
// A child of fork has only the thread that forked: those the parent counted
// are not in it.
PyObject* forget_threads(PyObject*, PyObject*) {
    retaking.store(0);
    Py_RETURN_NONE;
}

PyMethodDef forget_threads_def = {"_forget_threads", forget_threads, METH_NOARGS, nullptr};
#endif

void hold_finalization(PyObject*) {
    if (!others_at_exit.load() || !compat::finalizing()) return;
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::microseconds(interval_us.load());
    const auto start = Clock::now();
    const auto settled = start + 2 * interval + std::chrono::milliseconds(1);
    const auto limit = start + std::min<Clock::duration>(
                                   std::max<Clock::duration>(8 * interval, std::chrono::seconds(1)),
                                   std::chrono::seconds(2));
    for (auto now = start; now < limit; now = Clock::now()) {
        if (now >= settled && (!kCounted || retaking.load() == 0)) break;
        std::this_thread::sleep_for(std::chrono::microseconds(250));
    }
}

}  // namespace

void note_threads_at_exit() {
    if (!kWaitAtExit) return;
    PyThreadState* self = PyThreadState_Get();
    bool others = false;
    for (PyThreadState* t = PyInterpreterState_ThreadHead(PyThreadState_GetInterpreter(self)); t;
         t = PyThreadState_Next(t)) {
        others = others || t != self;
    }
    others_at_exit.store(others);
    if (!others) return;
    // sys.getswitchinterval(); the default where sys has none.
    Borrowed get = PySys_GetObject("getswitchinterval");
    if (!get) return;
    Ref seconds = Ref::check(PyObject_CallNoArgs(get.get()));
    const double value = PyFloat_AsDouble(seconds.get());
    if (value == -1.0 && PyErr_Occurred()) throw PyErrOccurred();
    if (value > 0) interval_us.store(static_cast<long long>(std::min(value, 10.0) * 1e6) + 1);
}

void install() {
    if (!kWaitAtExit) return;
    // The interpreter clears its own dictionary, out of Python's reach, after
    // the modules and before it frees itself.
    // Null, with no error set, where the interpreter has none.
    Borrowed dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!dict) return;
    Ref capsule = Ref::check(PyCapsule_New(&others_at_exit, kCapsuleName, hold_finalization));
    require_status(PyDict_SetItemString(dict.get(), kCapsuleName, capsule.get()));
#if !defined(_WIN32)
    // os.register_at_fork(after_in_child=forget_threads)
    Ref os = Ref::check(PyImport_ImportModule("os"));
    Ref register_at_fork = Ref::check(PyObject_GetAttrString(os.get(), "register_at_fork"));
    Ref forget = Ref::check(PyCFunction_New(&forget_threads_def, nullptr));
    Ref no_args = Ref::check(PyTuple_New(0));
    Ref keywords = Ref::check(Py_BuildValue("{sO}", "after_in_child", forget.get()));
    Ref::check(PyObject_Call(register_at_fork.get(), no_args.get(), keywords.get()));
#endif
}

}  // namespace kv::exit_watch
