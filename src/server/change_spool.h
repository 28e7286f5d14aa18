// ChangeSpool: the changes of one pull reply, kept compact until they are
// pushed. The stream hands each received change to Append, which encodes it
// and releases the parsed tree; the changes are read back in order by Next.
// Beyond kMemoryBytes the encoded changes go to an anonymous temporary file
// (gone with the process, whatever way it ends), so the memory a reply of
// any size holds is one buffer, not one parsed record per change. When no
// such file can be made the changes stay in memory: the pull still works.
//
// One thread at a time. Not copyable.
#ifndef SERVER_CHANGE_SPOOL_H_
#define SERVER_CHANGE_SPOOL_H_

#include <cstddef>
#include <cstdio>
#include <string>

#include "protocol/pobject.h"

class ChangeSpool {
 public:
  // Encoded bytes held in memory before they go to the temporary file.
  static constexpr size_t kMemoryBytes = 256 * 1024;

  ChangeSpool() = default;
  ~ChangeSpool() { Clear(); }
  ChangeSpool(const ChangeSpool&) = delete;
  ChangeSpool& operator=(const ChangeSpool&) = delete;

  // Adds `change` at the end and clears it. 0; -1 when the temporary file
  // cannot be written (the spool is then unusable until Clear).
  int Append(PObject& change);
  // Changes appended since the last Clear.
  size_t size() const { return count_; }
  // Makes the next Next return the first change. 0, or -1 (file failure).
  int Rewind();
  // The next change into `change` (replacing its value). 1 with a change,
  // 0 after the last one, -1 for a read failure or damaged bytes.
  int Next(PObject& change);
  // Forgets every change and gives back the buffer and the file.
  void Clear();

 private:
  // Writes the buffer to the file (made on first use). 0 or -1; without a
  // file the buffer simply keeps growing.
  int Spill();

  std::string buffer_;       // encoded changes not in the file
  FILE* file_ = nullptr;     // anonymous temporary file, or null
  bool no_file_ = false;     // tmpfile failed once: memory only
  bool failed_ = false;
  size_t count_ = 0;
  // Reading: the file first (in order), then the buffer from read_at_.
  bool reading_file_ = false;
  size_t read_at_ = 0;
  std::string record_;  // one record read from the file
};

#endif  // SERVER_CHANGE_SPOOL_H_
