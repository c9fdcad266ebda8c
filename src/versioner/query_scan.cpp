#include "query_scan.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "fast_paths.hpp"
#include "gate.hpp"
#include "scan_generator.hpp"
#include "ops.hpp"
#include "query_support.hpp"
#include "state.hpp"

namespace kv {

namespace query_detail {

QueryOriginals query_originals;

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

}  // namespace query_detail

namespace {

using namespace query_detail;

// The members that a query reads on its receiver, or that the scan and the
// items' construction reach through the receiver's class.
constexpr const char* receiver_members[] = {
    "__iter__", "__eq__", "current", "_current", "__init__", "_splits", "first", "last",
    "next", "previous", "__next__", "__previous__", "__getattribute__", "__getattr__",
};
std::vector<PyObject*> receiver_member_names;

PyObject* keep(PyObject* value) { return Ref::borrow(value).release(); }  // for the process

}  // namespace

void capture_query_originals(Borrowed globals) {
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
        if (compat::type_lookup(type, name) != compat::type_lookup(cls, name)) return false;
    }
    return true;
}

bool QueryScan::reads_current_plainly(Borrowed self) {
    PyObject* o = self.get();
    PyTypeObject* type = Py_TYPE(o);
    auto* cls = reinterpret_cast<PyTypeObject*>(query_originals.file_system_class);
    if (type != cls) {
        for (PyObject* name : {names.version, names.filename}) {
            if (compat::type_lookup(type, name) != compat::type_lookup(cls, name)) return false;
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

QueryScan::~QueryScan() {
    if (may_touch_objects()) leave();
}

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
    rest_walk_.reset();
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
                // Surrogates: selected among str names.
                if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyErrOccurred();
                PyErr_Clear();
            }
        }
    } else {
        walk_ = iter(call(walk, dirname));
    }
}

// The full check, with the gate's mark taken after it.
bool QueryScan::check_construction() {
    auto* cls = reinterpret_cast<PyTypeObject*>(query_originals.file_system_class);
    construction_checked_ = gate::open(gate::Family::scan_items) && class_unchanged(cls);
    construction_mark_ = gate::mark();
    return construction_checked_;
}

bool QueryScan::advance(QueryItem& item) {
    if (!started_) start();
    while (true) {
        if (dir_ && index_ < dir_->size()) {
            body_.at(155);
            const bool handlers_ran = signals_.tick();
            // Where the generator reads VersionFileSystem for this item; the
            // first of a directory, after its listing, asks in full.
            if (!build_items_ &&
                !construction_unchanged(!handlers_ran && index_ != 0, own_code_only_)) {
                build_items_ = true;
            }
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
        // From here user code may run (an audit hook, another thread while
        // the listing runs) and change what a construction reads: the item
        // the caller keeps is built first.
        if (held_ && held_->dir && !held_->object) {
            body_.at(155);
            held_->object = call(body_.global(names.VersionFileSystem), path_of(*held_));
            body_.at(153);
        }
        Ref root, dirnames, filenames;
        walk::Entries entries;
        // What os.walk reads as it moves on, checked where it reads it.
        if (native_walk_ && native_walk_->handed_out_any() && !gate::open(gate::Family::walk)) {
            rest_walk_ = native_walk_->rest();
            native_walk_.reset();
        }
        if (native_walk_) {
            if (!native_walk_->next_listing(root, entries)) {
                leave();
                return false;
            }
        } else {
            if (!walk_ && !rest_walk_) return false;
            Ref entry = rest_walk_ ? rest_walk_->next() : kv::next(walk_);
            if (!entry) {
                walk_.reset();
                rest_walk_.reset();
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
            if (native_walk_) native_walk_->caller_code_ran();
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

}  // namespace kv
