// Would an access to a path be refused right now?
#ifndef PLATFORM_ACCESS_PROBE_H_
#define PLATFORM_ACCESS_PROBE_H_

namespace platform {

// What ProbeAccess checks for.
struct AccessWanted {
  bool read = false;    // read the entry (a regular file is also opened)
  bool write = false;   // write the entry
  bool remove = false;  // remove it from its folder
};

// True when the wanted access would be refused: permission denied for the
// effective ids (faccessat AT_EACCESS: R_OK / W_OK on the entry, W_OK|X_OK
// on its folder for removal), or, for reading a regular file, an open that
// fails with EACCES/EPERM or meets a lease (EAGAIN), or a record lock held
// through another open file description that conflicts (F_OFD_GETLK: any
// write lock; with write also wanted, any lock).
// Only regular files and folders are probed: a missing path, a link, FIFO,
// socket or device gives false and is never opened (the open is
// O_NONBLOCK|O_NOFOLLOW besides). Thread-safe.
bool AccessBlocked(const char* path, AccessWanted wanted);

}  // namespace platform

#endif  // PLATFORM_ACCESS_PROBE_H_
