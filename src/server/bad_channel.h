// BadChannel: the channel handed out in place of a missing one, so that a
// caller holding a stat without a channel fails loudly instead of crashing.
#ifndef SERVER_BAD_CHANNEL_H_
#define SERVER_BAD_CHANNEL_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "transport/channel.h"

// Every I/O operation logs CRIT "bad function in use" on "connection_debug"
// and fails with ERR_IO (-2); ConvertToSSLChannel fails with ERR_SYS (-3).
// Close, SetTimeout, SetFlag, ClearRead and ClearWrite do nothing (so no
// flag is ever stored and the channel never opens); IsClosed logs and says
// true. Stateless after construction: any thread may call it at once.
class BadChannel : public Channel {
 public:
  // The one instance: built on first use (thread-safe), destroyed at
  // process exit. Never delete it.
  static BadChannel& Instance();

  ~BadChannel() override;

  ErrorCode Open(char const* domain_sock) override;
  ErrorCode Open(int fd, bool nonblock) override;
  ErrorCode Open(char const* ip, int port) override;
  ErrorCode Close() override;
  void SetTimeout(uint32_t timeout) override;
  void SetFlag(const std::atomic<int>* f) override;
  ErrorCode ConvertToSSLChannel(bool isServer) override;
  ErrorCode ReadByte(uint8_t* i) override;
  ErrorCode ReadInt16(uint16_t* i) override;
  ErrorCode ReadInt32(uint32_t* i) override;
  ErrorCode ReadInt64(uint64_t* i) override;
  ErrorCode WriteByte(uint8_t i) override;
  ErrorCode WriteInt16(uint16_t i) override;
  ErrorCode WriteInt32(uint32_t i) override;
  ErrorCode WriteInt64(uint64_t i) override;
  ErrorCode Read(char* buf, size_t len) override;
  ErrorCode Read(char* buf, size_t len, size_t& total) override;
  ErrorCode Write(char const* buf, size_t len) override;
  void ClearRead() override;
  void ClearWrite() override;
  ErrorCode FlushWrite(size_t want) override;
  bool IsClosed() const override;

 private:
  // The plain Channel base with 81920-byte rings.
  BadChannel();
  // Logs the CRIT line; ERR_IO.
  static ErrorCode Fail(int line);
};

#endif  // SERVER_BAD_CHANNEL_H_
