// Setting a user's file or folder aside under a conflict name in its own
// folder, so that a change from the server can take its place without
// losing it.
//
// Conflict names: <stem>_<client>_<time>_<reason>[_<n>]<extension>, where
// <time> is the local time as "%b-%d-%H%M-%Y" in the C locale (for example
// Mar-07-1405-2013) and the extension is the part from the last "." when
// that "." lies after the last "/" (a path without "/" has none). Every "/"
// in the client name becomes "_", so the name cannot leave the folder.
//
// Nothing is ever replaced: each candidate is tried with a no-replace
// rename under rename_mutex() (file_op.h), and a taken name (EEXIST) moves
// on to the next candidate, so a name taken meanwhile by another program,
// or one that differs only in letter case on a case-insensitive volume, is
// safe. After a move the folder is flushed, as FSRename does.
//
// Results: 0 moved (INFO line); -1 when every candidate is taken (nothing
// moved) or the move failed; -100 when the system refuses the name
// (ENAMETOOLONG, EILSEQ). Failures log an ERROR line on
// "conflict_rename_debug". Safe from any thread.
#ifndef FOUNDATION_CONFLICT_RENAME_H_
#define FOUNDATION_CONFLICT_RENAME_H_

#include "foundation/ustring.h"

// Moves `org_path` to its conflict name with `client_name` and `reason`.
// Candidates, in order: the name without a counter (for a name ending in "."
// the suffix then goes after that "."; "a." gives "a._PC1_..._Conflict"),
// then counters _1 to _99 placed before the extension ("a_PC1_..._1.").
[[nodiscard]] int ConflictRename(const ustring& org_path, const ustring& client_name, const ustring& reason);

// Moves `fullpath`, whose last component is `basename`, to `basename`
// without its leading and trailing blanks (" " only) in the same folder.
// When that name is taken, or the move fails, or nothing is left of the
// name: to the conflict name of the trimmed path with the reason
// "WhiteSpaceConflict", then with counters _0 to _99.
[[nodiscard]] int WhiteSpaceConflictRename(const ustring& fullpath, const ustring& basename,
                                           const ustring& clientname);

#endif  // FOUNDATION_CONFLICT_RENAME_H_
