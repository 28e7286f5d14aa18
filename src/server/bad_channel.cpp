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

int BadChannel::Fail(int line) {
  Logger::LogMsg(Logger::L_CRIT, kComponent, "[CRIT] bad-channel(%d): bad function in use\n", line);
  return ERR_IO;
}

int BadChannel::Open(char const*) { return Fail(__LINE__); }
int BadChannel::Open(int, bool) { return Fail(__LINE__); }
int BadChannel::Open(char const*, int) { return Fail(__LINE__); }
int BadChannel::Close() { return 0; }
void BadChannel::SetTimeout(uint32_t) {}
void BadChannel::SetFlag(const std::atomic<int>*) {}
int BadChannel::ConvertToSSLChannel(bool) {
  (void)Fail(__LINE__);
  return ERR_SYS;
}
int BadChannel::ReadByte(uint8_t*) { return Fail(__LINE__); }
int BadChannel::ReadInt16(uint16_t*) { return Fail(__LINE__); }
int BadChannel::ReadInt32(uint32_t*) { return Fail(__LINE__); }
int BadChannel::ReadInt64(uint64_t*) { return Fail(__LINE__); }
int BadChannel::WriteByte(uint8_t) { return Fail(__LINE__); }
int BadChannel::WriteInt16(uint16_t) { return Fail(__LINE__); }
int BadChannel::WriteInt32(uint32_t) { return Fail(__LINE__); }
int BadChannel::WriteInt64(uint64_t) { return Fail(__LINE__); }
int BadChannel::Read(char*, size_t) { return Fail(__LINE__); }
int BadChannel::Read(char*, size_t, size_t&) { return Fail(__LINE__); }
int BadChannel::Write(char const*, size_t) { return Fail(__LINE__); }
void BadChannel::ClearRead() {}
void BadChannel::ClearWrite() {}
int BadChannel::FlushWrite(size_t) { return Fail(__LINE__); }
bool BadChannel::IsClosed() const {
  (void)Fail(__LINE__);
  return true;
}
