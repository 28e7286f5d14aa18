// Soak of the folder watcher: one thread makes, renames and removes files
// and folders in two sessions, another adds and removes watches, a third
// takes events out as a worker would, while the Detector runs. No data race
// (ThreadSanitizer stage), no descriptor left behind, and it kept reporting.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "detector_fixture.h"

namespace {

using detector_test::DetectorFixture;

size_t OpenDescriptors() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

class DetectorSoak : public DetectorFixture {};

TEST_F(DetectorSoak, ChurnWhileWatchesComeAndGo) {
  for (uint64_t id : {1, 2, 3}) ASSERT_NO_FATAL_FAILURE(AddSession(id));
  const size_t fds_before = OpenDescriptors();
  detector_ = std::make_unique<Detector>(nullptr);
  ASSERT_NO_FATAL_FAILURE(Watch(1));
  ASSERT_NO_FATAL_FAILURE(Watch(2));
  ASSERT_NO_FATAL_FAILURE(Start());

  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::atomic<bool> stop{false};
  std::atomic<int> taken{0};

  std::thread writer([&] {
    for (int i = 0; !stop; ++i) {
      const std::string s = "s" + std::to_string(1 + i % 2);
      const std::string d = s + "/d" + std::to_string(i % 7);
      std::error_code ec;
      std::filesystem::create_directories(Path(d + "/sub"), ec);
      Touch(d + "/sub/f" + std::to_string(i));
      std::filesystem::rename(Path(d + "/sub/f" + std::to_string(i)), Path(d + "/g" + std::to_string(i)),
                              ec);
      std::filesystem::rename(Path(d), Path(s + "/moved" + std::to_string(i % 5)), ec);
      if (i % 3 == 0) std::filesystem::remove_all(Path(s + "/moved" + std::to_string((i + 1) % 5)), ec);
      if (i % 11 == 0) std::filesystem::rename(Path(s + "/moved" + std::to_string(i % 5)),
                                               Path("outside/m" + std::to_string(i)), ec);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::thread watcher([&] {
    for (int i = 0; !stop; ++i) {
      EXPECT_EQ(0, detector_->AddWatch(Root(3).c_str(), 3));
      if (i % 4 == 0) {
        EXPECT_EQ(0, detector_->AddWatch(Root(2).c_str(), 2));  // replaces
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
      detector_->RemoveWatch(3);
    }
  });
  std::thread worker([&] {
    testsupport::RecordingTask task;
    Event ev;
    while (!stop) {
      if (EventManager::getInstance()->PullEvent(&task, ev) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      do {
        taken++;
      } while (EventManager::getInstance()->DoneEvent(&task, ev) == -1);
      (void)EventManager::getInstance()->GetAllPendingEventCount(1);
    }
  });

  std::this_thread::sleep_until(until);
  stop = true;
  writer.join();
  watcher.join();
  worker.join();
  StopDetector();
  detector_.reset();
  EXPECT_GT(taken.load(), 100);

  // The user interface's stand-in may still be reading its last message.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (OpenDescriptors() != fds_before && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(fds_before, OpenDescriptors());
}

}  // namespace
