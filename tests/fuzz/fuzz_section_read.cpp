// The section readers on arbitrary bytes, as a server would send them:
// through a socketpair and a Channel into a fixed sequence of readers (each
// width, raw variable data, every string form, the records, both versions,
// the SSL reply) and finally ProtoReadFile2 into a prepared file, resumed at
// an offset taken from the first input byte (sometimes beyond the file).
// Every reader runs even after an earlier one failed, so later readers see
// bytes out of step as well.
// Checks: no crash or sanitizer report; every result is 0, a count or a
// daemon code; the received file is the only file written and holds no more
// than the offset plus the input's bytes.
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "foundation/logger.h"
#include "protocol/proto_section.h"
#include "protocol/proto_section_file.h"
#include "protocol/proto_section_record.h"
#include "protocol/proto_section_ssl.h"
#include "protocol/proto_section_string.h"
#include "transport/channel.h"

namespace {

std::string g_root;  // the fuzzer's own temporary folder

int CountFiles(const std::string& dir) {
  int n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") ++n;
    }
    closedir(d);
  }
  return n;
}

void Cleanup() {
  unlink((g_root + "/partial").c_str());
  rmdir(g_root.c_str());
}

void Setup() {
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_section_read.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) __builtin_trap();
  g_root = tmpl;
  std::atexit(Cleanup);
  // Refused input logs errors: keep them out of the fuzzer's output.
  const std::string levels = g_root + "/levels";
  FILE* fp = std::fopen(levels.c_str(), "we");
  if (fp == nullptr || std::fputs("proto_common_debug=0\nchannel_debug=0\nstream=0\n", fp) < 0 ||
      std::fclose(fp) != 0) {
    __builtin_trap();
  }
  if (Logger::Initialize(Logger::FILE_LOGGER, "/dev/null", levels.c_str(), 50) != 0) __builtin_trap();
  unlink(levels.c_str());
}

// A count, or a code's number: never below the codes.
void Check(int rc) {
  if (rc < ErrorNumber(ERR_MAX)) __builtin_trap();
}
void Check(ErrorCode rc) { Check(ErrorNumber(rc)); }

void ReadEverything(Channel& ch, const std::string& partial, unsigned long long offset) {
  unsigned char u8 = 0;
  unsigned short u16 = 0;
  unsigned int u32 = 0;
  unsigned long long u64 = 0;
  Check(ProtoReadSection(ch, SPROTO_ID_RES, u8));
  Check(ProtoReadSection(ch, SPROTO_ID_PKG_MAJOR_VERSION, u16));
  Check(ProtoReadSection(ch, SPROTO_ID_SEQID, u32));
  Check(ProtoReadSection(ch, SPROTO_ID_SID, u64));

  char buf[16];
  unsigned n = 0;
  int rc = ProtoReadSection(ch, SPROTO_ID_PATH, buf, sizeof buf, n);
  Check(rc);
  if (rc >= 0 && (n > sizeof buf || rc != 3 + static_cast<int>(n))) __builtin_trap();
  rc = ProtoReadVarData(ch, buf, 8);
  Check(rc);
  if (rc > 8) __builtin_trap();

  std::string narrow;
  std::u16string wide;
  ustring text;
  Check(ProtoReadString(ch, narrow));
  Check(ProtoReadString(ch, wide));
  Check(ProtoReadString(ch, text));
  Check(ProtoReadDecString(ch, narrow));
  Check(ProtoReadDecString(ch, wide));
  Check(ProtoReadSection(ch, SPROTO_ID_USER, text));
  Check(ProtoReadDecSection(ch, SPROTO_ID_PASSWD, text));
  if (narrow.size() > 8192 || text.length() > 8192) __builtin_trap();

  View view;
  ObjectID oid;
  ObjectMetadata meta;
  CommonAttributeBlock block;
  FilterVersion fv;
  ProtocolVersion pv;
  Check(ProtoReadView(ch, view));
  Check(ProtoReadObjectId(ch, oid));
  Check(ProtoReadObjectMetadata(ch, meta));
  Check(ProtoReadCommonAttributeBlock(ch, block));
  Check(ProtoReadFilterVersion(ch, fv));
  Check(ProtoReadProtocolVersion(ch, pv));

  // Its request goes to a peer that no longer reads; the reply is the input.
  SSLServiceReq req;
  Check(ProtoWriteSSLServiceRequest2OLD(ch, req));

  unsigned char type = 0;
  Check(ProtoReadFile2(ch, type, partial.c_str(), offset));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_root.empty()) Setup();
  const std::string partial = g_root + "/partial";
  FILE* fp = std::fopen(partial.c_str(), "wb");
  if (fp == nullptr || std::fwrite("01234567", 1, 8, fp) != 8 || std::fclose(fp) != 0) __builtin_trap();
  const unsigned long long offset = size > 0 ? data[0] % 10 : 0;

  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) __builtin_trap();
  auto write_all = [&] {
    size_t off = 0;
    while (off < size) {
      ssize_t n = send(fds[0], data + off, size - off, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // the reader has gone: it has seen enough
      off += static_cast<size_t>(n);
    }
    shutdown(fds[0], SHUT_WR);
  };
  // Small inputs fit the socket buffer at once; larger ones go from a second
  // thread while the readers take them.
  int sndbuf = 0;
  socklen_t len = sizeof sndbuf;
  bool fits = getsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, &len) == 0 && sndbuf > 0 &&
              size < static_cast<size_t>(sndbuf) / 4;
  std::thread writer;
  if (fits) {
    write_all();
  } else {
    writer = std::thread(write_all);
  }
  {
    Channel ch(81920);
    if (ch.Open(fds[1], true) != ERR_OK) __builtin_trap();
    ReadEverything(ch, partial, offset);
    // Unblocks a writer still sending what the readers did not take.
    (void)ch.Close();
  }
  if (writer.joinable()) writer.join();
  close(fds[0]);

  struct stat st;
  if (stat(partial.c_str(), &st) != 0) __builtin_trap();
  if (static_cast<unsigned long long>(st.st_size) > 8 + size) __builtin_trap();
  if (CountFiles(g_root) != 1) __builtin_trap();
  unlink(partial.c_str());
  return 0;
}
