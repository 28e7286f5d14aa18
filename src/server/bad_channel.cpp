#include "server/bad_channel.h"

#include "foundation/logger.h"

namespace {
constexpr char kComponent[] = "connection_debug";
}  // namespace

BadChannel& BadChannel::Instance() {
  static BadChannel instance;
  return instance;
}

BadChannel::BadChannel() : Channel(81920) {}

BadChannel::~BadChannel() = default;

ErrorCode BadChannel::Fail(int line) {
  Logger::LogMsg(Logger::L_CRIT, kComponent, "[CRIT] bad-channel(%d): bad function in use\n", line);
  return ERR_IO;
}

ErrorCode BadChannel::Open(char const*) { return Fail(__LINE__); }
ErrorCode BadChannel::Open(int, bool) { return Fail(__LINE__); }
ErrorCode BadChannel::Open(char const*, int) { return Fail(__LINE__); }
ErrorCode BadChannel::Close() { return ERR_OK; }
void BadChannel::SetTimeout(uint32_t) {}
void BadChannel::SetFlag(const std::atomic<int>*) {}
ErrorCode BadChannel::ConvertToSSLChannel(bool) {
  (void)Fail(__LINE__);
  return ERR_SYS;
}
ErrorCode BadChannel::ReadByte(uint8_t*) { return Fail(__LINE__); }
ErrorCode BadChannel::ReadInt16(uint16_t*) { return Fail(__LINE__); }
ErrorCode BadChannel::ReadInt32(uint32_t*) { return Fail(__LINE__); }
ErrorCode BadChannel::ReadInt64(uint64_t*) { return Fail(__LINE__); }
ErrorCode BadChannel::WriteByte(uint8_t) { return Fail(__LINE__); }
ErrorCode BadChannel::WriteInt16(uint16_t) { return Fail(__LINE__); }
ErrorCode BadChannel::WriteInt32(uint32_t) { return Fail(__LINE__); }
ErrorCode BadChannel::WriteInt64(uint64_t) { return Fail(__LINE__); }
ErrorCode BadChannel::Read(char*, size_t) { return Fail(__LINE__); }
ErrorCode BadChannel::Read(char*, size_t, size_t&) { return Fail(__LINE__); }
ErrorCode BadChannel::Write(char const*, size_t) { return Fail(__LINE__); }
void BadChannel::ClearRead() {}
void BadChannel::ClearWrite() {}
ErrorCode BadChannel::FlushWrite(size_t) { return Fail(__LINE__); }
bool BadChannel::IsClosed() const {
  (void)Fail(__LINE__);
  return true;
}
