// Temporary files shared by copies and removed with their last owner; and
// SFFile, a named file without sharing.
#ifndef FOUNDATION_TEMP_FILE_H_
#define FOUNDATION_TEMP_FILE_H_

#include <cstdint>
#include <memory>

#include "foundation/ustring.h"

// A temporary file created (empty, with a fresh random name) in a folder.
// Copies of a TempFile that has a file share one state: its path, whether
// it is permanent and whether it still exists. remove() on any copy removes
// the file for all of them; convert_permanent() on any copy keeps it; the
// last copy to go removes it unless it was made permanent (a file moved away
// meanwhile is no error). A copy of a TempFile without a file is an
// independent object for the same folder.
// Not locked: all copies sharing one file belong to one thread at a time.
class TempFile {
 public:
  // Sets the folder used when a TempFile is made with an empty one (at
  // start $TMPDIR, or "/tmp" when that is unset or empty). 0.
  static int initialize(const ustring& prefix);

  // No file yet; the folder is `prefix`, or the default when it is empty.
  explicit TempFile(const ustring& prefix);
  TempFile(const TempFile& other);
  TempFile& operator=(const TempFile& other);
  ~TempFile();

  // Creates the file through FSMktemp. 0; -1 (ERROR logged when creation
  // fails) when it fails or a file exists already (the existing file stays).
  [[nodiscard]] int create();
  // The file's path; "" before create() and after remove().
  const ustring& getPath() const;
  // The file then outlives every owner.
  void convert_permanent();
  // Changes the folder of a later create().
  void setPrefix(const ustring& prefix);
  // Removes the file now (plain removal) for every copy; the state goes back
  // to "no file" even when the removal failed (the failure is logged).
  void remove();

 private:
  struct State;

  static ustring DefaultPrefix();

  ustring tmp_prefix;
  std::shared_ptr<State> state;
};

// A file with a random name in a folder, made by create() and removed only
// by remove(). Copies are independent.
class SFFile {
 public:
  // Sets the folder used when an SFFile is made with an empty one (at start
  // as for TempFile). 0.
  static int initialize(const ustring& prefix);

  explicit SFFile(const ustring& prefix);

  // Creates the file through FSMktemp; when one was created already, keeps
  // it. 0 or -1.
  [[nodiscard]] int create();
  void setPrefix(const ustring& prefix) { m_prefix = prefix; }
  const ustring& getPath() const { return m_path; }
  // Removes the file (plain removal) and forgets its path.
  void remove();
  // Its size; 0 when it is missing or cannot be examined.
  uint64_t getSize();

 private:
  ustring m_prefix;
  ustring m_path;
};

#endif  // FOUNDATION_TEMP_FILE_H_
