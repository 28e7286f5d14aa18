// BasisMd4: the MD4 of a download's basis (the local file at the event's
// path), read once before the server is asked and kept with the file's
// identity at that read. The conflict test after the transfer takes it while
// the file is provably the one that was read, instead of reading the whole
// file again; any change since (a save, a rename over it, a touch) shows in
// the identity and the test reads the file anew.
//
// Owned by the worker and called on the worker's thread only. A hash begun
// with Start() runs on a helper thread of its own while the server answers;
// Take() and Reset() wait for it, and Reset() (also run by the destructor)
// stops it first, so no helper outlives the download that started it.
#ifndef WORKER_BASIS_MD4_H_
#define WORKER_BASIS_MD4_H_

#include <atomic>
#include <cstdint>
#include <future>

#include "foundation/file_identity.h"
#include "foundation/ustring.h"

class BasisMd4 {
 public:
  // The moment a read of a file began: the kernel's coarse wall clock (the
  // clock it stamps file changes with), then the file's identity.
  struct ReadStart {
    FileIdentity identity;
    int64_t clock_ns = 0;
  };
  static ReadStart Begin(const ustring& path);

  BasisMd4() = default;
  ~BasisMd4() { Reset(); }
  BasisMd4(const BasisMd4&) = delete;
  BasisMd4& operator=(const BasisMd4&) = delete;

  // Keeps `md4`, the digest of `path` read completely since `start`. Kept
  // only when the identity after the read is the one before it and the
  // file's last change (ctime) lies before `start`: a write in the same
  // clock tick as an earlier change would leave the identity as it was.
  // Replaces whatever was kept or running.
  void Keep(const ustring& path, const ReadStart& start, const ustring& md4);
  // Hashes `path` on a helper thread, kept under the same rule as Keep.
  // Replaces whatever was kept or running.
  void Start(const ustring& path);
  // Whether an MD4 is kept or being computed.
  bool Held() const { return kept_.held || helper_.valid(); }
  // True with `md4` when an MD4 of `path` is kept and the file's identity
  // now is the one it was read with. Waits for a running helper; when
  // `abort` is raised meanwhile the helper stops and nothing is taken.
  bool Take(const ustring& path, const std::atomic<int>& abort, ustring& md4);
  // Forgets what was kept, stopping and joining a running helper.
  void Reset();

 private:
  struct Kept {
    bool held = false;
    ustring path;
    FileIdentity identity;
    ustring md4;
  };
  // `md4` of `path` read since `start`, or nothing when the rule fails.
  static Kept Settled(const ustring& path, const ReadStart& start, const ustring& md4);
  // Collects a finished helper's result into kept_.
  void Join();

  Kept kept_;
  std::future<Kept> helper_;
  std::atomic<int> stop_{0};  // 1 tells the helper's reader to give up
};

#endif  // WORKER_BASIS_MD4_H_
