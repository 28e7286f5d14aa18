// PStream::Recv of arbitrary bytes, as a server reply or a local control
// request would bring them, through a socketpair and a Channel, into three
// targets:
//  1. a null target on a stream without a receive folder (the control loop):
//     a body has nowhere to go, so no file may appear anywhere;
//  2. a null target on a stream whose receive folder is a temporary folder
//     (the worker): every file there must be one the target names;
//  3. a prepared target {"file": {"data": <binary of an existing file, offset
//     3, length 7>}}: only that file may be written.
// Checks: no crash or sanitizer report, no stray file, results within the
// stream's codes, and the received tree prints.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "../support/pobject_from_bytes.h"
#include "foundation/logger.h"

namespace {

std::string g_root;  // the fuzzer's own temporary folder

std::set<std::string> Files(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.insert(dir + "/" + n);
    }
    closedir(d);
  }
  return names;
}

void RemoveAll(const std::string& dir) {
  for (const std::string& f : Files(dir)) unlink(f.c_str());
}

void Cleanup() {
  RemoveAll(g_root + "/recv");
  rmdir((g_root + "/recv").c_str());
  RemoveAll(g_root);
  rmdir(g_root.c_str());
}

void Setup() {
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_pstream_recv.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) __builtin_trap();
  g_root = tmpl;
  if (mkdir((g_root + "/recv").c_str(), 0700) != 0) __builtin_trap();
  std::atexit(Cleanup);
  // Every refused input logs an error: keep them out of the fuzzer's output
  // (and off its time). The level file goes before the first run's checks.
  const std::string levels = g_root + "/levels";
  FILE* fp = std::fopen(levels.c_str(), "we");
  if (fp == nullptr || std::fputs("stream=0\nchannel_debug=0\n", fp) < 0 || std::fclose(fp) != 0) {
    __builtin_trap();
  }
  if (Logger::Initialize(Logger::FILE_LOGGER, "/dev/null", levels.c_str(), 50) != 0) __builtin_trap();
  unlink(levels.c_str());
}

// Every binary path in the tree.
void BinaryPaths(const PObject& p, std::set<std::string>& out) {
  if (p.isBinary()) {
    if (!p.asBinary().path.empty()) out.insert(p.asBinary().path.c_str_utf8());
  } else if (p.isMap()) {
    for (const auto& member : p.asMap()) BinaryPaths(member.second, out);
  } else if (p.isArray()) {
    for (const PObject& e : p.asArray()) BinaryPaths(e, out);
  }
}

void CheckResult(int rc, const PObject& target) {
  if (rc > 0 || rc < StreamCodeNumber(PStream::Code::kInput)) __builtin_trap();
  (void)target.toString();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_root.empty()) Setup();
  const std::string recv = g_root + "/recv";
  const std::string prepared = g_root + "/prepared";

  {
    PStream stream;
    PObject target;
    int rc = testsupport::RecvFromBytes(data, size, stream, target);
    CheckResult(rc, target);
    std::set<std::string> named;
    BinaryPaths(target, named);
    if (!named.empty() || !Files(recv).empty() || !Files(g_root).count(recv) || Files(g_root).size() != 1) {
      __builtin_trap();
    }
  }

  {
    PStream stream;
    stream.SetDefaultRecvLocation(recv.c_str());
    PObject target;
    int rc = testsupport::RecvFromBytes(data, size, stream, target);
    CheckResult(rc, target);
    std::set<std::string> named;
    BinaryPaths(target, named);
    for (const std::string& f : Files(recv)) {
      if (!named.count(f)) __builtin_trap();  // a file nobody knows of
    }
    RemoveAll(recv);
    if (Files(g_root).size() != 1) __builtin_trap();
  }

  {
    FILE* fp = std::fopen(prepared.c_str(), "wb");
    if (fp == nullptr || std::fwrite("0123456", 1, 7, fp) != 7 || std::fclose(fp) != 0) __builtin_trap();
    PStream stream;
    PObject target;
    PObject::binary_type& b = target["file"]["data"].asBinary();
    b.path = prepared.c_str();
    b.offset = 3;
    b.length = 7;
    int rc = testsupport::RecvFromBytes(data, size, stream, target);
    CheckResult(rc, target);
    if (!Files(recv).empty()) __builtin_trap();
    for (const std::string& f : Files(g_root)) {
      if (f != recv && f != prepared) __builtin_trap();
    }
    unlink(prepared.c_str());
  }
  return 0;
}
