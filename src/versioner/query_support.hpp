// What the scan of the navigation queries shares between its parts: the walk
// and the selection of names, standing in for os.walk and fnmatch.filter
// (query_scan.cpp); the names read as the items' construction reads them
// (query_text.cpp); and the items decided from them, standing in for that
// construction (query_items.cpp).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ref.hpp"
#include "walk_core.hpp"

namespace kv::query_detail {

struct QueryOriginals {
    bool ready = false;
    PyObject* globals = nullptr;
    std::vector<PyObject*> modules;  // reached by attribute: plain modules
    PyObject* file_system_class = nullptr;
    PyObject* default_postfix = nullptr;  // ".v"
    PyObject* default_ext = nullptr;      // ".*"
};

extern QueryOriginals query_originals;

// Enters the recursion bracket of a call, as the interpreter or a running
// generator does; false with RecursionError set when it is refused.
bool enter_call(const char* where, const char* message);
bool enter_generator();

// What `append` and `append_utf8` saw among the characters they copied.
inline constexpr unsigned line_break = 1;
inline constexpr unsigned slash = 2;

// Appends the code points of `text`; what it saw among them.
unsigned append(std::u32string& out, PyObject* text);

// Decodes `bytes` as strict UTF-8 (no surrogates, no overlong forms) onto
// `out`, or, with `out` null, only checks them. What it saw among the
// characters; -1 when the bytes are not valid UTF-8.
int append_utf8(std::u32string* out, std::string_view bytes);

bool valid_utf8(std::string_view bytes);

// Valid UTF-8 names in code point order.
void sort_by_name(walk::Entries& entries);

// Whether the file-system encoding decodes names as UTF-8 with
// surrogateescape, so that a valid UTF-8 name decodes as UTF-8.
bool file_system_decodes_utf8();

// The str of chars[begin:end].
Ref text_of(const std::u32string& chars, size_t begin, size_t end);

}  // namespace kv::query_detail
