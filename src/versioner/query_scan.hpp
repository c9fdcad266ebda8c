// The scan of VersionFileSystem as the navigation queries consume it: each
// item's name and number, decided without building the item.
//
// The scan runs the statements of the generator (scan_generator.hpp), with
// the same traceback entries, audit events and exceptions; only where the
// generator builds `VersionFileSystem(root + '/' + filename)` does this scan
// work out, from the name alone, the number that the item would report as
// `current`. That holds while the items' construction is the one of the
// start-up: the module globals it reads, the standard-library functions
// behind them and the members of the classes are still the start-up objects.
// `QueryScan::applies` checks that once per query. An item that cannot be
// decided that way (an extension whose pattern is not compiled yet, for one)
// is built the usual way at the point where the generator would build it.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "function.hpp"
#include "gate.hpp"
#include "ref.hpp"
#include "walk.hpp"
#include "walk_core.hpp"

namespace kv {

// Takes the objects that `QueryScan::applies` compares with; a failure only
// leaves the native queries off. Runs once, after the classes are made.
void capture_query_originals(Borrowed globals);

// An item's number as `current` gives it: none, or the decimal digits
// without leading zeros ("" for zero).
struct ItemNumber {
    bool present = false;
    std::string digits;

    // `new` in `if new and old <= new`.
    bool truthy() const noexcept { return present && !digits.empty(); }
    // For two present numbers: this < other.
    bool less(const ItemNumber& other) const noexcept {
        if (digits.size() != other.digits.size()) return digits.size() < other.digits.size();
        return digits < other.digits;
    }
};

// One directory of the walk: its root and its selected names, sorted.
struct ScanDirectory {
    Ref root;
    Ref names;  // the names as str, unless `native`
    // With `native`, the names as listed: valid UTF-8, each decoding to the
    // str that the walk would have given (byte order is code point order).
    bool native = false;
    walk::Entries raw;
    Ref cwd;  // os.getcwd(), once a relative name of it was found to exist
    size_t position = 0;  // which directory of the walk
    bool sorted = true;   // else exact str names in the order listed

    Py_ssize_t size() const;
    Ref name(Py_ssize_t index) const;
    // With `native`: the name's bytes.
    std::string_view raw_name(Py_ssize_t index) const {
        return raw.name(raw.items[static_cast<size_t>(index)]);
    }
};

// One item of the scan, decided but not built.
struct QueryItem {
    std::shared_ptr<ScanDirectory> dir;
    Py_ssize_t index = 0;
    bool anchored = false;  // a relative name that existed: cwd + '/' + root + '/' + name
    Ref object;             // the item itself, when it had to be built
    ItemNumber number;

    // Whether this item comes after `other` in scan order, or is the same.
    bool not_before(const QueryItem& other) const;
};

class QueryScan {
public:
    // Whether the queries of `self` (a `VersionFileSystem` or a subclass that
    // overrides none of the members the queries use) may run on this scan.
    static bool applies(Borrowed globals, Borrowed self);

    // Once `applies` holds: whether reading self.current runs none but the
    // module's own code (no _current of the instance's own, no class
    // attribute `version` or `filename`, and a version that is missing, None
    // or an exact str). Then it makes no difference whether the items were
    // built before it was read, as the general path builds them.
    static bool reads_current_plainly(Borrowed self);

    // With `any_order`, the items of one directory may come in the order
    // listed rather than sorted, as long as each is decided without being
    // built: a directory where one must be built is handed out again, all
    // of it, sorted, and its items built where the generator would build
    // them. For a consumer to whom order matters only through `not_before`.
    //
    // With `first_only`, for a consumer that takes the first item and no
    // other: of a directory listed natively only the smallest name is kept,
    // without sorting the others.
    QueryScan(Borrowed globals, Borrowed self, bool any_order = false, bool first_only = false);
    ~QueryScan();
    QueryScan(const QueryScan&) = delete;
    QueryScan& operator=(const QueryScan&) = delete;

    // The next item; false at the end. A failure carries the entry of the
    // scan's body ("__iter__") as the generator's would.
    bool next(QueryItem& item);

    // The object the generator would have handed out for `item`.
    Ref build(const QueryItem& item);

    // Whether what the items' construction reads changed during the scan:
    // the items from then on come built (`object`) where the generator
    // builds them, their numbers unread, for the caller to read and compare
    // as the general path does.
    bool builds_items() const noexcept { return build_items_; }

    // The caller keeps `item` (decided, maybe not built) across the rest of
    // the scan: it is built before user code can run again (before each
    // listing), as the generator built it when it handed it out.
    void hold(QueryItem* item) noexcept { held_ = item; }

private:
    void start();
    bool advance(QueryItem& item);
    bool decide(QueryItem& item, bool may_build);
    void build_now(QueryItem& item);
    Ref path_of(const QueryItem& item) const;
    bool read_number(Borrowed version_digits, ItemNumber& number);
    bool take_listing(Ref& root, walk::Entries& entries);
    // Whether what `applies` found of the items' construction still holds.
    // `in_a_row`: this check follows the last one within one directory, and
    // no signal handler ran in between; `own_code_only`: and no code but the
    // module's own ran (no Python code, no other thread).
    bool construction_unchanged(bool in_a_row, bool own_code_only) {
#if KV_DICT_WATCHERS
        // The watchers tell of every change, by whatever thread; only a
        // watcher that other code cleared would tell nothing, which the full
        // check finds out.
        (void)own_code_only;
        const bool unchanged = gate::unchanged_since(construction_mark_);
#else
        // Nothing could have changed it when no code ran but the module's
        // own, which changes no namespace.
        const bool unchanged = own_code_only;
#endif
        if (in_a_row && construction_checked_ && unchanged) return true;
        return check_construction();
    }
    bool check_construction();
    void leave() noexcept;

    Ref globals_;
    Ref self_;
    Frame body_;
    bool any_order_;
    bool first_only_;
    bool started_ = false;
    size_t directories_ = 0;
    bool entered_ = false;  // in the recursion bracket of a running generator
    // What an item's construction reads changed since the query started (user
    // code ran: a stand-in called at the start, an audit hook, a signal
    // handler or another thread during a listing): every item from then on
    // is built where the generator builds it, as the general path does.
    bool build_items_ = false;
    // What the last full check of the items' construction found, and the
    // gate's mark then.
    bool construction_checked_ = false;
    // The last item was decided by the module's own code alone: no Python
    // code ran, and the interpreter lock was held throughout.
    bool own_code_only_ = false;
    std::uint64_t construction_mark_ = 0;
    QueryItem* held_ = nullptr;
    Ref basename_;
    // basename_ as the names' bytes start with it, when the names of a
    // listing may be selected and decided on their bytes.
    bool by_bytes_ = false;
    std::string prefix_bytes_;
    Ref walk_;  // os.walk(dirname) when not walked natively
    std::unique_ptr<DirectoryWalk> native_walk_;
    std::unique_ptr<WalkRest> rest_walk_;  // its rest, once its ground changed
    ItemSignals signals_;
    std::shared_ptr<ScanDirectory> dir_;
    Py_ssize_t index_ = 0;
    // The name at hand as code points, after the prefix of its directory.
    std::u32string text_;
    const ScanDirectory* prefix_of_ = nullptr;
    bool prefix_anchored_ = false;
    size_t prefix_length_ = 0;
    bool prefix_line_break_ = false;
    // The pattern of the last extension seen.
    std::u32string last_ext_;
    bool last_has_ext_ = false;
    Ref last_pattern_;
};

}  // namespace kv
