// PStream: the one wire encoding of a PObject over a Channel.
//
// Every value is a one-byte tag and a body; integers on the wire are
// big-endian:
//   0x00 null     one byte 0x00
//   0x01 integer  width w (0..8), then w bytes; the writer uses 1, 2, 4 or 8
//   0x10 string   uint16 byte count, then the UTF-8 bytes
//   0x30 binary   uint64 byte count, then the bytes of the file slice
//   0x41 array    the elements, then 0x40
//   0x42 map      key (a string value) and value per member, then 0x40
// Members go out in key order, each key without one leading "_" ("_action"
// is sent as "action"). Binaries stream between file and channel in chunks,
// so a body of any size passes through one 80 KiB buffer.
#ifndef PROTOCOL_PSTREAM_H_
#define PROTOCOL_PSTREAM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "foundation/ustring.h"
#include "protocol/pobject.h"
#include "transport/error_code.h"

class Channel;

// Writes and reads one PObject per call. One thread transfers on a stream at a
// time; GetStatus may be called from any other thread meanwhile. Send and Recv
// always leave the stream idle (no key path, totals 0), so one object can
// receive a request and then send its reply. Not copyable.
//
// Hostile input: a width above 8, nesting deeper than kMaxDepth containers,
// more than the value limit of values in one message, an unknown tag, a null
// with a body byte other than 0, a non-string map key, and a binary with
// nowhere to go all give kStream before anything is allocated or created
// for them. After any failure the channel is out of step: give it up.
class PStream {
 public:
  // The stream's own codes. Their own type: they are not the daemon's ERR_*
  // codes (-1 here is a local failure, there an abort), and callers map them
  // in one named function each. The numbers are those of the log lines.
  enum class Code {
    kOk = 0,
    kSys = -1,       // local failure: memory, a local file, a value of no known kind
    kIo = -2,        // the channel failed (closed, reset, timed out, aborted)
    kTimeout = -3,   // declared; never returned
    kDiskFull = -4,  // writing a received body found the disk full (ENOSPC, EDQUOT)
    kStream = -5,    // malformed or hostile input; a string too long to send; a
                     // file shorter than the binary's length
    kInput = -6,     // declared; never returned
  };

  // Containers nested deeper than this are refused, both ways. Real messages
  // are about 6 deep; the limit keeps hostile input off the thread's stack.
  static constexpr size_t kMaxDepth = 64;
  // Values (of any kind, at any depth) accepted in one received message, so
  // that a peer cannot make the daemon allocate without end.
  static constexpr size_t kDefaultValueLimit = size_t{16} << 20;
  // Largest piece of a binary moved in one step.
  static constexpr size_t kBinaryChunk = 81920;
  // Longest string or key the encoding can carry.
  static constexpr size_t kMaxString = 65535;

  PStream();
  ~PStream();
  PStream(const PStream&) = delete;
  PStream& operator=(const PStream&) = delete;

  // Encodes `obj` into the channel's write buffer, then flushes all of it.
  // kOk; or the encoder's code after the "Error stack" line (the bytes already
  // buffered stay in the channel); or kIo when the flush fails. Binaries
  // are sent in pieces of at most min(kBinaryChunk, the channel's capacity).
  [[nodiscard]] Code Send(Channel& ch, const PObject& obj);

  // Reads one value and merges it into `target`: a received map adds or
  // replaces members and keeps the others, an array appends, a scalar
  // replaces, and a value of another kind replaces the target. A binary
  // goes to the file the target names:
  //  - target offset 0: the file is created or truncated;
  //  - offset == length (not 0): appended to;
  //  - otherwise: cut back to offset first, then appended to;
  //  - no path: a new file with a fresh name in the receive folder, created
  //    with O_EXCL|O_NOFOLLOW; kStream when no receive folder is set.
  // Afterwards offset = length = old offset + bytes written, also after a
  // failure, so a second Recv into the same target continues a broken body.
  // kOk; kIo (channel), kStream (malformed), kSys (local file or
  // memory), kDiskFull. What arrived before a failure stays in `target`.
  // A file this call created in the receive folder is removed when a later
  // value of the same message replaces the binary that names it (a key sent
  // twice), so every such file is named by `target` on return.
  [[nodiscard]] Code Recv(Channel& ch, PObject& target);

  // The folder for received binaries whose target has no path ("" at first:
  // such binaries are refused). Set it only for a trusted purpose: whoever
  // sends the message chooses how many bytes land there.
  void SetDefaultRecvLocation(const ustring& folder);
  // Values allowed in one received message (kDefaultValueLimit at first).
  void SetValueLimit(size_t limit);

  // Each element of the array held by the top-level key `key` of a received
  // map goes to `sink` as soon as it is received, instead of into the
  // target, whose array stays empty: a caller can keep a long list in a
  // compact form rather than as one parsed tree. A negative result of the
  // sink ends the Recv with ERR_SYS. An empty `key` (the start) keeps every
  // element in the target.
  using ElementSink = std::function<int(PObject& element)>;
  void SetArraySink(const ustring& key, ElementSink sink);

  // The key path of the value in transfer ("file" then "data" gives
  // "file.file.data"), the bytes of the binary in transfer done so far and
  // its length; "", 0, 0 between transfers and for non-binary values.
  // Thread-safe: takes status_lock.
  void GetStatus(ustring& path, unsigned long long& sent, unsigned long long& total) const;
  void GetStatus(ustring& path, unsigned long& sent, unsigned long& total) const;

  // The encoding's version: 1, 0, 0.
  void GetVersion(unsigned int& major, unsigned int& minor, unsigned int& build) const;

 private:
  // --- Sending (pstream_send.cpp) ---
  [[nodiscard]] Code SendObject(Channel& ch, const PObject& obj);
  [[nodiscard]] Code SendNull(Channel& ch);
  [[nodiscard]] Code SendInteger(Channel& ch, uint64_t value);
  // kStream, nothing written, above kMaxString bytes.
  [[nodiscard]] Code SendString(Channel& ch, const char* text, size_t len);
  [[nodiscard]] Code SendMap(Channel& ch, const PObject::map_type& map);
  [[nodiscard]] Code SendArray(Channel& ch, const PObject::array_type& array);
  [[nodiscard]] Code SendBinary(Channel& ch, const PObject::binary_type& binary);
  // Writes `len` bytes in pieces the channel accepts. kOk or kIo.
  [[nodiscard]] Code Put(Channel& ch, const void* bytes, size_t len);

  // --- Receiving (pstream_recv.cpp) ---
  [[nodiscard]] Code RecvTag(Channel& ch, uint8_t& tag);
  [[nodiscard]] Code RecvObject(Channel& ch, PObject& target);
  [[nodiscard]] Code RecvDispatch(Channel& ch, uint8_t tag, PObject& target);
  [[nodiscard]] Code RecvMap(Channel& ch, PObject& target);
  [[nodiscard]] Code RecvArray(Channel& ch, PObject& target);
  [[nodiscard]] Code RecvString(Channel& ch, ustring& text);
  [[nodiscard]] Code RecvString(Channel& ch, PObject& target);
  [[nodiscard]] Code RecvInteger(Channel& ch, PObject& target);
  [[nodiscard]] Code RecvBinary(Channel& ch, PObject& target);
  [[nodiscard]] Code RecvNull(Channel& ch, PObject& target);
  // Reads the body of a binary of `n` bytes into `fp`; `written` counts the
  // bytes that reached the file.
  [[nodiscard]] Code RecvBody(Channel& ch, FILE* fp, const ustring& path, uint64_t n, uint64_t& written);
  // Reads exactly `len` bytes. kOk or kIo.
  [[nodiscard]] Code Get(Channel& ch, void* bytes, size_t len);
  // An unknown tag: nothing can be skipped safely. Always kStream.
  [[nodiscard]] Code Skip(Channel& ch, uint8_t tag);
  // Removes the files of this Recv's fresh binaries inside `value`, which is
  // about to be replaced.
  void RemoveFreshFiles(const PObject& value);

  // --- Status and log (pstream.cpp) ---
  // Logs the channel's failure and gives kIo.
  static Code ChannelFailed(ErrorCode code, int line);
  void PushKey(const char* key, size_t len);
  void PopKey();
  void ClearHistory();
  void DumpHistory() const;
  // The key path; the caller holds status_lock.
  ustring GetHistory() const;
  void UpdateStatus(uint64_t sent, uint64_t total);
  // The blanks in front of a dump line at the current depth.
  const char* Indent() const;

  // Guarded by status_lock: the keys from the top down to the value in
  // transfer are history[0 .. history_size); slots beyond are kept for reuse.
  std::vector<ustring> history;
  size_t history_size;
  uint64_t total_size;
  uint64_t total_sent;
  mutable std::mutex status_lock;

  // The transferring thread's own state.
  size_t indent;          // nesting depth of the value in transfer
  ustring recv_path;      // folder for binaries without a path
  size_t value_limit;
  size_t value_count;     // values received so far in this Recv
  std::unordered_set<std::string> fresh_files;  // created in the receive folder by this Recv
  bool dump;              // "stream" is at L_DEBUG; decided once per Send/Recv
  std::vector<char> scratch;  // string bytes on their way in
  ustring sink_key;           // SetArraySink's key ("" for none)
  ElementSink sink;
};

// The number of a stream code in log lines (kIo is -2): the one place where
// a stream code becomes an int.
constexpr int StreamCodeNumber(PStream::Code code) { return static_cast<int>(code); }

#endif  // PROTOCOL_PSTREAM_H_
