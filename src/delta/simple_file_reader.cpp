#include "delta/simple_file_reader.h"

#include <cstdlib>
#include <memory>

#include "delta/fd_io.h"

SimpleFileReader::SimpleFileReader() = default;
SimpleFileReader::~SimpleFileReader() = default;

void SimpleFileReader::setFile(ustring const& path) { file = path; }
void SimpleFileReader::setCopyFile(ustring const& path) { setCopyHandler(path); }
void SimpleFileReader::setHashString(ustring& out) { setMD4HashHandler(out); }
void SimpleFileReader::setSignature(ustring const& path, unsigned block_size, unsigned hash_size) {
  setSignatureHandler(path, block_size, hash_size);
}
void SimpleFileReader::setDelta(ustring const& delta_path, ustring const& signature_path) {
  setDeltaHandler(delta_path, signature_path);
}

int SimpleFileReader::readFile() {
  if (file.empty()) return ERROR_ARGUMENT;
  int result = begin();
  fd_t in;
  std::unique_ptr<unsigned char, decltype(&free)> chunk(nullptr, &free);
  bool complete = false;
  if (result == 0) {
    if (fd_open_read(file, in) != 0) {
      result = ERROR_SYSTEM_CALL;
    } else {
      chunk.reset(static_cast<unsigned char*>(malloc(CHUNK_SIZE)));
      if (!chunk) result = ERROR_SYSTEM_CALL;
    }
  }
  while (result == 0) {
    if (aborted()) {
      result = ERROR_ABORT;
      break;
    }
    // Fill the whole chunk unless the file ends: the delta's literal
    // commands then follow the same boundaries however reads are cut.
    unsigned filled = 0;
    while (filled < CHUNK_SIZE) {
      const int n = fd_read(in, chunk.get() + filled, CHUNK_SIZE - filled);
      if (n < 0) {
        result = ERROR_SYSTEM_CALL;
        break;
      }
      if (n == 0) break;
      filled += static_cast<unsigned>(n);
    }
    if (result != 0) break;
    if (filled == 0) {
      complete = true;
      break;
    }
    // wait() joins the writes of the handlers whose update succeeded even
    // when another one failed.
    const int updated = update(chunk.get(), filled);
    if (wait() != 0 || updated != 0) result = ERROR_HANDLER_CALL;
  }
  result = combine(result, end(complete));
  fd_close(in);
  return result;
}
