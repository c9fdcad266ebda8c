#include "fast_paths.hpp"


#include <climits>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "exit_watch.hpp"
#include "function.hpp"
#include "gate.hpp"
#include "gate_derive.hpp"
#include "platform.hpp"
#include "state.hpp"

namespace kv {

Originals originals;

namespace {

Immortal pattern_cache;  // postfix -> {ext -> compiled pattern}
constexpr Py_ssize_t pattern_cache_size = 512;
Py_ssize_t cached_patterns = 0;
Immortal stem_cache;     // postfix -> compiled stem pattern

// A fragment of the name pattern as a sequence of characters, where
// `any` stands for the dot that matches any character but a line break.
struct Fragment {
    static constexpr Py_UCS4 any = 0xFFFFFFFF;
    std::vector<Py_UCS4> chars;
    bool rest_of_line = false;  // the fragment ".*"

    template <typename Text>
    bool matches_at(const Text& text, Py_ssize_t start) const {
        for (size_t i = 0; i < chars.size(); ++i) {
            Py_UCS4 c = text[start + static_cast<Py_ssize_t>(i)];
            if (chars[i] != any && chars[i] != c) return false;
        }
        return true;
    }
};

// Reads a fragment made of literal characters and dots; false for any
// other regular-expression syntax.
bool read_fragment(PyObject* text, Fragment& out) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text, i);
        switch (c) {
            case '.':
                out.chars.push_back(Fragment::any);
                break;
            case '^': case '$': case '*': case '+': case '?': case '{': case '}':
            case '[': case ']': case '\\': case '|': case '(': case ')': case '#':
                return false;
            default:
                if (Py_UNICODE_ISSPACE(c)) return false;
                out.chars.push_back(c);
        }
    }
    return true;
}

struct NameMatcher {
    // Held so that its address, the key, cannot be taken by another pattern
    // while the matcher lives: a pattern the cache has replaced (two threads
    // compiled the same settings) may be freed by then.
    Ref pattern;
    Fragment postfix;
    Fragment ext;
};

// Matchers of the cached patterns, by pattern object. Never destroyed: what
// it holds is the interpreter's, and static destructors run after it ends.
std::unordered_map<PyObject*, NameMatcher>& matchers =
    *new std::unordered_map<PyObject*, NameMatcher>();

PyObject* keep_attribute(Borrowed module, const char* name) {
    PyObject* value = PyObject_GetAttrString(module.get(), name);
    if (!value) throw PyErrOccurred();
    return value;  // kept for the life of the process, like the module
}

}  // namespace

bool own_static_method(Borrowed obj, Borrowed name, Impl impl) {
#if PY_VERSION_HEX < 0x030B0000
    (void)impl;
    return own_method(obj, name);
#else
    PyObject* o = obj.get();
    if (!class_unchanged(Py_TYPE(o))) return false;
    // A static method is no method descriptor: the lookup gives what obj.name
    // gives, the class's function or the instance's own value.
    bool unbound = false;
    Ref found = Ref::steal(compat::method_lookup(o, name.get(), unbound));
    return found && is_member_function(found.get(), impl);
#endif
}

void capture_originals(Borrowed globals) {
    if (originals.splitext) return;
    try {
        Ref os = Ref::check(PyImport_ImportModule("os"));
        const bool nt_paths = gate::derive::os_path_is_ntpath(os);
        Ref path = Ref::check(PyImport_ImportModule(nt_paths ? "ntpath" : "posixpath"));
        Ref re = Ref::check(PyImport_ImportModule("re"));
        Ref fnmatch = Ref::check(PyImport_ImportModule("fnmatch"));
        Ref cache = Ref::check(PyDict_New());
        Ref stems = Ref::check(PyDict_New());
        Originals taken;
        taken.splitext = keep_attribute(path, "splitext");
        taken.exists = keep_attribute(path, "exists");
        taken.isabs = keep_attribute(path, "isabs");
        taken.walk = keep_attribute(os, "walk");
        taken.path = Ref::borrow(path).release();
        taken.nt_paths = nt_paths;
        taken.os = Ref::borrow(os).release();
        taken.getcwd = keep_attribute(os, "getcwd");
        taken.compile = keep_attribute(re, "compile");
        taken.pattern_type = keep_attribute(re, "Pattern");
        taken.filter = keep_attribute(fnmatch, "filter");
        auto global = [&](const char* name) {
            PyObject* value = PyDict_GetItemString(globals.get(), name);
            if (!value) {
                PyErr_SetString(PyExc_KeyError, name);
                throw PyErrOccurred();
            }
            return Ref::borrow(value).release();
        };
        taken.name_template = global("regex_splits");
        taken.base_version = global("BaseVersion");
        taken.version = global("Version");
        taken.version_file_system = global("VersionFileSystem");
        PyObject* base_dict = reinterpret_cast<PyTypeObject*>(taken.base_version)->tp_dict;
        PyObject* init = PyDict_GetItemString(base_dict, "__init__");
        if (!init) throw PyErrOccurred();
        taken.base_init = Ref::borrow(init).release();
        PyObject* file_system_init = PyDict_GetItemString(
            reinterpret_cast<PyTypeObject*>(taken.version_file_system)->tp_dict, "__init__");
        if (!file_system_init) throw PyErrOccurred();
        taken.file_system_init = Ref::borrow(file_system_init).release();
        pattern_cache.set(std::move(cache));
        stem_cache.set(std::move(stems));
        originals = taken;
        for (PyObject* cls : {taken.base_version, taken.version, taken.version_file_system}) {
            enable_class_call(cls);
        }
    } catch (const PyErrOccurred&) {
        PyErr_Clear();
    }
}

// os.path.splitext: the extension starts at the last dot of the last
// component, unless only dots precede it there. Components end at a slash;
// under ntpath's rules at a backslash too (a drive's colon is no separator
// there: "C:.exr" has the extension ".exr").
namespace {

// Code points of a str, read in place: one byte per character directly,
// any other str through its kind.
struct Latin1Text {
    const Py_UCS1* data;
    Py_UCS4 operator[](Py_ssize_t i) const { return data[i]; }
};
struct StrText {
    PyObject* text;
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ_CHAR(text, i); }
};

struct PosixSeparator {
    static bool at(Py_UCS4 c) { return c == '/'; }
};
struct NtSeparator {
    static bool at(Py_UCS4 c) { return c == '/' || c == '\\'; }
};

template <typename Separator, typename Text>
Py_ssize_t extension_start_in(const Text& text, Py_ssize_t n) {
    // Most names: the last dot of the last component has a character other
    // than a dot right before it in the same component.
    for (Py_ssize_t i = n - 1; i > 0; --i) {
        const Py_UCS4 c = text[i];
        if (Separator::at(c)) break;
        if (c == '.') {
            const Py_UCS4 before = text[i - 1];
            if (before != '.' && !Separator::at(before)) return i;
            break;
        }
    }
    Py_ssize_t dot = -1;
    Py_ssize_t i = n - 1;
    for (; i >= 0; --i) {
        const Py_UCS4 c = text[i];
        if (Separator::at(c)) break;
        if (c == '.' && dot < 0) dot = i;
    }
    // i is now the separator, or -1.
    for (Py_ssize_t j = i + 1; j < dot; ++j) {
        if (text[j] != '.') return dot;
    }
    return -1;
}

}  // namespace

Py_ssize_t extension_start(Borrowed path) {
    PyObject* p = path.get();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(p);
    if (originals.nt_paths) {
        if (PyUnicode_KIND(p) == PyUnicode_1BYTE_KIND) {
            return extension_start_in<NtSeparator>(Latin1Text{PyUnicode_1BYTE_DATA(p)}, n);
        }
        return extension_start_in<NtSeparator>(StrText{p}, n);
    }
    if (PyUnicode_KIND(p) == PyUnicode_1BYTE_KIND) {
        return extension_start_in<PosixSeparator>(Latin1Text{PyUnicode_1BYTE_DATA(p)}, n);
    }
    return extension_start_in<PosixSeparator>(StrText{p}, n);
}

Ref path_extension(Borrowed path) {
    const Py_ssize_t dot = extension_start(path);
    if (dot < 0) return Ref::check(PyUnicode_New(0, 0));
    return Ref::check(PyUnicode_Substring(path.get(), dot, PyUnicode_GET_LENGTH(path.get())));
}

Ref record_entry(Borrowed obj, Borrowed name) {
#if PY_VERSION_HEX < 0x030B0000
    PyObject* namespace_ = compat::instance_dict(obj.get());
    if (!namespace_) return Ref();
    PyObject* value = PyDict_GetItemWithError(namespace_, name.get());
    if (!value && PyErr_Occurred()) throw PyErrOccurred();
    return Ref::borrow(value);
#else
    // The values may live in the instance itself, without a dict: the
    // generic lookup, with nothing on the class to find, reads them.
    PyObject* value = PyObject_GetAttr(obj.get(), name.get());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrOccurred();
        PyErr_Clear();
    }
    return Ref::steal(value);
#endif
}

bool path_exists(Borrowed path) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path.get(), &encoded)) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyErrOccurred();
        PyErr_Clear();
        return false;
    }
    Ref bytes = Ref::steal(encoded);
    const std::string name(PyBytes_AS_STRING(encoded),
                           static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
    WithoutLock unlocked;
    return sys::exists(name);
}

bool isabs_is_original(Borrowed path) {
    return originals.path && path.is(originals.path) &&
           gate::open(gate::Family::isabs);
}

bool base_init_is_original(Borrowed cls, Borrowed self) {
    PyTypeObject* type = Py_TYPE(self.get());
    return originals.base_init && cls.is(originals.version_file_system) &&
           reinterpret_cast<PyObject*>(type) == originals.version_file_system &&
           gate::class_unchanged(type);
}

namespace {

// The pattern that the cache gave last, and its settings: names parsed in a
// row mostly share them, and comparing two short texts costs less than
// hashing the extension, a new text each time.
struct LastPattern {
    Immortal postfix, ext, pattern;
};
LastPattern last_pattern;

// a == b for two exact str.
bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

void remember_last(Borrowed postfix, Borrowed ext, Borrowed pattern) {
    last_pattern.postfix.set(Ref::borrow(postfix));
    last_pattern.ext.set(Ref::borrow(ext));
    last_pattern.pattern.set(Ref::borrow(pattern));
}

}  // namespace

Ref cached_pattern(Borrowed postfix, Borrowed ext) {
    if (last_pattern.pattern.get() && same_text(postfix.get(), last_pattern.postfix.get()) &&
        same_text(ext.get(), last_pattern.ext.get())) {
        return Ref::borrow(last_pattern.pattern.get());
    }
    PyObject* by_ext = PyDict_GetItemWithError(pattern_cache.get(), postfix.get());
    if (!by_ext) {
        if (PyErr_Occurred()) throw PyErrOccurred();
        return Ref();
    }
    PyObject* pattern = PyDict_GetItemWithError(by_ext, ext.get());
    if (!pattern && PyErr_Occurred()) throw PyErrOccurred();
    if (pattern) remember_last(postfix, ext, pattern);
    return Ref::borrow(pattern);
}

void remember_pattern(Borrowed postfix, Borrowed ext, Borrowed pattern) {
    if (static_cast<Py_ssize_t>(matchers.size()) >= pattern_cache_size ||
        cached_patterns >= pattern_cache_size) {
        matchers.clear();
        last_pattern.pattern.set(Ref());
        PyDict_Clear(pattern_cache.get());
        cached_patterns = 0;
    }
    PyObject* by_ext = PyDict_GetItemWithError(pattern_cache.get(), postfix.get());
    if (!by_ext) {
        if (PyErr_Occurred()) throw PyErrOccurred();
        Ref fresh = Ref::check(PyDict_New());
        require_status(PyDict_SetItem(pattern_cache.get(), postfix.get(), fresh.get()));
        by_ext = fresh.get();  // now held by the cache
    }
    // Another construction may have cached the same settings meanwhile: its
    // pattern's matcher goes with it.
    PyObject* replaced = PyDict_GetItemWithError(by_ext, ext.get());
    if (!replaced && PyErr_Occurred()) throw PyErrOccurred();
    if (replaced && replaced != pattern.get()) matchers.erase(replaced);
    if (!replaced) ++cached_patterns;
    require_status(PyDict_SetItem(by_ext, ext.get(), pattern.get()));
    NameMatcher matcher;
    matcher.pattern = Ref::borrow(pattern);
    if (PyUnicode_GET_LENGTH(ext.get()) == 2 && PyUnicode_READ_CHAR(ext.get(), 0) == '.' &&
        PyUnicode_READ_CHAR(ext.get(), 1) == '*') {
        matcher.ext.rest_of_line = true;
    } else if (!read_fragment(ext.get(), matcher.ext)) {
        return;
    }
    if (!read_fragment(postfix.get(), matcher.postfix)) return;
    matchers[pattern.get()] = std::move(matcher);
}

Ref cached_stem_pattern(Borrowed postfix) {
    PyObject* pattern = PyDict_GetItemWithError(stem_cache.get(), postfix.get());
    if (!pattern && PyErr_Occurred()) throw PyErrOccurred();
    return Ref::borrow(pattern);
}

void remember_stem_pattern(Borrowed postfix, Borrowed pattern) {
    if (PyDict_GET_SIZE(stem_cache.get()) >= pattern_cache_size) PyDict_Clear(stem_cache.get());
    require_status(PyDict_SetItem(stem_cache.get(), postfix.get(), pattern.get()));
}

Ref plain_postfix_stem(Borrowed head, Borrowed postfix) {
    Fragment fragment;
    if (!read_fragment(postfix.get(), fragment)) return Ref();
    const Py_ssize_t keep = PyUnicode_GET_LENGTH(head.get()) - PyUnicode_GET_LENGTH(postfix.get());
    return Ref::check(PyUnicode_Substring(head.get(), 0, keep > 0 ? keep : 0));
}

// Code points of a buffer.
struct BufferText {
    const std::u32string& text;
    Py_UCS4 operator[](Py_ssize_t i) const { return text[static_cast<size_t>(i)]; }
};

// The pattern is "(?P<head>.*P)(?P<version>[0-9]+)(?P<tail>[.]E)", searched
// in a name without line breaks: the match starts at the first character,
// and the engine tries the longest head first. The digits are followed by a
// dot, so only their longest run can succeed. On a match, the head is
// [0, h), the digits [h, d) and the tail [d, end).
template <typename Text>
bool find_match(const NameMatcher& m, const Text& text, Py_ssize_t n, Py_ssize_t& h_out,
                Py_ssize_t& d_out, Py_ssize_t& end_out) {
    const Py_ssize_t plen = static_cast<Py_ssize_t>(m.postfix.chars.size());
    const Py_ssize_t elen = static_cast<Py_ssize_t>(m.ext.chars.size());
    // The postfix's last character, when literal, rules out most places at
    // a glance.
    const Py_UCS4 last = plen > 0 ? m.postfix.chars.back() : Fragment::any;
    for (Py_ssize_t h = n; h >= plen; --h) {
        if (last != Fragment::any && text[h - 1] != last) continue;
        if (!m.postfix.matches_at(text, h - plen)) continue;
        Py_ssize_t d = h;
        while (d < n) {
            Py_UCS4 c = text[d];
            if (c < '0' || c > '9') break;
            ++d;
        }
        if (d == h || d >= n || text[d] != '.') continue;
        Py_ssize_t end = n;
        if (!m.ext.rest_of_line) {
            end = d + 1 + elen;
            if (end > n || !m.ext.matches_at(text, d + 1)) continue;
        }
        h_out = h;
        d_out = d;
        end_out = end;
        return true;
    }
    return false;
}

NativeSplit split_points(Borrowed pattern, Borrowed name, Py_ssize_t& h, Py_ssize_t& d,
                         Py_ssize_t& end) {
    auto found = matchers.find(pattern.get());
    if (found == matchers.end()) return NativeSplit::cannot_answer;
    PyObject* text = name.get();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND) {
        const Py_UCS1* data = PyUnicode_1BYTE_DATA(text);
        if (std::memchr(data, '\n', static_cast<size_t>(n))) return NativeSplit::cannot_answer;
        const bool matched = find_match(found->second, Latin1Text{data}, n, h, d, end);
        return matched ? NativeSplit::matched : NativeSplit::unmatched;
    }
    if (PyUnicode_FindChar(text, '\n', 0, n, 1) != -1) return NativeSplit::cannot_answer;
    if (!find_match(found->second, StrText{text}, n, h, d, end)) return NativeSplit::unmatched;
    return NativeSplit::matched;
}

Ref split_natively(Borrowed pattern, Borrowed name, bool& cannot_answer) {
    Py_ssize_t h = 0, d = 0, end = 0;
    const NativeSplit split = split_points(pattern, name, h, d, end);
    cannot_answer = split == NativeSplit::cannot_answer;
    if (split != NativeSplit::matched) return Ref();
    PyObject* text = name.get();
    Ref head = Ref::check(PyUnicode_Substring(text, 0, h));
    Ref version = Ref::check(PyUnicode_Substring(text, h, d));
    Ref tail = Ref::check(PyUnicode_Substring(text, d, end));
    return tuple(head, version, tail);
}

NativeSplit find_version_digits(Borrowed pattern, const std::u32string& name, size_t& begin,
                                size_t& end) {
    auto found = matchers.find(pattern.get());
    if (found == matchers.end()) return NativeSplit::cannot_answer;
    Py_ssize_t h = 0, d = 0, tail_end = 0;
    const Py_ssize_t n = static_cast<Py_ssize_t>(name.size());
    if (!find_match(found->second, BufferText{name}, n, h, d, tail_end)) {
        return NativeSplit::unmatched;
    }
    begin = static_cast<size_t>(h);
    end = static_cast<size_t>(d);
    return NativeSplit::matched;
}

Ref filter_by_prefix(Borrowed names_list, Borrowed prefix) {
    if (!PyList_CheckExact(names_list.get()) || !PyUnicode_CheckExact(prefix.get())) return Ref();
    const Py_ssize_t prefix_length = PyUnicode_GET_LENGTH(prefix.get());
    for (Py_ssize_t i = 0; i < prefix_length; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(prefix.get(), i);
        if (c == '*' || c == '?' || c == '[') return Ref();
    }
    const Py_ssize_t count = PyList_GET_SIZE(names_list.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(names_list.get(), i))) return Ref();
    }
    Ref selected = Ref::check(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyList_GET_ITEM(names_list.get(), i);
        Py_ssize_t found = PyUnicode_Tailmatch(name, prefix.get(), 0, PY_SSIZE_T_MAX, -1);
        if (found < 0) throw PyErrOccurred();
        if (found) require_status(PyList_Append(selected.get(), name));
    }
    return selected;
}

Ref parse_digits(Borrowed text) {
    PyObject* p = text.get();
    if (!PyUnicode_CheckExact(p) || !PyUnicode_IS_ASCII(p)) return Ref();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(p);
    if (n == 0 || n > 18) return Ref();
    const Py_UCS1* digits = PyUnicode_1BYTE_DATA(p);
    long long value = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (digits[i] < '0' || digits[i] > '9') return Ref();
        value = value * 10 + (digits[i] - '0');
    }
    return Ref::check(PyLong_FromLongLong(value));
}

Ref pad_number(Borrowed pads, Borrowed number) {
    if (!PyLong_CheckExact(pads.get()) || !PyLong_CheckExact(number.get())) return Ref();
    long long width, value;
    if (!compat::compact_int(pads.get(), width) || !compat::compact_int(number.get(), value)) {
        int overflow = 0;
        width = PyLong_AsLongLongAndOverflow(pads.get(), &overflow);
        if (overflow) return Ref();
        if (width == -1 && PyErr_Occurred()) throw PyErrOccurred();
        value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
        if (overflow) return Ref();
    }
    if (width < -4096 || width > 4096 || value == LLONG_MIN) return Ref();

    const unsigned long long magnitude =
        value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
    if (width >= 0 && width <= 64) {
        // Digits from the right, then zeros up to the width, then the sign.
        char buffer[96];
        char* const end = buffer + sizeof buffer;
        char* p = end;
        unsigned long long rest = magnitude;
        do {
            *--p = static_cast<char>('0' + rest % 10);
            rest /= 10;
        } while (rest);
        const long used = static_cast<long>(end - p) + (value < 0 ? 1 : 0);
        for (long k = used; k < width; ++k) *--p = '0';
        if (value < 0) *--p = '-';
        Ref text = Ref::check(PyUnicode_New(end - p, 127));
        std::memcpy(PyUnicode_1BYTE_DATA(text.get()), p, static_cast<size_t>(end - p));
        return text;
    }
    std::string digits = std::to_string(magnitude);
    std::string text;
    const size_t sign = value < 0 ? 1 : 0;
    const size_t size = digits.size() + sign;
    if (width < 0) {
        // A minus flag: left-justified, filled with spaces.
        text = (sign ? "-" : "") + digits;
        if (size < static_cast<size_t>(-width)) text.append(static_cast<size_t>(-width) - size, ' ');
    } else {
        // Zeros between the sign and the digits.
        text = sign ? "-" : "";
        if (size < static_cast<size_t>(width)) text.append(static_cast<size_t>(width) - size, '0');
        text += digits;
    }
    return Ref::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace kv
