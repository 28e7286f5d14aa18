// A signature file used for the delta of a fixed file. Besides the
// sanitizers, a delta that is produced must be well formed: it ends with the
// end command, every copy names whole blocks that the signature holds, and
// its commands account for every byte of the file.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

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

bool Write(const std::string& path, const void* data, size_t size) {
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
  size_t file_size = 0;
  Workspace() {
    char tmpl[] = "/tmp/fuzz-sig-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    dir = tmpl;
    // The file of the seeds: Bytes(5000, 1) twice, then 2000 zero bytes, so
    // that seeds hold matching, repeated and short blocks.
    const std::string part = Bytes(5000, 1);
    const std::string file = part + part + std::string(2000, '\0');
    file_size = file.size();
    if (!Write(dir + "/file", file.data(), file.size())) abort();
  }
  ~Workspace() {
    for (const char* name : {"file", "sig", "delta"}) unlink(path(name).c_str());
    rmdir(dir.c_str());
  }
  std::string path(const char* name) const { return dir + "/" + name; }
};

uint64_t BigEndian(const std::string& s, size_t at, unsigned width) {
  uint64_t v = 0;
  for (unsigned i = 0; i < width; ++i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Workspace ws;
  if (!Write(ws.path("sig"), data, size)) abort();
  SimpleFileReader reader;
  reader.setFile(ws.path("file").c_str());
  reader.setDelta(ws.path("delta").c_str(), ws.path("sig").c_str());
  if (reader.readFile() != 0) return 0;

  // A loaded signature has a valid header.
  if (size < 12) abort();
  const uint64_t block = BigEndian(std::string(reinterpret_cast<const char*>(data), 12), 4, 4);
  const uint64_t entry = 4 + BigEndian(std::string(reinterpret_cast<const char*>(data), 12), 8, 4);
  const uint64_t blocks = (size - 12) / entry;

  const std::string d = Read(ws.path("delta"));
  static const unsigned kWidths[4] = {1, 2, 4, 8};
  if (d.size() < 5 || BigEndian(d, 0, 4) != 0x72730236u) abort();
  size_t at = 4;
  uint64_t produced = 0;
  for (;;) {
    if (at >= d.size()) abort();  // no end command
    const unsigned op = static_cast<unsigned char>(d[at++]);
    if (op == 0) break;
    if (op <= 0x40) {
      produced += op;
      at += op;
    } else if (op <= 0x44) {
      const unsigned w = kWidths[op - 0x41];
      if (at + w > d.size()) abort();
      const uint64_t n = BigEndian(d, at, w);
      at += w + n;
      produced += n;
    } else if (op <= 0x54) {
      const unsigned w1 = kWidths[(op - 0x45) / 4], w2 = kWidths[(op - 0x45) % 4];
      if (at + w1 + w2 > d.size()) abort();
      const uint64_t offset = BigEndian(d, at, w1), length = BigEndian(d, at + w1, w2);
      at += w1 + w2;
      if (length == 0 || offset % block != 0 || length % block != 0) abort();
      if (offset / block + length / block > blocks) abort();
      produced += length;
    } else {
      abort();
    }
  }
  if (at != d.size() || produced != ws.file_size) abort();
  return 0;
}
