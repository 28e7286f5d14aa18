// SimpleFileReader: one pass over a local file through the attached handlers.
#ifndef DELTA_SIMPLE_FILE_READER_H_
#define DELTA_SIMPLE_FILE_READER_H_

#include "delta/file_reader.h"
#include "foundation/ustring.h"

class SimpleFileReader : public FileReader {
 public:
  SimpleFileReader();
  ~SimpleFileReader() override;

  // The file to read.
  void setFile(ustring const& path);
  // A copy of the file's bytes written to `path`.
  void setCopyFile(ustring const& path);
  // The file's MD4 as 32 lower-case hexadecimal digits, stored into `out`
  // (which must outlive readFile) when the pass completes.
  void setHashString(ustring& out);
  // The file's signature written to `path` (this program uses 2048, 8).
  void setSignature(ustring const& path, unsigned block_size, unsigned hash_size);
  // A delta of the file against the signature at `signature_path`, written
  // to `delta_path`.
  void setDelta(ustring const& delta_path, ustring const& signature_path);

  // 0; ERROR_ARGUMENT when no file was set (no output is touched);
  // ERROR_SYSTEM_CALL when the file cannot be opened or read, or the chunk
  // buffer cannot be allocated; ERROR_HANDLER_CALL when an output failed,
  // its end included; ERROR_ABORT.
  [[nodiscard]] int readFile() override;

 private:
  ustring file;
};

#endif  // DELTA_SIMPLE_FILE_READER_H_
