// The items of the navigation queries' scan, decided from their names: what
// each item's construction would make of its name, without building it.
#include <new>
#include <string>

#include "exit_watch.hpp"
#include "fast_paths.hpp"
#include "ops.hpp"
#include "platform.hpp"
#include "query_scan.hpp"
#include "query_support.hpp"
#include "scan_generator.hpp"
#include "state.hpp"

namespace kv {

using namespace query_detail;

namespace {

// os.getcwd(); an empty Ref when it fails (the item is then built the usual
// way, and fails as os.getcwd does).
Ref current_directory() {
    std::string cwd;
    bool ok;
    {
        WithoutLock unlocked;
        ok = sys::current_directory(cwd);
    }
    if (!ok) return Ref();
    return Ref::check(PyUnicode_DecodeFSDefaultAndSize(cwd.data(), static_cast<Py_ssize_t>(cwd.size())));
}

}  // namespace

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
    // A class, property or __str__ of the caller's may have run.
    if (native_walk_) native_walk_->caller_code_ran();
    if (build_items_) return;  // read by the caller
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
    own_code_only_ = false;
    item.object.reset();
    item.anchored = false;
    item.number.present = false;
    item.number.digits.clear();
    if (build_items_) {
        if (may_build) build_now(item);
        return may_build;
    }
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
            own_code_only_ = absolute;
            return true;
        case NativeSplit::matched:
            own_code_only_ = absolute;
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
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const PyErrOccurred&) {
    }
    if (enter) Py_LeaveRecursiveCall();
    if (!result) {
        body.traceback_here();
        replace_stop_iteration();
        throw PyErrOccurred();
    }
    return result;
}

}  // namespace kv
