// CopyHandler: writes the bytes a reader streams into a new file.
#ifndef DELTA_COPY_HANDLER_H_
#define DELTA_COPY_HANDLER_H_

#include "delta/fd_io.h"
#include "foundation/ustring.h"

// One handler per reader, driven by the reader's thread through begin,
// update/wait per chunk, and end. Each step returns 0 or -1; a failing step
// has printed its line.
struct CopyHandler {
  explicit CopyHandler(ustring const& path);
  // Closes the output if end() was never reached.
  ~CopyHandler();
  CopyHandler(const CopyHandler&) = delete;
  CopyHandler& operator=(const CopyHandler&) = delete;

  // Creates or truncates the output.
  int begin();
  // Appends `len` bytes of `data`. The bytes are not copied: `data` must stay
  // unchanged until wait() has returned.
  int update(void const* data, unsigned len);
  // Completes the append; -1 unless every byte of it was written.
  int wait();
  // Closes the output and forgets the path; 0.
  int end();

  ustring file;  // destination path
  fd_t fd;
  fd_aio_t aio;
  unsigned started = 0;  // length of the append waiting for wait()
};

#endif  // DELTA_COPY_HANDLER_H_
