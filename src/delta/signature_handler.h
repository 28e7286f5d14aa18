// SignatureHandler: writes the signature of the stream a reader passes
// through it, in the librsync MD4 signature format:
//
//   magic 0x72730136, block size, strong sum length (4 bytes each, big-endian),
//   then per block of the input, in order: the 4-byte weak checksum and the
//   first `hash_size` bytes of the block's MD4.
//
// The last block holds the 1..block_size bytes left; an empty input has no
// entry. The file depends only on the byte stream, not on how the reader
// cut it into chunks.
#ifndef DELTA_SIGNATURE_HANDLER_H_
#define DELTA_SIGNATURE_HANDLER_H_

#include <cstdint>

#include "delta/byte_buffer.h"
#include "delta/fd_io.h"
#include "foundation/ustring.h"

struct SignatureHandler {
  static constexpr unsigned DEFAULT_BLOCK_SIZE = 2048;
  static constexpr unsigned DEFAULT_HASH_SIZE = 8;
  static constexpr unsigned MAX_HASH_SIZE = 16;

  explicit SignatureHandler(ustring const& path);
  ~SignatureHandler();
  SignatureHandler(const SignatureHandler&) = delete;
  SignatureHandler& operator=(const SignatureHandler&) = delete;

  // Non-zero sizes only; other values keep the current one.
  void setBlockSize(unsigned size);
  // 1 to 16 only; other values keep the current one.
  void setHashSize(unsigned size);
  // (file_size / block_size + 2) * (hash_size + 4): an upper bound on the
  // signature of `file_size` bytes.
  uint64_t getSignatureSize(uint64_t file_size) const;

  // Handler steps (0 or -1, the failing step has printed its line).
  // begin: creates the output and writes the header.
  int begin();
  // Entries of the blocks completed by `data`, written in one append.
  int update(void const* data, unsigned len);
  // Completes that append; -1 unless all of it was written.
  int wait();
  // Writes the entry of the pending partial block and closes the output.
  // `complete` false (a failed or aborted pass): only closes, so that a
  // signature of part of the input never looks finished.
  int end(bool complete = true);

  // Appends the entry of one block of `n` bytes to the write buffer (which
  // must have room for it).
  void updateBlock(void const* block, unsigned n);

  ustring file;
  fd_t fd;
  fd_aio_t aio;
  unsigned block_size = DEFAULT_BLOCK_SIZE;
  unsigned hash_size = DEFAULT_HASH_SIZE;
  ByteBuffer write_buffer;  // entries produced by the current chunk
  ByteBuffer read_buffer;   // the pending partial block
  bool begun = false;       // begin() succeeded
  bool failed = false;      // an update or wait failed
  uint64_t started = 0;     // length of the append waiting for wait()

 private:
  // Entries of `count` whole blocks at `data`.
  void updateBlocks(const unsigned char* data, uint64_t count);
};

#endif  // DELTA_SIGNATURE_HANDLER_H_
