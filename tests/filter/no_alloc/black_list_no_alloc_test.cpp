// The worker tests every event against two black lists: a test must not
// touch the heap. A replaced global operator new counts allocations made
// while counting is on. Built as its own executable so the replacement does
// not reach the other tests.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "filter/black_list2.h"
#include "filter/white_list_cpp.h"
#include "support/temp_dir.h"

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
}  // namespace

void* operator new(size_t size) {
  if (g_counting.load()) g_allocations.fetch_add(1);
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) { return operator new(size); }
// g++ flags free() inside a replaced operator delete as a mismatch with the
// new-expression it sees inlined; the replacement pair is consistent.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

class NoAllocTest : public testsupport::TempDirTest {
 protected:
  long CountWhile(const std::function<void()>& f) {
    g_allocations = 0;
    g_counting = true;
    f();
    g_counting = false;
    return g_allocations.load();
  }
};

TEST_F(NoAllocTest, CounterSeesAllocations) {
  int* leak_check = nullptr;
  EXPECT_EQ(1, CountWhile([&] { leak_check = new int(1); }));
  delete leak_check;
}

TEST_F(NoAllocTest, BlackListTestsAllocateNothing) {
  WriteFile("rules.filter",
            "[Common]\nblack_char = \"\\\\:*?\\\"<>|\"\nblack_prefix = \"~$\", \".~lock\"\n"
            "black_dir_prefix = \"/tmp\"\nblack_name = \"Thumbs.db\", \"desktop.ini\"\n"
            "black_path_prefix_selective_sync = \"/big\"\nmax_length = 255\nmax_path = 4096\n"
            "[File]\nblack_ext = \"tmp\", \"part\"\nblack_name = \"core\"\nmax_size = 1000\n"
            "[Directory]\nblack_name = \"$RECYCLE.BIN\"\nblack_prefix = \"@eaDir\"\n");
  WriteFile("white.filter", "[File]\nwhite_ext = \"jpg\", \"png\"\n");
  BlackList2 list;
  WhiteListCpp white;
  ASSERT_EQ(0, list.Load(Path("rules.filter")));
  ASSERT_EQ(0, white.Load(Path("white.filter")));
  const ustring paths[] = {"/a/b/c/d/e/f/g/h/i/j/report.pdf", "/tmp/x", "/a/~$doc", "/" + std::string(600, 'x') + "/f",
                           "/big/a.iso", "/a/@eaDir/b", "relative", "/"};
  const ustring name = "photo.JPG";
  volatile int sink = 0;
  EXPECT_EQ(0, CountWhile([&] {
              for (const ustring& p : paths) {
                sink = sink + list.TestFilePath(p) + list.TestDirectoryPath(p);
              }
              sink = sink + list.TestFileSize(5000) + list.TestFullPathSize(5000) + white.Test(name);
            }));
}

}  // namespace
