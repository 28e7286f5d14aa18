#include "session/shared_pointer.h"

#include <gtest/gtest.h>

namespace {

// Counts live objects; an ASan build also reports a counter block that is
// never freed (a leak) or freed twice.
struct Counted {
  static int live;
  explicit Counted(int v = 0) : value(v) { ++live; }
  ~Counted() { --live; }
  int value;
};
int Counted::live = 0;

class SharedPointerTest : public ::testing::Test {
 protected:
  void SetUp() override { Counted::live = 0; }
};

TEST_F(SharedPointerTest, EmptyPointerHasNoObject) {
  shared_pointer<Counted> p;
  EXPECT_FALSE(p);
  EXPECT_TRUE(p == nullptr);
  shared_pointer<Counted> q(p);  // copying an empty one shares its block
  q = p;
  EXPECT_FALSE(q);
  EXPECT_EQ(0, Counted::live);
}

TEST_F(SharedPointerTest, LastCopyDeletesTheObject) {
  {
    shared_pointer<Counted> a;
    a = new Counted(5);
    EXPECT_TRUE(a);
    {
      shared_pointer<Counted> b(a);
      shared_pointer<Counted> c;
      c = b;
      EXPECT_TRUE(a == b);
      EXPECT_TRUE(c == a);
      EXPECT_EQ(5, c->value);
      EXPECT_EQ(5, (*b).value);
      c->value = 6;
      EXPECT_EQ(6, a->value);
    }
    EXPECT_EQ(1, Counted::live);  // a still holds it
  }
  EXPECT_EQ(0, Counted::live);
}

TEST_F(SharedPointerTest, AssignmentsReleaseTheHeldReference) {
  shared_pointer<Counted> a;
  a = new Counted(1);
  shared_pointer<Counted> b;
  b = new Counted(2);
  EXPECT_TRUE(a != b);
  EXPECT_EQ(2, Counted::live);

  a = b;  // the first object had no other holder
  EXPECT_EQ(1, Counted::live);
  EXPECT_EQ(2, a->value);

  a = new Counted(3);  // b still holds the second object
  EXPECT_EQ(2, Counted::live);
  EXPECT_EQ(2, b->value);

  b = nullptr;
  EXPECT_EQ(1, Counted::live);
  EXPECT_FALSE(b);

  shared_pointer<Counted>& alias = a;
  a = alias;  // self-assignment changes nothing
  EXPECT_EQ(3, a->value);
  EXPECT_EQ(1, Counted::live);
}

// An object that holds the next one, as a chain.
struct Link {
  static int live;
  Link() { ++live; }
  ~Link() { --live; }
  shared_pointer<Link> next;
  int value = 0;
};
int Link::live = 0;

TEST_F(SharedPointerTest, AssigningFromInsideTheReleasedObject) {
  // p = p->next on the last reference: releasing p deletes the object that
  // holds the source. The source must be taken first (ASan sees a
  // use-after-free otherwise).
  shared_pointer<Link> p;
  p = new Link;
  p->value = 1;
  p->next = new Link;
  p->next->value = 2;
  p = p->next;
  EXPECT_EQ(2, p->value);
  EXPECT_EQ(1, Link::live);
  p = shared_pointer<Link>();
  EXPECT_EQ(0, Link::live);
}

}  // namespace
