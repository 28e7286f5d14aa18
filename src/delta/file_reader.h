// FileReader: one pass over a stream of bytes feeding up to four handlers,
// a copy, the MD4 digest, a signature and a delta, so that one read of a file
// yields everything the worker needs about it.
//
// A reader is built on the caller's stack, given its handlers and paths, run
// once with readFile() and destroyed, all on one thread. Only the abort flag
// is shared: another thread may raise it at any time, and the reader gives
// up at the next chunk (or piece of a delta command) with ERROR_ABORT.
//
// After a failed or aborted run the outputs stay on disk, incomplete (a
// signature or delta then lacks its last entry or end command), for the
// caller to remove.
#ifndef DELTA_FILE_READER_H_
#define DELTA_FILE_READER_H_

#include <atomic>
#include <memory>

#include "delta/copy_handler.h"
#include "delta/delta_handler.h"
#include "delta/md4_hash_handler.h"
#include "delta/signature_handler.h"
#include "foundation/ustring.h"

class FileReader {
 public:
  // Results of readFile. These are the engine's own codes, apart from the
  // daemon's ERR_* codes and the stream's.
  enum {
    ERROR_ARGUMENT = -1,      // a path is missing
    ERROR_SYSTEM_CALL = -2,   // opening or reading an input failed, or memory ran out
    ERROR_HANDLER_CALL = -3,  // an output failed (its handler printed why)
    ERROR_ABORT = -4,         // the abort flag was raised
    ERROR_FILE_FORMAT = -5,   // the delta is not a valid delta
  };

  // Inputs are read and passed on in chunks of this size.
  static constexpr unsigned CHUNK_SIZE = 0x100000;

  virtual ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // Runs the pass: 0 or one of the codes above.
  [[nodiscard]] virtual int readFile() = 0;

  // `flag` (not owned; null: no abort) is read without a lock before every
  // chunk; a non-zero value stops the pass. It must outlive readFile.
  void setAbortFlag(std::atomic<int>* flag) { abort_flag = flag; }

 protected:
  FileReader();

  // Attach a handler; the reader owns it from then on. Attaching a kind a
  // second time replaces the first one.
  void setCopyHandler(ustring const& path);
  void setMD4HashHandler(ustring& out);
  // A block_size of 0 keeps 2048; a hash_size outside 1..16 keeps 8.
  void setSignatureHandler(ustring const& path, unsigned block_size, unsigned hash_size);
  void setDeltaHandler(ustring const& delta_path, ustring const& signature_path);

  bool aborted() const { return abort_flag != nullptr && abort_flag->load(std::memory_order_relaxed) != 0; }

  // The fan-out, in the order copy, delta, signature, MD4 (wait has no MD4
  // step). Every attached handler is called even when an earlier one failed;
  // the result is ERROR_HANDLER_CALL if any failed, else 0.
  [[nodiscard]] int begin();
  [[nodiscard]] int update(void const* data, unsigned len);
  [[nodiscard]] int wait();
  // `complete` says whether the whole input went through; when it did not,
  // the handlers close their outputs without finishing them.
  [[nodiscard]] int end(bool complete);

  // The result of a pass whose work gave `result` and whose end() gave
  // `end_result`: a failure to finish the outputs turns a success into
  // ERROR_HANDLER_CALL (a full disk at the very end must not pass for a
  // complete signature or delta); an earlier failure keeps its own code.
  [[nodiscard]] static int combine(int result, int end_result) {
    return result == 0 && end_result != 0 ? ERROR_HANDLER_CALL : result;
  }

  std::atomic<int>* abort_flag = nullptr;
  std::unique_ptr<CopyHandler> copy_handler;
  std::unique_ptr<MD4HashHandler> md4_hash_handler;
  std::unique_ptr<SignatureHandler> signature_handler;
  std::unique_ptr<DeltaHandler> delta_handler;
};

#endif  // DELTA_FILE_READER_H_
