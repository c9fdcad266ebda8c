// The split of a name into head, version and tail, as _splits makes it: by
// the name pattern's search (finditer and groupdict), or, for a pattern of the
// re module over an exact str, natively or by one search.
#pragma once

#include "classes.hpp"
#include "function.hpp"

namespace kv {

// The statements of _splits from the pattern search on, as written.
Ref splits_general(Frame& f, Borrowed pattern, Borrowed filename);

// _splits from its second statement on, with the pattern it read.
Ref splits_of(Frame& f, Borrowed pattern, Borrowed filename);

// _splits(self, filename) given (self.regex_splits, filename), as read at
// its first statement.
Ref splits_by_pattern(Frame& f, Args a);

// The parts of a name the pattern does not match: head and tail either side
// of the last dot (line 58) and no version, or three None (line 60).
void unmatched_parts(Frame& f, Borrowed filename, Ref& head, Ref& version, Ref& tail);

// The parts of a matched name cut at [0, h), [h, d), [d, end); the objects of
// `hint` where they are those very texts.
void cut_parts(Borrowed name, Py_ssize_t h, Py_ssize_t d, Py_ssize_t end, const CopyParts* hint,
               Ref& head, Ref& version, Ref& tail);

// name[start:end] is the exact str `text`.
bool same_text_at(Borrowed text, Borrowed name, Py_ssize_t start, Py_ssize_t end);

}  // namespace kv
