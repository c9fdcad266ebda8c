#include "query_scan.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "fast_paths.hpp"
#include "gate.hpp"
#include "scan_generator.hpp"
#include "ops.hpp"
#include "state.hpp"

namespace kv {
namespace {

struct QueryOriginals {
    bool ready = false;
    PyObject* globals = nullptr;
    std::vector<PyObject*> modules;  // reached by attribute: plain modules
    PyObject* file_system_class = nullptr;
    PyObject* default_postfix = nullptr;  // ".v"
    PyObject* default_ext = nullptr;      // ".*"
};

QueryOriginals query_originals;

// The members that a query reads on its receiver, or that the scan and the
// items' construction reach through the receiver's class.
constexpr const char* receiver_members[] = {
    "__iter__", "__eq__", "current", "_current", "__init__", "_splits", "first", "last",
    "next", "previous", "__next__", "__previous__", "__getattribute__", "__getattr__",
};
std::vector<PyObject*> receiver_member_names;

PyObject* keep(PyObject* value) { return Ref::borrow(value).release(); }  // for the process

// What an attribute lookup on an instance of `type` finds in the classes.
PyObject* class_member(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) return nullptr;
        PyObject* dict = reinterpret_cast<PyTypeObject*>(base)->tp_dict;
        if (!dict) continue;
        PyObject* found = PyDict_GetItemWithError(dict, name);
        if (found) return found;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return nullptr;
}

// Enters the recursion bracket of a call, as the interpreter or a running
// generator does; false with RecursionError set when it is refused.
bool enter_call(const char* where, const char* message) {
    if (compat::stack_nearly_exhausted()) {
        PyErr_SetString(PyExc_RecursionError, message);
        return false;
    }
    return Py_EnterRecursiveCall(where) == 0;
}

bool enter_generator() {
    return enter_call(" while running a generator",
                      "maximum recursion depth exceeded while running a generator");
}

// What `append` saw among the characters it copied.
constexpr unsigned line_break = 1;
constexpr unsigned slash = 2;

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

// os.getcwd(); an empty Ref when it fails (the item is then built the usual
// way, and fails as os.getcwd does).
Ref current_directory() {
    std::vector<char> buffer(1024);
    while (true) {
        bool ok;
        int error;
        Py_BEGIN_ALLOW_THREADS
        ok = getcwd(buffer.data(), buffer.size()) != nullptr;
        error = errno;
        Py_END_ALLOW_THREADS
        if (ok) return Ref::check(PyUnicode_DecodeFSDefault(buffer.data()));
        if (error != ERANGE || buffer.size() > (1u << 20)) return Ref();
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

void capture_query_originals(Borrowed globals) noexcept {
    if (query_originals.ready || !originals.version_file_system) return;
    try {
        for (const char* name : {"os", "re", "posixpath"}) {
            query_originals.modules.push_back(Ref::check(PyImport_ImportModule(name)).release());
        }
        for (const char* name : receiver_members) {
            receiver_member_names.push_back(Ref::check(PyUnicode_InternFromString(name)).release());
        }
        query_originals.globals = keep(globals.get());
        query_originals.file_system_class = keep(originals.version_file_system);
        query_originals.default_postfix = Ref::check(PyUnicode_InternFromString(".v")).release();
        query_originals.default_ext = Ref::check(PyUnicode_InternFromString(".*")).release();
        query_originals.ready = true;
    } catch (const PyErrOccurred&) {
        PyErr_Clear();
    }
}

bool QueryScan::applies(Borrowed globals, Borrowed self) {
    const QueryOriginals& o = query_originals;
    if (!o.ready || o.globals != globals.get()) return false;
    for (PyObject* module : o.modules) {
        if (Py_TYPE(module) != &PyModule_Type) return false;
    }
    // The module globals and standard functions that the items' construction
    // reads and calls: the scan decides their numbers without it.
    auto* cls = reinterpret_cast<PyTypeObject*>(o.file_system_class);
    if (!gate::open(gate::Family::scan_items) || Py_TYPE(o.file_system_class) != &PyType_Type ||
        !class_unchanged(cls)) {
        return false;
    }
    PyTypeObject* type = Py_TYPE(self.get());
    if (type == cls) return true;
    if (!PyType_IsSubtype(type, cls) || type->tp_iter != cls->tp_iter) return false;
    for (PyObject* name : receiver_member_names) {
        if (class_member(type, name) != class_member(cls, name)) return false;
    }
    return true;
}

bool QueryScan::reads_current_plainly(Borrowed self) {
    PyObject* o = self.get();
    PyTypeObject* type = Py_TYPE(o);
    auto* cls = reinterpret_cast<PyTypeObject*>(query_originals.file_system_class);
    if (type != cls) {
        for (PyObject* name : {names.version, names.filename}) {
            if (class_member(type, name) != class_member(cls, name)) return false;
        }
    }
#if PY_VERSION_HEX < 0x030B0000
    PyObject* namespace_ = compat::instance_dict(o);
    if (!namespace_) return false;
    if (PyDict_GetItemWithError(namespace_, names.current_method)) return false;
    if (PyErr_Occurred()) throw PyErrOccurred();
#else
    if (!compat::unshadowed_method(o, names.current_method)) return false;
#endif
    Ref version = record_entry(self, names.version);
    return !version || version.is_none() || PyUnicode_CheckExact(version.get());
}

Py_ssize_t ScanDirectory::size() const {
    return native ? static_cast<Py_ssize_t>(raw.size()) : PyList_GET_SIZE(names.get());
}

Ref ScanDirectory::name(Py_ssize_t index) const {
    if (!native) return Ref::borrow(PyList_GET_ITEM(names.get(), index));
    const std::string_view bytes = raw_name(index);
    return Ref::check(
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

bool QueryItem::not_before(const QueryItem& other) const {
    if (dir->position != other.dir->position) return dir->position > other.dir->position;
    if (dir->sorted && other.dir->sorted && dir == other.dir) return index >= other.index;
    if (dir->native && other.dir->native) {
        // Valid UTF-8 bytes, compared unsigned: code point order.
        return dir->raw_name(index).compare(other.dir->raw_name(other.index)) >= 0;
    }
    // Exact str names: sorted by code point, as the scan sorts them.
    Ref name = dir->name(index);
    Ref other_name = other.dir->name(other.index);
    const int order = PyUnicode_Compare(name.get(), other_name.get());
    if (order == -1 && PyErr_Occurred()) throw PyErrOccurred();
    return order >= 0;
}

QueryScan::QueryScan(Borrowed globals, Borrowed self, bool any_order, bool first_only)
    : globals_(Ref::borrow(globals)),
      self_(Ref::borrow(self)),
      body_(globals, "__iter__", 150),
      any_order_(any_order),
      first_only_(first_only) {}

QueryScan::~QueryScan() { leave(); }

void QueryScan::leave() noexcept {
    if (entered_) Py_LeaveRecursiveCall();
    entered_ = false;
}

bool QueryScan::next(QueryItem& item) {
    try {
        return advance(item);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const PyErrOccurred&) {
    }
    body_.traceback_here();
    replace_stop_iteration();
    leave();
    walk_.reset();
    native_walk_.reset();
    dir_.reset();
    throw PyErrOccurred();
}

// iter(self) calls __iter__, a function of the module; its first resume
// enters the generator, then: dirname, basename = os.path.split(self.head)
void QueryScan::start() {
    started_ = true;
    if (!enter_call(" while calling a Python object",
                    "maximum recursion depth exceeded while calling a Python object")) {
        Frame call_frame(globals_, "kestrum.versioner.VersionFileSystem.__iter__", 150);
        call_frame.traceback_here();
        throw PyErrOccurred();
    }
    Py_LeaveRecursiveCall();
    if (!enter_generator()) throw PyErrOccurred();
    entered_ = true;

    Ref dirname;
    split_head(body_, self_, dirname, basename_);

    body_.at(153);
    Ref walk = module_attribute(body_.global(names.os), names.walk);
    if (walk.is(originals.walk) && gate::open(gate::Family::walk) &&
        DirectoryWalk::accepts(dirname)) {
        native_walk_ = std::make_unique<DirectoryWalk>(dirname);
        // Names are selected by prefix on their bytes when the prefix holds
        // no pattern characters and is valid UTF-8, as the names then decode.
        if (PyUnicode_CheckExact(basename_.get()) && file_system_decodes_utf8()) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(basename_.get(), &size);
            if (text) {
                prefix_bytes_.assign(text, static_cast<size_t>(size));
                by_bytes_ = prefix_bytes_.find_first_of("*?[") == std::string::npos;
            } else {
                PyErr_Clear();  // surrogates: selected among str names
            }
        }
    } else {
        walk_ = iter(call(walk, dirname));
    }
}

bool QueryScan::advance(QueryItem& item) {
    if (!started_) start();
    while (true) {
        if (dir_ && index_ < dir_->size()) {
            body_.at(155);
            item.dir = dir_;
            item.index = index_++;
            if (decide(item, dir_->sorted)) return true;
            // One of them must be built: all of them again, in scan order.
            auto sorted = std::make_shared<ScanDirectory>();
            sorted->root = Ref::borrow(dir_->root);
            if (dir_->native) {
                sorted->native = true;
                sorted->raw = dir_->raw;
                sort_by_name(sorted->raw);
            } else {
                sorted->names = Ref::check(PySequence_List(dir_->names.get()));
                require_status(PyList_Sort(sorted->names.get()));
            }
            sorted->position = dir_->position;
            dir_ = std::move(sorted);
            index_ = 0;
            continue;
        }
        body_.at(153);
        Ref root, dirnames, filenames;
        walk::Entries entries;
        if (native_walk_) {
            if (!native_walk_->next_listing(root, entries)) {
                leave();
                return false;
            }
        } else {
            if (!walk_) return false;
            Ref entry = kv::next(walk_);
            if (!entry) {
                walk_.reset();
                leave();
                return false;
            }
            unpack3(entry, root, dirnames, filenames);
        }
        dirnames.reset();
        dir_.reset();
        body_.at(154);
        Ref filter = module_attribute(body_.global(names.fnmatch), names.filter);
        const bool original_filter = filter.is(originals.filter) && gate::open(gate::Family::filter);
        if (native_walk_) {
            if (original_filter && by_bytes_ && take_listing(root, entries)) continue;
            filenames = DirectoryWalk::filenames(entries);
            entries = walk::Entries();
        }
        Ref matched = original_filter ? filter_by_prefix(filenames, basename_) : Ref();
        if (!matched) {
            Ref pattern = Ref::check(PyNumber_Add(basename_.get(), names.star));
            matched = call(filter, filenames, pattern);
        }
        Ref selected = Ref::check(PySequence_List(matched.get()));
        bool sort = !any_order_;
        for (Py_ssize_t i = 0; !sort && i < PyList_GET_SIZE(selected.get()); ++i) {
            sort = !PyUnicode_CheckExact(PyList_GET_ITEM(selected.get(), i));
        }
        if (sort) require_status(PyList_Sort(selected.get()));
        dir_ = std::make_shared<ScanDirectory>();
        dir_->root = std::move(root);
        dir_->names = std::move(selected);
        dir_->position = directories_++;
        dir_->sorted = sort;
        index_ = 0;
    }
}

// fnmatch.filter(filenames, basename + '*') and the sort, on the bytes of a
// listing: the names that start with the prefix, when all are valid UTF-8;
// false (nothing taken) when one is not.
bool QueryScan::take_listing(Ref& root, walk::Entries& entries) {
    const size_t n = prefix_bytes_.size();
    auto selected = [&](const walk::Entry& entry) {
        return !entry.is_dir && entry.length >= n &&
               std::memcmp(entries.names.data() + entry.offset, prefix_bytes_.data(), n) == 0;
    };
    for (const walk::Entry& entry : entries.items) {
        if (selected(entry) && !valid_utf8(entries.name(entry))) return false;
    }
    // Kept in the listing's own storage: no second copy of a large directory.
    auto dir = std::make_shared<ScanDirectory>();
    dir->native = true;
    std::vector<walk::Entry>& items = entries.items;
    items.erase(std::remove_if(items.begin(), items.end(),
                               [&](const walk::Entry& entry) { return !selected(entry); }),
                items.end());
    if (first_only_ && !any_order_ && !items.empty()) {
        auto smallest = std::min_element(
            items.begin(), items.end(), [&](const walk::Entry& a, const walk::Entry& b) {
                return entries.name(a) < entries.name(b);
            });
        // Only its name is kept, not the whole listing's.
        dir->raw.names.assign(entries.name(*smallest));
        walk::Entry only = *smallest;
        only.offset = 0;
        dir->raw.items.push_back(only);
    } else {
        dir->raw = std::move(entries);
        if (!any_order_) sort_by_name(dir->raw);
    }
    entries = walk::Entries();
    dir->root = std::move(root);
    dir->position = directories_++;
    dir->sorted = !any_order_;
    dir_ = std::move(dir);
    index_ = 0;
    return true;
}

Ref QueryScan::path_of(const QueryItem& item) const {
    Borrowed root = item.dir->root;
    Ref name = item.dir->name(item.index);
    if (item.anchored) {
        Ref directory = join_fields(names.three_fields, {item.dir->cwd, names.slash, root});
        return join_fields(names.three_fields, {directory, names.slash, name});
    }
    if (PyUnicode_CheckExact(root.get()) && PyUnicode_CheckExact(name.get())) {
        return join_fields(names.three_fields, {root, names.slash, name});
    }
    Ref path = Ref::check(PyNumber_Add(root.get(), names.slash));
    return Ref::check(PyNumber_Add(path.get(), name.get()));
}

// VersionFileSystem(root + '/' + filename), as the generator builds it, and
// its number.
void QueryScan::build_now(QueryItem& item) {
    item.anchored = false;
    Ref path = path_of(item);
    item.object = call(body_.global(names.VersionFileSystem), path);
    Ref number = getattr(item.object, names.current);
    item.number.present = !number.is_none();
    item.number.digits.clear();
    if (item.number.present) {
        Ref digits = str(number);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(digits.get(), &size);
        if (!text) throw PyErrOccurred();
        if (!(size == 1 && text[0] == '0')) {
            item.number.digits.assign(text, static_cast<size_t>(size));
        }
    }
}

// int(version) as _current converts the digits of a split: None when the
// conversion raises (a run of digits past the interpreter's limit).
bool QueryScan::read_number(Borrowed version_digits, ItemNumber& number) {
    Ref value = Ref::steal(PyLong_FromUnicodeObject(version_digits.get(), 10));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrOccurred();
        PyErr_Clear();
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(version_digits.get(), &size);
    if (!text) throw PyErrOccurred();
    Py_ssize_t start = 0;
    while (start < size && text[start] == '0') ++start;
    number.digits.assign(text + start, static_cast<size_t>(size - start));
    return true;
}

// What the item's construction makes of its name: the file name anchored
// when it is relative and exists; the extension of its last component as
// `ext`, else ".*"; the compiled pattern for (".v", ext); the split; int()
// of the digits.
bool QueryScan::decide(QueryItem& item, bool may_build) {
    item.object.reset();
    item.anchored = false;
    item.number.present = false;
    item.number.digits.clear();
    ScanDirectory& dir = *item.dir;
    Borrowed root = dir.root;
    Borrowed name = dir.native ? Borrowed(Py_None) : PyList_GET_ITEM(dir.names.get(), item.index);
    if (!PyUnicode_CheckExact(root.get()) || (!dir.native && !PyUnicode_CheckExact(name.get()))) {
        if (may_build) build_now(item);
        return may_build;
    }
    const bool absolute = PyUnicode_GET_LENGTH(root.get()) == 0 ||
                          PyUnicode_READ_CHAR(root.get(), 0) == '/';
    if (!absolute) {
        Ref path = dir.native ? path_of(item)
                              : join_fields(names.three_fields, {root, names.slash, name});
        if (path_exists(path)) {
            if (!dir.cwd) dir.cwd = current_directory();
            if (!dir.cwd) {
                if (may_build) build_now(item);
                return may_build;
            }
            item.anchored = true;
        }
    }
    if (prefix_of_ != &dir || prefix_anchored_ != item.anchored) {
        text_.clear();
        unsigned seen = 0;
        if (item.anchored) {
            seen = append(text_, dir.cwd.get());
            text_.push_back(U'/');
        }
        seen |= append(text_, root.get());
        prefix_line_break_ = (seen & line_break) != 0;
        text_.push_back(U'/');
        prefix_of_ = &dir;
        prefix_anchored_ = item.anchored;
        prefix_length_ = text_.size();
    }
    text_.resize(prefix_length_);
    const unsigned seen = dir.native ? static_cast<unsigned>(append_utf8(
                                           &text_, dir.raw_name(item.index)))
                                     : append(text_, name.get());
    const bool has_line_break = (seen & line_break) || prefix_line_break_;

    // posixpath.splitext: the extension starts at the last dot of the last
    // component, unless only dots precede it there. Without one, ext is ".*".
    // A listed name holds no slash: the last one ends the prefix.
    const size_t sep = seen & slash ? text_.rfind(U'/') : prefix_length_ - 1;
    const size_t dot = text_.rfind(U'.');
    bool has_ext = false;
    if (dot != std::u32string::npos && (sep == std::u32string::npos || dot > sep)) {
        for (size_t i = sep == std::u32string::npos ? 0 : sep + 1; i < dot; ++i) {
            if (text_[i] != U'.') {
                has_ext = true;
                break;
            }
        }
    }
    const size_t ext_begin = has_ext ? dot + 1 : text_.size();
    const bool same_ext =
        last_pattern_ && last_has_ext_ == has_ext &&
        (!has_ext || text_.compare(ext_begin, std::u32string::npos, last_ext_) == 0);
    if (!same_ext) {
        Ref ext = has_ext ? text_of(text_, ext_begin, text_.size())
                          : Ref::borrow(query_originals.default_ext);
        Ref pattern = cached_pattern(query_originals.default_postfix, ext);
        if (!pattern) {  // compiled (or refused) by the construction
            if (may_build) build_now(item);
            return may_build;
        }
        last_ext_.assign(text_, ext_begin, std::u32string::npos);
        last_has_ext_ = has_ext;
        last_pattern_ = std::move(pattern);
    }

    size_t begin = 0, end = 0;
    switch (has_line_break ? NativeSplit::cannot_answer
                       : find_version_digits(last_pattern_, text_, begin, end)) {
        case NativeSplit::unmatched:
            return true;
        case NativeSplit::matched:
            if (end - begin <= 18) {
                while (begin < end && text_[begin] == U'0') ++begin;
                item.number.present = true;
                item.number.digits.reserve(end - begin);
                for (size_t i = begin; i < end; ++i) {
                    item.number.digits.push_back(static_cast<char>(text_[i]));
                }
                return true;
            }
            item.number.present = read_number(text_of(text_, begin, end), item.number);
            return true;
        case NativeSplit::cannot_answer:
            break;
    }
    Ref path = text_of(text_, 0, text_.size());
    Ref match = call_method(last_pattern_, names.search, path);
    if (match.is_none()) return true;
    Ref digits = call_method(match, names.group, names.version);
    item.number.present = read_number(digits, item.number);
    return true;
}

Ref QueryScan::build(const QueryItem& item) {
    if (item.object) return Ref::borrow(item.object);
    Frame body(globals_, "__iter__", 155);
    const bool enter = !entered_;
    if (enter && !enter_generator()) {
        body.traceback_here();
        throw PyErrOccurred();
    }
    Ref result;
    try {
        Ref path = path_of(item);
        result = call(body.global(names.VersionFileSystem), path);
    } catch (const PyErrOccurred&) {
        body.traceback_here();
        replace_stop_iteration();
        if (enter) Py_LeaveRecursiveCall();
        throw;
    }
    if (enter) Py_LeaveRecursiveCall();
    return result;
}

}  // namespace kv
