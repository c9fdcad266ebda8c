#include "traceback.hpp"

namespace kv {

// The entry is an interpreter frame of an empty code object whose first line
// is the wanted line: a fresh frame reports its code's first line, so the
// entry carries `line` without touching frame internals, whose layout differs
// between interpreter versions.
void add_traceback(const char* name, Borrowed globals, int line) {
    if (!PyErr_Occurred()) return;
    PendingError pending;
    Ref frame;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_file, name, line)));
    if (code) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)));
    }
    if (!frame) PyErr_Clear();
    // Put back here rather than by the destructor: the entry goes onto the
    // exception in flight, which must be the one held aside.
    pending.restore();
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace kv
