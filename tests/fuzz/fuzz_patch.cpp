// A delta from the server, applied to a fixed 5000-byte basis with every
// output attached (rebuilt file, MD4, signature, reverse delta). Besides the
// sanitizers, a rebuild that succeeds must be consistent: the MD4 and the
// signature describe the rebuilt file, and the reverse delta turns the
// rebuilt file back into the basis.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "delta/delta_file_reader.h"
#include "delta/simple_file_reader.h"
#include "foundation/ustring.h"

namespace {

std::string Bytes(size_t n, uint64_t seed) {
  std::string out(n, '\0');
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    out[i] = static_cast<char>((x * 0x2545F4914F6CDD1Dull) >> 56);
  }
  return out;
}

bool Write(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wbe");
  if (f == nullptr) return false;
  const bool ok = fwrite(data, 1, size, f) == size;
  return fclose(f) == 0 && ok;
}

std::string Read(const std::string& path) {
  std::string out;
  FILE* f = fopen(path.c_str(), "rbe");
  if (f == nullptr) return out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

struct Workspace {
  std::string dir;
  std::string basis;
  Workspace() {
    char tmpl[] = "/tmp/fuzz-patch-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    dir = tmpl;
    // The basis of the seeds: Bytes(5000, 1).
    basis = Bytes(5000, 1);
    if (!Write(dir + "/basis", reinterpret_cast<const uint8_t*>(basis.data()), basis.size())) abort();
  }
  ~Workspace() {
    for (const char* name : {"basis", "delta", "new", "new.sig", "check.sig", "reverse", "back"}) {
      unlink(path(name).c_str());
    }
    rmdir(dir.c_str());
  }
  std::string path(const char* name) const { return dir + "/" + name; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Workspace ws;
  if (!Write(ws.path("delta"), data, size)) abort();

  ustring hash;
  DeltaFileReader reader;
  reader.setFile(ws.path("delta").c_str(), ws.path("basis").c_str());
  reader.setNewFile(ws.path("new").c_str());
  reader.setHashString(hash);
  reader.setSignature(ws.path("new.sig").c_str(), 2048, 8);
  reader.setReverseDeltaFile(ws.path("reverse").c_str());
  reader.setMaxOutputSize(1 << 20);
  if (reader.readFile() != 0) return 0;

  ustring hash2;
  SimpleFileReader check;
  check.setFile(ws.path("new").c_str());
  check.setHashString(hash2);
  check.setSignature(ws.path("check.sig").c_str(), 2048, 8);
  if (check.readFile() != 0) abort();
  if (hash.compare(hash2) != 0) abort();
  if (Read(ws.path("new.sig")) != Read(ws.path("check.sig"))) abort();

  DeltaFileReader back;
  back.setFile(ws.path("reverse").c_str(), ws.path("new").c_str());
  back.setNewFile(ws.path("back").c_str());
  if (back.readFile() != 0) abort();
  if (Read(ws.path("back")) != ws.basis) abort();
  return 0;
}
