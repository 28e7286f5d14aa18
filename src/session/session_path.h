// Checks on session-relative paths that arrive from outside the process (the
// server's change records, the user interface's requests, the folder
// watcher) before anything acts on them at the session's local folder.
#ifndef SESSION_SESSION_PATH_H_
#define SESSION_SESSION_PATH_H_

#include "foundation/ustring.h"

// The daemon's hidden folder inside every synced folder (working files and
// the recycle folder). Nothing of it is ever synchronised.
inline constexpr char kWorkingDirName[] = ".ZarqelonWorkingDirectory";

// True for "/" (the session root), or for "/" followed by components joined
// by single "/", none of them empty, "." or "..", with no NUL byte anywhere
// and a first component other than kWorkingDirName (compared ignoring ASCII
// case, since the folder may sit on a case-insensitive file system). "\\" is
// an ordinary byte of a name. Such a path names exactly one entry inside the
// session folder, so byte-equal paths name the same entry.
//
// False for everything else: "", "a", "/a/", "/a//b", "/./a", "/a/../b",
// "/.zarqelonworkingdirectory/x". Writes nothing; any thread.
bool IsSafeSessionPath(const ustring& path);

// True when `path`, a recycle record's path, names one item directly inside
// the recycle folder: "/" and one component that IsSafeSessionPath accepts.
// Every reader of recycle records checks it before joining the path to the
// folder: a damaged record such as "/../x" or "/a/../../x" would otherwise
// name the recycle folder itself, a sibling of it, a file of the session or
// one beside the session folder. Writes nothing; any thread.
bool IsRecycleItemPath(const ustring& path);

#endif  // SESSION_SESSION_PATH_H_
