// Traceback entries for failures inside the module's functions.
#pragma once

#include "ref.hpp"

namespace kv {

// The file name that every entry of this module carries.
inline constexpr const char* source_file = "src\\kestrum\\versioner";

// Adds the entry (name, source_file, line) to the traceback of the exception
// in flight. The pending exception is kept as it is; if building the entry
// fails, that failure is dropped and the original error stays.
void add_traceback(const char* name, Borrowed globals, int line);

}  // namespace kv
