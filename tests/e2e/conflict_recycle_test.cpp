// Both sides changed while the session was paused, and server removals
// that go to the recycle folder and come back from it (also while a link has
// taken the recycle or working folder's place).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "e2e_fixture.h"

namespace e2e {
namespace {

class Conflicts : public E2eTest {
 protected:
  // Both sides hold `rel` with `bytes`, synced.
  void Synced(SyncBed& bed, const std::string& rel, const std::string& bytes) { bed.WriteLocal(rel, bytes); }

  std::string ShaAt(SyncBed& bed, const std::string& rel) {
    const auto tree = bed.LocalTree();
    auto it = tree.find(rel);
    return it == tree.end() ? std::string() : it->second.sha256;
  }
};

// Each pair of changes made while paused, resolved at resume.
TEST_F(Conflicts, BothSidesChangedWhilePaused) {
  SyncBed& bed = Bed();
  ASSERT_TRUE(started_);
  const std::string& pc = bed.options().computer_name;
  bed.WriteLocal("/a.txt", "a: first");
  bed.WriteLocal("/b.txt", "b: first");
  bed.WriteLocal("/c.txt", "c: first");
  ASSERT_TRUE(bed.WaitConverged());
  ASSERT_TRUE(bed.Action("pause").hasMember("ack"));
  // (a) edit against edit.
  bed.WriteLocal("/a.txt", "a: the local edit", time(nullptr) + 10);
  bed.PutServer("/a.txt", "a: the server's edit");
  // (b) local edit against server delete.
  bed.WriteLocal("/b.txt", "b: the local edit", time(nullptr) + 10);
  bed.server().Remove("/b.txt");
  // (c) local delete against server edit.
  ASSERT_EQ(0, unlink(bed.local("/c.txt").c_str()));
  bed.PutServer("/c.txt", "c: the server's edit");
  // (d) a local folder with an unsynced file against a server file.
  bed.WriteLocal("/d/x.txt", "d: never synced");
  bed.PutServer("/d", "d: a file on the server");
  // (e) names the server cannot hold.
  bed.WriteLocal("/e ", "e: a blank at the end");
  bed.WriteLocal("/f.", "f: a dot at the end");
  ASSERT_TRUE(bed.Action("resume").hasMember("ack"));
  ASSERT_TRUE(bed.WaitConverged(90s));
  const auto tree = bed.LocalTree();

  EXPECT_EQ(testsupport::Sha256Hex("a: the server's edit"), ShaAt(bed, "/a.txt"));
  const std::string a = ConflictOf(bed, "a.txt");
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(testsupport::Sha256Hex("a: the local edit"), ShaAt(bed, "/" + a));

  // The edit survives on both sides (converged): at its name when the
  // pending local change absorbed the server's delete (a local change
  // outlives a server delete), else under a conflict name when the delete
  // met a file already edited.
  const std::string b = ConflictOf(bed, "b.txt");
  EXPECT_EQ(testsupport::Sha256Hex("b: the local edit"), ShaAt(bed, b.empty() ? "/b.txt" : "/" + b));

  EXPECT_EQ(testsupport::Sha256Hex("c: the server's edit"), ShaAt(bed, "/c.txt"));

  EXPECT_EQ(testsupport::Sha256Hex("d: a file on the server"), ShaAt(bed, "/d"));
  const std::string d = ConflictOf(bed, "d");
  ASSERT_FALSE(d.empty()) << "the folder is set aside";
  EXPECT_EQ(testsupport::Sha256Hex("d: never synced"), ShaAt(bed, "/" + d + "/x.txt"));

  EXPECT_EQ(testsupport::Sha256Hex("e: a blank at the end"), ShaAt(bed, "/e"));
  EXPECT_EQ(0u, tree.count("/e "));
  EXPECT_EQ(0u, tree.count("/f."));
  std::string f;
  for (const std::string& name : Names(tree)) {
    if (name.rfind("f._" + pc + "_", 0) == 0 && name.find("_TailCharacterConflict") != std::string::npos) f = name;
  }
  ASSERT_FALSE(f.empty()) << "f. under a tail-character conflict name";
  EXPECT_EQ(testsupport::Sha256Hex("f: a dot at the end"), ShaAt(bed, "/" + f));
  bed.Finish();
}

// ---------------------------------------- server removals and the recycle folder

TEST_F(E2eTest, ServerRemovalsRecycledThenRestored) {
  SyncBed& bed = Bed();
  ASSERT_TRUE(started_);
  const std::string file_bytes = RandomBytes(70000, 61);
  const std::string folder_bytes = RandomBytes(50000, 62);
  bed.WriteLocal("/gone.bin", file_bytes);
  bed.WriteLocal("/gonedir/inner.bin", folder_bytes);
  ASSERT_TRUE(bed.WaitConverged());
  const auto stored = bed.server().Get("/gone.bin");
  ASSERT_TRUE(stored.has_value());

  const size_t mark = bed.ui().messages().size();
  bed.server().Remove("/gone.bin");
  bed.server().Remove("/gonedir");
  ASSERT_TRUE(bed.WaitConverged());
  // Both contents lie in the recycle folder, each below a folder of eight
  // characters, with a row each.
  const std::string recycle = "/.ZarqelonWorkingDirectory/#ZarqRecycle/";
  std::set<std::string> recycled;
  const testsupport::TreeSnapshot whole = testsupport::TreeSnapshot::Take(bed.local());
  for (const auto& [path, e] : whole.entries()) {
    if (e.type != 'f' || path.rfind(recycle, 0) != 0) continue;
    const std::string rest = path.substr(recycle.size());
    EXPECT_TRUE(rest.size() == 8 || rest.find('/') == 8) << path;
    recycled.insert(e.sha256);
  }
  EXPECT_EQ(1u, recycled.count(testsupport::Sha256Hex(file_bytes)));
  EXPECT_EQ(1u, recycled.count(testsupport::Sha256Hex(folder_bytes)));
  const json rows = SyncBed::Query(bed.event_db_path(), "SELECT path, fileCheckSum FROM recycle_bin_table;");
  ASSERT_TRUE(rows.is_array());
  bool row_of_file = false;
  for (const json& r : rows) row_of_file = row_of_file || r.value("fileCheckSum", "") == stored->md4;
  EXPECT_TRUE(row_of_file) << rows.dump();
  bool removal_notice = false;
  const std::vector<PObject> all = bed.ui().messages();
  for (size_t i = mark; i < all.size(); ++i) {
    removal_notice = removal_notice || (all[i].hasMember("notify") && all[i]["notify"].asString() == "recent_file" &&
                                        all[i]["path"].asString() == "/gone.bin" && all[i]["event_type"].asInt64() == 2);
  }
  EXPECT_TRUE(removal_notice);

  // The same content at another path comes back from the recycle folder.
  bed.PutServer("/elsewhere/back.bin", file_bytes);
  ASSERT_TRUE(bed.WaitConverged());
  EXPECT_EQ(0u, DownloadBodyBytes(bed, "/elsewhere/back.bin")) << "restored, not downloaded";
  const json after = SyncBed::Query(bed.event_db_path(), "SELECT path, fileCheckSum FROM recycle_bin_table;");
  ASSERT_TRUE(after.is_array());
  for (const json& r : after) EXPECT_NE(stored->md4, r.value("fileCheckSum", "")) << "its row is gone";
  bed.Finish();
}


// The recycle folder, then the whole working folder, swapped for a link to
// a folder beside the sync folder while the daemon runs: a server removal
// must not put the file's bytes in that folder, nor make a recycle folder
// there. The user interface hears of it, the folder is real again, and the
// removed file's bytes are in the real recycle folder.
TEST_F(E2eTest, LinkedRecycleFoldersLeadNowhere) {
  SyncBed& bed = Bed();
  ASSERT_TRUE(started_);
  int round = 0;
  for (const std::string rel : {"/.ZarqelonWorkingDirectory/#ZarqRecycle", "/.ZarqelonWorkingDirectory"}) {
    SCOPED_TRACE(rel);
    const std::string name = "/linked" + std::to_string(++round) + ".bin";
    const std::string bytes = RandomBytes(40000, 70 + round);
    bed.WriteLocal(name, bytes);
    ASSERT_TRUE(bed.WaitConverged());
    const std::string outside = bed.local() + "-outside" + std::to_string(round);
    ASSERT_EQ(0, mkdir(outside.c_str(), 0700));
    {
      std::ofstream canary(outside + "/canary");
      canary << "the user's own file";
    }
    const std::string link = bed.local() + "-link" + std::to_string(round);
    ASSERT_EQ(0, symlink(outside.c_str(), link.c_str()));
    const testsupport::TreeSnapshot before = testsupport::TreeSnapshot::Take(outside);
    const size_t errors = bed.Notifications("error").size();
    // One atomic swap: the real folder takes the link's name, the link the
    // folder's.
    ASSERT_EQ(0, renameat2(AT_FDCWD, link.c_str(), AT_FDCWD, bed.local(rel).c_str(), RENAME_EXCHANGE));
    bed.server().Remove(name);
    ASSERT_TRUE(bed.WaitConverged());

    const testsupport::TreeSnapshot after = testsupport::TreeSnapshot::Take(outside);
    EXPECT_EQ(before, after) << after.Diff(before);
    EXPECT_GT(bed.Notifications("error").size(), errors);
    for (const std::string f : {"/.ZarqelonWorkingDirectory", "/.ZarqelonWorkingDirectory/#ZarqRecycle"}) {
      struct stat st;
      ASSERT_EQ(0, lstat(bed.local(f).c_str(), &st)) << f;
      EXPECT_TRUE(S_ISDIR(st.st_mode)) << f << " is not a real folder";
    }
    bool recycled = false;
    const testsupport::TreeSnapshot working = testsupport::TreeSnapshot::Take(bed.local("/.ZarqelonWorkingDirectory"));
    for (const auto& [path, e] : working.entries()) {
      recycled = recycled || e.sha256 == testsupport::Sha256Hex(bytes);
    }
    EXPECT_TRUE(recycled) << "the removed file is in the real recycle folder";
  }
  bed.Finish();
}

}  // namespace
}  // namespace e2e
