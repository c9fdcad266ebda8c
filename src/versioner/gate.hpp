// Whether the standard-library functions behind a fast path are still the
// originals.
//
// A fast path stands in for a call of os, os.path, re or fnmatch. The
// functions that call calls in turn, through the namespaces of those modules
// (os.path.splitext calls os.fspath and genericpath._splitext, fnmatch.filter
// reaches re.compile and re._compile, ...), are the ones a test double may
// replace and expect to see called: public and private names alike. A fast
// path runs only while its family, every such entry, holds what it held when
// the module was executed (an entry absent then must still be absent).
// Internals of other modules (sre_compile, re._compiler, functools), the
// caches of re and fnmatch, and built-in functions are not in any family.
#pragma once

#include <initializer_list>

#include "compat.hpp"

namespace kv::gate {

// Named after what the fast path stands in for.
enum class Family : unsigned {
    splitext,  // os.path.splitext, computed from the name
    compile,   // re.compile, answered from the module's pattern caches
    exists,    // os.path.exists, as one stat(2)
    isabs,     // os.path.isabs, read from the name's first character
    getcwd,    // os.getcwd, called directly or as getcwd(3)
    walk,      // os.walk, walked natively
    filter,    // fnmatch.filter, as a prefix test
    count
};

// Takes the entries of every family from the standard modules; a failure
// leaves every family closed.
void capture() noexcept;

namespace detail {
bool revalidate(Family family) noexcept;
struct Watched {
    PyObject* dict = nullptr;
    std::uint64_t tag = 0;
};
inline constexpr unsigned max_dicts = 5;
struct FamilyState {
    Watched dicts[max_dicts];
    unsigned dict_count = 0;
    bool open = false;
};
extern FamilyState families[static_cast<unsigned>(Family::count)];
}  // namespace detail

// Whether every entry of `family` is as at start-up. While none of the
// namespaces holding them has changed, a comparison of their version tags.
inline bool open(Family family) noexcept {
    const detail::FamilyState& state = detail::families[static_cast<unsigned>(family)];
    for (unsigned i = 0; i < state.dict_count; ++i) {
        if (compat::dict_version(state.dicts[i].dict) != state.dicts[i].tag) {
            return detail::revalidate(family);
        }
    }
    return state.open;
}

inline bool open(std::initializer_list<Family> families) noexcept {
    for (Family family : families) {
        if (!open(family)) return false;
    }
    return true;
}

}  // namespace kv::gate
