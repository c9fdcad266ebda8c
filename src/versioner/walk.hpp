// A native rendering of os.walk(top) with its defaults, for the scan.
#pragma once

#include <vector>

#include "ref.hpp"

namespace kv {

// Walks the tree below `top` top-down as os.walk(top) does with its defaults:
// each directory listed when it is reached (its entries in the order the
// system lists them), a directory that cannot be listed skipped, entries that
// are directories (symbolic links to them included) given as dirnames,
// everything else as filenames, and symbolic links to directories not
// descended into. Audit events are raised as os.walk and os.scandir raise
// them. The listing runs without the interpreter lock.
class DirectoryWalk {
public:
    // Whether `top` can be walked natively: an exact str without NUL
    // characters that the file-system encoding can encode.
    static bool accepts(Borrowed top);

    explicit DirectoryWalk(Borrowed top);

    // The next (root, dirnames, filenames); false at the end.
    bool next(Ref& root, Ref& dirnames, Ref& filenames);

private:
    struct Pending {
        Ref path;
        bool below_top;  // a subdirectory: not descended into if it is a link
    };
    std::vector<Pending> pending_;  // directories still to list, the next one last
    bool started_ = false;
};

}  // namespace kv
