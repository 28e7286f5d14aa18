// Opening the local files that carry the bodies of binary message values.
#ifndef PROTOCOL_XFOPEN_H_
#define PROTOCOL_XFOPEN_H_

#include <cstdio>

#include "foundation/ustring.h"

// Opens `path` by the first character of `mode`: 'r' read (the file must
// exist); 'w' write, created or truncated; 'a' write, created if missing,
// every write at the end; anything else read and write, created or
// truncated. Close-on-exec, with the hint that the file is read or written
// sequentially. The stream, opened with the whole `mode` text, or null after
// an ERROR line on "stream" with errno.
FILE* xfopen(const ustring& path, const char* mode);

// Creates a new file under a fresh random name in `folder` with O_CREAT |
// O_EXCL | O_NOFOLLOW (mode 0666 under the umask), so that it never opens,
// replaces or follows anything that exists; a name that is taken is replaced
// by another, at most 100 times. Stores the name in `path` and returns the
// stream opened "wb", or null after an ERROR line (nothing is left behind).
FILE* xfcreate(const ustring& folder, ustring& path);

#endif  // PROTOCOL_XFOPEN_H_
