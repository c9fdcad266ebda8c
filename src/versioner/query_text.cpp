// The names of a listing as the scan's items read them: code points of
// str names, and UTF-8 bytes decoded as the file-system encoding would.
#include <algorithm>

#include "query_support.hpp"

namespace kv::query_detail {

namespace {

template <typename Char>
unsigned copy_chars(const void* data, size_t n, char32_t* out) {
    const Char* chars = static_cast<const Char*>(data);
    unsigned seen = 0;
    for (size_t i = 0; i < n; ++i) {
        out[i] = chars[i];
        seen |= (chars[i] == '\n' ? line_break : 0u) | (chars[i] == '/' ? slash : 0u);
    }
    return seen;
}

}  // namespace

// Appends the code points of `text`; what it saw among them.
unsigned append(std::u32string& out, PyObject* text) {
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    const size_t at = out.size();
    out.resize(at + n);
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return copy_chars<Py_UCS1>(data, n, &out[at]);
        case PyUnicode_2BYTE_KIND: return copy_chars<Py_UCS2>(data, n, &out[at]);
        default: return copy_chars<Py_UCS4>(data, n, &out[at]);
    }
}

// Decodes `bytes` as strict UTF-8 (no surrogates, no overlong forms) onto
// `out`, or, with `out` null, only checks them. What it saw among the
// characters; -1 when the bytes are not valid UTF-8.
int append_utf8(std::u32string* out, std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    // At most one code point per byte: written in place, the rest cut after.
    const size_t at = out ? out->size() : 0;
    char32_t* w = nullptr;
    if (out) {
        out->resize(at + n);
        w = &(*out)[at];
    }
    char32_t* const begin = w;
    unsigned seen = 0;
    for (size_t i = 0; i < n;) {
        const unsigned c = p[i];
        if (c < 0x80) {
            seen |= (c == '\n' ? line_break : 0u) | (c == '/' ? slash : 0u);
            if (w) *w++ = c;
            ++i;
            continue;
        }
        char32_t cp;
        size_t length;
        if (c >= 0xC2 && c <= 0xDF) {
            cp = c & 0x1F;
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            cp = c & 0x0F;
            length = 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            cp = c & 0x07;
            length = 4;
        } else {
            if (out) out->resize(at);
            return -1;
        }
        bool valid = n - i >= length;
        for (size_t k = 1; valid && k < length; ++k) {
            valid = (p[i + k] & 0xC0) == 0x80;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (!valid || (length == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (length == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
            if (out) out->resize(at);
            return -1;
        }
        if (w) *w++ = cp;
        i += length;
    }
    if (out) out->resize(at + static_cast<size_t>(w - begin));
    return static_cast<int>(seen);
}

bool valid_utf8(std::string_view bytes) {
    unsigned char any = 0;
    for (char c : bytes) any |= static_cast<unsigned char>(c);
    return any < 0x80 || append_utf8(nullptr, bytes) >= 0;
}

// Valid UTF-8 names in code point order.
void sort_by_name(walk::Entries& entries) {
    std::sort(entries.items.begin(), entries.items.end(),
              [&](const walk::Entry& a, const walk::Entry& b) {
                  return entries.name(a) < entries.name(b);
              });
}

// Whether the file-system encoding decodes names as UTF-8 with
// surrogateescape, so that a valid UTF-8 name decodes as UTF-8.
bool file_system_decodes_utf8() {
    static const char probe[] = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xff";
    Ref text = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(probe, sizeof probe - 1));
    if (!text) {
        // An encoding that cannot decode the probe is not UTF-8.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) throw PyErrOccurred();
        PyErr_Clear();
        return false;
    }
    const Py_UCS4 expected[] = {'a', 0xE9, 0x20AC, 0x1F600, 0xDCFF};
    const Py_ssize_t count = sizeof expected / sizeof expected[0];
    if (PyUnicode_GET_LENGTH(text.get()) != count) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyUnicode_READ_CHAR(text.get(), i) != expected[i]) return false;
    }
    return true;
}

Ref text_of(const std::u32string& chars, size_t begin, size_t end) {
    return Ref::check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars.data() + begin,
                                                static_cast<Py_ssize_t>(end - begin)));
}

}  // namespace kv::query_detail
