// ChangeSpool: changes of every kind come back as they went in, in order,
// from memory and from the temporary file beyond the memory part; a cleared
// spool starts empty.
#include "server/change_spool.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Text(const PObject& p) { return p.toString().c_str_utf8(); }

std::vector<PObject> Samples() {
  std::vector<PObject> out;
  out.emplace_back();                          // null
  out.emplace_back(0ULL);                      // integers, both ends
  out.emplace_back(~0ULL);
  out.emplace_back("");                        // strings
  out.emplace_back(std::string(70000, 'x'));  // longer than the wire's strings
  PObject change;
  change["path"] = "/d\xC3\xA9j\xC3\xA0/f";
  change["is_dir"] = 0;
  change["sync_id"] = 123456789012ULL;
  change["file"]["hash"] = "0123456789abcdef";
  change["file"]["size"] = 1000;
  change["list"].asArray().push_back(PObject("a"));
  change["list"].asArray().push_back(PObject());
  change["empty_map"].asMap();
  change["empty_list"].asArray();
  out.push_back(change);
  PObject binary;
  binary.asBinary().offset = 5;
  binary.asBinary().length = 9;
  binary.asBinary().path = "/tmp/x";
  out.push_back(binary);
  return out;
}

// Counts that stay in memory and counts that go through the file (3000
// rounds are several times ChangeSpool::kMemoryBytes).
TEST(ChangeSpool, ChangesComeBackInOrder) {
  for (int rounds : {1, 3000}) {
    SCOPED_TRACE(rounds);
    ChangeSpool spool;
    std::vector<std::string> want;
    for (int r = 0; r < rounds; ++r) {
      for (PObject v : Samples()) {
        if (r > 0 && v.isString() && v.asString().length() > 100) continue;  // one long string is enough
        if (v.isMap()) v["round"] = r;
        want.push_back(Text(v));
        ASSERT_EQ(0, spool.Append(v));
        EXPECT_TRUE(v.isNull());  // released once kept
      }
    }
    EXPECT_EQ(want.size(), spool.size());
    for (int pass = 0; pass < 2; ++pass) {  // read twice: Rewind starts over
      ASSERT_EQ(0, spool.Rewind());
      PObject got("stale");
      for (size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(1, spool.Next(got)) << i;
        ASSERT_EQ(want[i], Text(got)) << i;
      }
      EXPECT_EQ(0, spool.Next(got));
    }
    spool.Clear();
    EXPECT_EQ(0u, spool.size());
    ASSERT_EQ(0, spool.Rewind());
    PObject got;
    EXPECT_EQ(0, spool.Next(got));
    PObject again("again");
    ASSERT_EQ(0, spool.Append(again));
    ASSERT_EQ(0, spool.Rewind());
    ASSERT_EQ(1, spool.Next(got));
    EXPECT_EQ("\"again\"", Text(got));
  }
}

}  // namespace
