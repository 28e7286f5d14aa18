// One FileEventDB used by four threads at once: writing with signature
// files, reading, listing and deleting. Every call must succeed and see
// whole records; at the end the signature folder holds exactly the
// signatures of the remaining file records.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "event_db_fixture.h"
#include "session/file_event_db.h"
#include "session/string_buffer.h"

namespace {

using event_db_test::EventDBTest;
using event_db_test::FileRecord;

constexpr int kFiles = 150;

std::string FilePath(int i) { return "/w/" + std::to_string(i); }

// Names of the regular files below `dir`, recursively, relative to it.
void ListFiles(const std::string& dir, const std::string& rel, std::set<std::string>& out) {
  DIR* d = opendir(dir.c_str());
  ASSERT_NE(nullptr, d) << dir;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (e->d_type == DT_DIR) {
      ListFiles(dir + "/" + name, rel + name + "/", out);
    } else {
      out.insert(rel + name);
    }
  }
  closedir(d);
}

class EventDBConcurrencyTest : public EventDBTest {};

TEST_F(EventDBConcurrencyTest, FourThreadsWriteReadListAndDelete) {
  Open();
  for (int i = 0; i < kFiles; ++i) WriteFile("sig" + std::to_string(i), "signature " + std::to_string(i));
  std::atomic<int> written{0};
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};

  std::thread writer([&] {
    for (int i = 0; i < kFiles; ++i) {
      DBFileInfo e = FileRecord(FilePath(i), i, i);
      e.fileSize = i;
      e.signaturePath = Path("sig" + std::to_string(i)).c_str();
      if (db.setEventInfo(e) != 0) ++failures;
      written = i + 1;
    }
  });
  std::thread reader([&] {
    for (int k = 0; !done; ++k) {
      int w = written.load();
      int i = w == 0 ? 0 : (k * 7) % w;
      DBFileInfo info;
      int r = db.getEventInfo(FilePath(i).c_str(), info);
      if (r < 0) ++failures;
      // A record is never seen half-written.
      if (r == 1 && (info.fileSize != static_cast<uint64_t>(i) || info.syncID != static_cast<uint64_t>(i))) {
        ++failures;
      }
    }
  });
  std::thread lister([&] {
    while (!done) {
      StringBuffer buf;
      FileList all(buf), one(buf);
      if (db.getFileList(&all, "/w") != 0 || db.getFileListWithoutRecursive(&one, "/w") != 0) ++failures;
      for (auto it = one.rbegin(); it != one.rend(); ++it) {
        if (it->is_dir() || std::to_string(it->attr.size) != it->path.c_str_utf8() + 1) ++failures;
      }
    }
  });
  std::thread deleter([&] {
    // Removes every third file once it has been written.
    for (int i = 0; i < kFiles; i += 3) {
      while (written.load() <= i) std::this_thread::yield();
      if (db.rmEventInfo(FilePath(i).c_str()) != 0) ++failures;
    }
  });
  writer.join();
  deleter.join();
  done = true;
  reader.join();
  lister.join();
  EXPECT_EQ(0, failures.load());

  // Exactly the files not removed are left, each with its own signature.
  std::set<std::string> expected_signatures;
  for (int i = 0; i < kFiles; ++i) {
    DBFileInfo info;
    int r = db.getEventInfo(FilePath(i).c_str(), info);
    EXPECT_EQ(i % 3 == 0 ? 0 : 1, r) << i;
    if (r == 1) {
      EXPECT_EQ("signature " + std::to_string(i), ReadFile(info.signaturePath.c_str_utf8() + Path().size() + 1));
      expected_signatures.insert(info.signaturePath.c_str_utf8() + Sign("").size());
    }
  }
  std::set<std::string> on_disk;
  ListFiles(Sign(""), "", on_disk);
  EXPECT_EQ(expected_signatures, on_disk);
  EXPECT_EQ("ok\n", Shell("PRAGMA integrity_check;"));
}

}  // namespace
