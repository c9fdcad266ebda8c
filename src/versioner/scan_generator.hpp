// The generator that `VersionFileSystem.__iter__` returns.
//
// It runs, lazily and resumably, the body
//
//   150  def __iter__(self):
//   151      dirname, basename = os.path.split(self.head)
//   153      for root, dirnames, filenames in os.walk(dirname):
//   154          for filename in sorted(fnmatch.filter(filenames, basename + '*')):
//   155              yield VersionFileSystem(root + '/' + filename)
//
// and behaves like an interpreter generator: iter() gives itself, and it has
// __next__, send, throw and close.
#pragma once

#include "function.hpp"
#include "ref.hpp"

namespace kv {

void ready_scan_generator_type();

// A new, not yet started scan of `self`; `globals` is the module namespace
// that the body reads its globals from.
Ref make_scan_generator(Borrowed self, Borrowed globals);

// Line 151 in `f`: dirname, basename = os.path.split(self.head), unpacked
// from any two-item iterable.
void split_head(Frame& f, Borrowed self, Ref& dirname, Ref& basename);

// A StopIteration that leaves a generator's body becomes a RuntimeError
// (as the interpreter does for its own generators).
void replace_stop_iteration();

}  // namespace kv
