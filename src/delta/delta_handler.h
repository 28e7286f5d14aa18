// DeltaHandler: turns the stream a reader passes through it into a delta
// against the signature of an older version (the basis), in the librsync
// delta format:
//
//   magic 0x72730236, commands (copy a range of the basis, or literal bytes;
//   see RSConstant), the end command 0x00.
//
// Matching, window by window of block_size bytes: a window whose weak
// checksum and strong checksum equal those of a basis block becomes a copy of
// that block, and consecutive basis blocks matched one after the other
// (across chunks too) become one copy; any other byte becomes literal data.
// Pending literal bytes go out when a block matches and at the end of every
// chunk; the final partial window always travels as literal data. When
// several basis blocks carry the same sums the lowest-numbered one is named.
#ifndef DELTA_DELTA_HANDLER_H_
#define DELTA_DELTA_HANDLER_H_

#include <sys/uio.h>

#include <cstdint>

#include "delta/byte_buffer.h"
#include "delta/fd_io.h"
#include "delta/rolling_checksum.h"
#include "delta/weak_sum_index.h"
#include "foundation/ustring.h"

class DeltaHandler {
 public:
  // A block may hold at most 2^30 bytes: the window and the start of the next
  // chunk must fit in 32-bit sizes.
  static constexpr uint32_t MAX_BLOCK_SIZE = 1u << 30;

  DeltaHandler(ustring const& delta_path, ustring const& signature_path);
  ~DeltaHandler();
  DeltaHandler(const DeltaHandler&) = delete;
  DeltaHandler& operator=(const DeltaHandler&) = delete;

  // Handler steps, on the reader's thread (0 or -1; a failing step has
  // printed its line).
  // begin: loads the signature, creates the output and writes the magic.
  int begin();
  // Matches `data`; the commands it completes go out in one append. `data`
  // is read only during the call.
  int update(void const* data, unsigned len);
  // Completes that append; -1 unless all of it was written.
  int wait();
  // Writes the run in progress, the tail literal and the end command, frees
  // the working memory and closes the output. `complete` false (a failed or
  // aborted pass): only frees and closes, so that a delta of part of the
  // input never carries its end command.
  int end(bool complete = true);

  // Signature loading (called by begin). 0, or -1 after the defect's line.
  int loadSignature();
  int loadHeader(fd_t& sig);
  int loadBody(fd_t& sig);

 private:
  // The bytes of the current update: positions count from the first carried
  // byte; those below `carried` are in `carry`, the others at
  // data + (position - carried).
  struct Stream {
    const unsigned char* data;  // the reader's chunk
    uint64_t carried;           // bytes carried over from the previous chunk
    uint64_t total;             // carried + the chunk's length
  };

  int scan(const Stream& s, uint64_t& pos, bool& literal_pending, uint64_t& literal_start);
  // 1: the window at `pos` matched (continuing the run or starting one);
  // 0: it did not; -1: out of memory.
  int matchBlock(const Stream& s, uint64_t pos, bool& literal_pending, uint64_t& literal_start);
  bool findMatch(const Stream& s, uint64_t pos);
  bool extendMatch(const Stream& s, uint64_t pos);
  // The MD4 of the window at `pos`, from the batch of windows hashed ahead
  // of a run when it is there.
  const unsigned char* windowDigest(const Stream& s, uint64_t pos);
  bool strongEquals(uint64_t block, const unsigned char* digest) const;
  uint32_t storedWeak(uint64_t block) const;

  int clearMatch();
  int clearMismatch(const Stream& s, uint64_t from, uint64_t to);
  int appendWriteBuffer(void const* data, size_t n);
  int appendExternal(const unsigned char* data, size_t n);
  int flushCommands();
  void freeMemory();

  ustring delta_file;
  ustring signature_file;
  fd_t fd;
  fd_aio_t aio;

  unsigned block_size = 0;
  unsigned hash_size = 0;
  ByteBuffer sig_body;          // the entries as stored
  RawArray<DeltaBlock> sig_stat;  // sorted by weak checksum, then block number
  uint64_t sig_block_count = 0;
  WeakSumIndex index;

  // Bytes not yet emitted (fewer than a block: the partial window), followed
  // by room for one block of the next chunk so that windows starting in the
  // carried bytes are contiguous.
  ByteBuffer carry;
  RSRollingChecksum checksum;  // weak checksum of the window

  // The run in progress: match_count consecutive basis blocks from match_start.
  uint64_t match_start = 0;
  uint64_t match_count = 0;

  // Commands of the current chunk: headers and short literals in
  // write_buffer, long literals referred to in place (in the reader's chunk,
  // which stays unchanged until update returns). `pieces` lists both in order.
  struct Piece {
    const unsigned char* external;  // null: bytes of write_buffer from `offset`
    size_t offset;
    size_t length;
  };
  ByteBuffer write_buffer;
  RawArray<Piece> pieces;
  RawArray<struct iovec> iov;
  uint64_t started = 0;  // length of the append waiting for wait()

  // MD4 of up to kAhead windows, kAhead apart by a block, hashed together
  // while a run goes on: consecutive blocks of a file that matched tend to
  // keep matching.
  static constexpr unsigned kAhead = 8;
  unsigned char ahead_digest[kAhead][16];
  uint64_t ahead_first = 0;  // logical position of the first, in this update
  unsigned ahead_count = 0;

  bool begun = false;
  bool failed = false;
};

#endif  // DELTA_DELTA_HANDLER_H_
