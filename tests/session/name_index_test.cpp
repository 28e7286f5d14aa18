#include "session/name_index.h"

#include <gtest/gtest.h>

#include <list>
#include <map>
#include <random>
#include <string>

namespace {

// "n<k>", spelled out: "n" + std::to_string(k) trips a false -Wrestrict of
// g++ 12 at -O3.
std::string Name(unsigned k) {
  std::string s = std::to_string(k);
  s.insert(s.begin(), 'n');
  return s;
}

using List = std::list<std::string>;
struct NameOf {
  std::string_view operator()(const List::iterator& it) const { return *it; }
};
using Index = NameIndex<List::iterator, NameOf>;

TEST(NameIndexTest, EmptyIndexFindsNothing) {
  Index index;
  EXPECT_EQ(nullptr, index.find("a"));
  EXPECT_FALSE(index.erase("a"));
  EXPECT_EQ(0u, index.size());
}

TEST(NameIndexTest, RandomInsertsAndErasesAgainstAMap) {
  // Many names in few slots: long probe runs, wrap-around at the end of
  // the table, growth and shrinking, and erasures inside runs.
  std::mt19937 rng(11);
  List names;
  Index index;
  std::map<std::string, List::iterator> oracle;
  for (int step = 0; step < 60000; ++step) {
    std::string name = Name(rng() % 3000);
    bool grow_phase = (step / 15000) % 2 == 0;
    if (oracle.count(name) == 0 && (grow_phase || rng() % 4 == 0)) {
      names.push_back(name);
      index.insert(std::prev(names.end()));
      oracle[name] = std::prev(names.end());
    } else if (oracle.count(name) != 0) {
      List::iterator it = oracle[name];
      ASSERT_TRUE(index.erase(name));
      names.erase(it);
      oracle.erase(name);
    } else {
      ASSERT_FALSE(index.erase(name));
    }
    ASSERT_EQ(oracle.size(), index.size());
    if (step % 997 == 0) {
      for (int k = 0; k < 3000; ++k) {
        std::string probe = Name(static_cast<unsigned>(k));
        const List::iterator* found = index.find(probe);
        auto expected = oracle.find(probe);
        if (expected == oracle.end()) {
          ASSERT_EQ(nullptr, found) << probe;
        } else {
          ASSERT_NE(nullptr, found) << probe;
          ASSERT_EQ(expected->second, *found) << probe;
        }
      }
    }
  }
}

TEST(NameIndexTest, NamesDifferingOnlyPastAnyPrefixAreDistinct) {
  List names = {std::string(5000, 'x') + "1", std::string(5000, 'x') + "2", ""};
  Index index;
  for (auto it = names.begin(); it != names.end(); ++it) index.insert(it);
  for (auto it = names.begin(); it != names.end(); ++it) {
    ASSERT_NE(nullptr, index.find(*it));
    EXPECT_EQ(it, *index.find(*it));
  }
  EXPECT_EQ(nullptr, index.find(std::string(5000, 'x')));
}

}  // namespace
