// Exact-letter checks of names on case-insensitive file systems.
#ifndef PLATFORM_NAME_CASE_H_
#define PLATFORM_NAME_CASE_H_

#include <sys/types.h>

namespace platform {

// Whether the folder `dir` matches names ignoring letter case. `dev` is the
// st_dev of an entry in (or of) that folder, used to cache the file
// system's kind so that case-sensitive file systems cost one lookup and no
// system call; only folders of ext4/f2fs with casefold support are asked
// for their FS_CASEFOLD_FL flag each time. Thread-safe.
// Returns 0 and sets *insensitive, or the errno value of statfs/ioctl.
int FolderIgnoresCase(const char* dir, dev_t dev, bool* insensitive);

// True when `dev` is already known to hold a case-sensitive file system, so
// that an exact-letter check needs nothing more. No system call; a device
// not seen yet by FolderIgnoresCase gives false. Thread-safe.
bool DeviceKnownCaseSensitive(dev_t dev);

// Scans the folder `dir` for an entry named exactly `name` (byte for byte).
// Returns 0 and sets *found, or the errno value of opendir/readdir.
int FolderHasExactName(const char* dir, const char* name, bool* found);

}  // namespace platform

#endif  // PLATFORM_NAME_CASE_H_
