#include "worker/basis_md4.h"

#include <time.h>

#include <chrono>
#include <utility>

#include "delta/simple_file_reader.h"

BasisMd4::ReadStart BasisMd4::Begin(const ustring& path) {
  ReadStart start;
  struct timespec now;
  // The clock before the lstat: a change stamped after the lstat can only
  // carry this time or a later one.
  if (clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0) return start;
  start.clock_ns = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  start.identity = FileIdentity::Of(path);
  return start;
}

BasisMd4::Kept BasisMd4::Settled(const ustring& path, const ReadStart& start, const ustring& md4) {
  Kept k;
  if (md4.empty() || !start.identity.valid || !S_ISREG(start.identity.mode)) return k;
  if (start.identity.ctime_ns >= start.clock_ns) return k;
  if (!start.identity.Same(FileIdentity::Of(path))) return k;
  k.held = true;
  k.path = path;
  k.identity = start.identity;
  k.md4 = md4;
  return k;
}

void BasisMd4::Keep(const ustring& path, const ReadStart& start, const ustring& md4) {
  Reset();
  kept_ = Settled(path, start, md4);
}

void BasisMd4::Start(const ustring& path) {
  Reset();
  stop_.store(0);
  helper_ = std::async(std::launch::async, [this, path]() {
    const ReadStart start = Begin(path);
    ustring md4;
    SimpleFileReader reader;
    reader.setAbortFlag(&stop_);
    reader.setFile(path);
    reader.setHashString(md4);
    if (reader.readFile() < 0) return Kept();
    return Settled(path, start, md4);
  });
}

void BasisMd4::Join() {
  if (!helper_.valid()) return;
  kept_ = helper_.get();
}

bool BasisMd4::Take(const ustring& path, const std::atomic<int>& abort, ustring& md4) {
  if (helper_.valid()) {
    // A pause or a removal of the session is not kept waiting for the rest
    // of the file: the helper gives up at its next chunk.
    while (helper_.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
      if (abort.load() != 0) stop_.store(1);
    }
    Join();
    if (abort.load() != 0) return false;
  }
  if (!kept_.held || !(kept_.path == path) || !kept_.identity.Same(FileIdentity::Of(path))) return false;
  md4 = kept_.md4;
  return true;
}

void BasisMd4::Reset() {
  if (helper_.valid()) {
    stop_.store(1);
    helper_.wait();
    helper_ = std::future<Kept>();
  }
  kept_ = Kept();
}
