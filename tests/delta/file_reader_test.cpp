// The reader and its handler fan-out: arguments, empty and chunk-sized
// inputs, aborts, and outputs that fail (a missing folder, a full device,
// a file-size limit that only the last write meets).
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>

#include "delta_fixture.h"

namespace {

using deltatest::FromHex;
using deltatest::RandomBytes;

const char kEmptyMd4[] = "31d6cfe0d16ae931b73c59d7e0c089c0";

class FileReaderTest : public testsupport::TempDirTest {
 protected:
  bool Exists(const std::string& rel) { return access(Path(rel).c_str(), F_OK) == 0; }
};

TEST_F(FileReaderTest, NoFileSetTouchesNoOutput) {
  SimpleFileReader reader;
  reader.setCopyFile(Path("copy").c_str());
  reader.setSignature(Path("sig").c_str(), 2048, 8);
  EXPECT_EQ(reader.readFile(), FileReader::ERROR_ARGUMENT);
  EXPECT_FALSE(Exists("copy"));
  EXPECT_FALSE(Exists("sig"));
}

TEST_F(FileReaderTest, MissingInputIsASystemCallError) {
  SimpleFileReader reader;
  reader.setFile(Path("absent").c_str());
  testing::internal::CaptureStderr();
  EXPECT_EQ(reader.readFile(), FileReader::ERROR_SYSTEM_CALL);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("CreateFile: Error Code 2\n"), std::string::npos);
}

// Every handler attached, over `data`: copy, MD4, signature, and a delta
// against the signature of `basis`.
struct AllOutputs {
  int result;
  ustring hash;
};

AllOutputs ReadAll(testsupport::TempDirTest& t, const std::string& file, const std::string& basis_sig,
                   std::atomic<int>* abort_flag = nullptr) {
  AllOutputs r{0, ustring("unchanged")};
  SimpleFileReader reader;
  reader.setFile(file.c_str());
  reader.setCopyFile((file + ".copy").c_str());
  reader.setHashString(r.hash);
  reader.setSignature((file + ".sig").c_str(), 2048, 8);
  reader.setDelta((file + ".delta").c_str(), basis_sig.c_str());
  reader.setAbortFlag(abort_flag);
  r.result = reader.readFile();
  (void)t;
  return r;
}

TEST_F(FileReaderTest, EmptyInputBeginsAndEndsEveryHandler) {
  WriteFile("basis", RandomBytes(5000, 1));
  ASSERT_EQ(deltatest::ReadSimple(Path("basis"), Path("basis.sig")), 0);
  WriteFile("in", "");
  const AllOutputs r = ReadAll(*this, Path("in"), Path("basis.sig"));
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(ReadFile("in.copy"), "");
  EXPECT_STREQ(r.hash.c_str_utf8(), kEmptyMd4);
  EXPECT_EQ(ReadFile("in.sig"), FromHex("72730136 00000800 00000008"));
  EXPECT_EQ(ReadFile("in.delta"), FromHex("72730236 00"));
}

TEST_F(FileReaderTest, InputOfWholeChunksEndsOnTheEmptyRead) {
  const std::string basis = RandomBytes(2u << 20, 2);
  std::string data = basis;
  data[12345] ^= 1;
  WriteFile("basis", basis);
  WriteFile("in", data);
  ASSERT_EQ(deltatest::ReadSimple(Path("basis"), Path("basis.sig")), 0);
  const AllOutputs r = ReadAll(*this, Path("in"), Path("basis.sig"));
  ASSERT_EQ(r.result, 0);
  EXPECT_TRUE(ReadFile("in.copy") == data);
  EXPECT_EQ(std::string(r.hash.c_str_utf8()), deltatest::OpensslMd4(Path("in")));
  deltatest::RdiffSignature(Path("in"), Path("rdiff.sig"));
  EXPECT_TRUE(ReadFile("in.sig") == ReadFile("rdiff.sig"));
  deltatest::RdiffPatch(Path("basis"), Path("in.delta"), Path("out"));
  EXPECT_TRUE(ReadFile("out") == data);
}

TEST_F(FileReaderTest, AbortBeforeTheFirstChunkLeavesUnfinishedOutputs) {
  WriteFile("basis", RandomBytes(5000, 3));
  ASSERT_EQ(deltatest::ReadSimple(Path("basis"), Path("basis.sig")), 0);
  WriteFile("in", RandomBytes(5000, 4));
  std::atomic<int> abort_flag{1};
  const AllOutputs r = ReadAll(*this, Path("in"), Path("basis.sig"), &abort_flag);
  EXPECT_EQ(r.result, FileReader::ERROR_ABORT);
  // Created and closed, but neither the signature nor the delta is finished,
  // and no digest of part of the input is handed out.
  EXPECT_EQ(ReadFile("in.copy"), "");
  EXPECT_EQ(ReadFile("in.sig"), FromHex("72730136 00000800 00000008"));
  EXPECT_EQ(ReadFile("in.delta"), FromHex("72730236"));
  EXPECT_STREQ(r.hash.c_str_utf8(), "unchanged");
}

TEST_F(FileReaderTest, TwoHandlersFailingInOneStepBothReport) {
  WriteFile("in", RandomBytes(100, 5));
  SimpleFileReader reader;
  reader.setFile(Path("in").c_str());
  reader.setCopyFile(Path("missing/copy").c_str());
  reader.setSignature(Path("missing/sig").c_str(), 2048, 8);
  testing::internal::CaptureStderr();
  EXPECT_EQ(reader.readFile(), FileReader::ERROR_HANDLER_CALL);
  const std::string err = testing::internal::GetCapturedStderr();
  const size_t first = err.find("CreateFile: Error Code 2");
  ASSERT_NE(first, std::string::npos) << err;
  EXPECT_NE(err.find("CreateFile: Error Code 2", first + 1), std::string::npos) << err;
}

TEST_F(FileReaderTest, OutputsOnAFullDevice) {
  WriteFile("in", RandomBytes(5000, 6));
  ASSERT_EQ(deltatest::ReadSimple(Path("in"), Path("in.sig")), 0);
  deltatest::RdiffDelta(Path("in.sig"), Path("in"), Path("in.delta"));
  const std::string full = "/dev/full";
  const struct {
    const char* name;
    std::function<int()> run;
    int result;
  } cases[] = {
      {"copy",
       [&] {
         SimpleFileReader r;
         r.setFile(Path("in").c_str());
         r.setCopyFile(full.c_str());
         return r.readFile();
       },
       FileReader::ERROR_HANDLER_CALL},
      {"signature", [&] { return deltatest::ReadSimple(Path("in"), full); }, FileReader::ERROR_HANDLER_CALL},
      {"delta", [&] { return deltatest::ReadSimple(Path("in"), "", full, Path("in.sig")); },
       FileReader::ERROR_HANDLER_CALL},
      {"rebuilt file", [&] { return deltatest::Patch(Path("in.delta"), Path("in"), full); },
       FileReader::ERROR_HANDLER_CALL},
      {"reverse delta",
       [&] { return deltatest::Patch(Path("in.delta"), Path("in"), Path("out"), nullptr, "", full); },
       FileReader::ERROR_SYSTEM_CALL},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.run(), c.result) << c.name;
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Error Code 28\n"), std::string::npos) << c.name;
  }
}

// Runs `fn` in a child whose files may not grow beyond `limit` bytes
// (SIGXFSZ ignored, so a write past it fails with EFBIG) and returns the
// reader result the child reports.
int ResultUnderFileSizeLimit(rlim_t limit, const std::function<int()>& fn) {
  const int status = testsupport::RunInChild(
      [&] {
        const struct rlimit rl = {limit, limit};
        if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &rl) != 0) return 100;
        return -fn();
      },
      false);
  return status >= 0 && status < 100 ? -status : 1000 + status;
}

TEST_F(FileReaderTest, FailureOfOnlyTheLastWriteIsReported) {
  // Only the final entry, the tail literal or the end command crosses the
  // limit: the reader must not report a finished output.
  WriteFile("in", RandomBytes(100, 7));
  WriteFile("basis", RandomBytes(5000, 8));
  ASSERT_EQ(deltatest::ReadSimple(Path("basis"), Path("basis.sig")), 0);
  WriteFile("empty", "");
  WriteFile("delta100", FromHex("72730236 41 64") + RandomBytes(100, 9) + FromHex("00"));
  const struct {
    const char* name;
    rlim_t limit;
    std::function<int()> run;
    size_t written;
  } cases[] = {
      {"signature entry", 12 + 1, [&] { return deltatest::ReadSimple(Path("in"), Path("out")); }, 13},
      {"delta tail literal", 4 + 1, [&] { return deltatest::ReadSimple(Path("in"), "", Path("out"), Path("basis.sig")); },
       5},
      {"delta end command", 4, [&] { return deltatest::ReadSimple(Path("empty"), "", Path("out"), Path("basis.sig")); },
       4},
      {"signature of a rebuilt file", 12 + 1,
       [&] {
         DeltaFileReader r;
         r.setFile(Path("delta100").c_str(), Path("basis").c_str());
         r.setSignature(Path("out").c_str(), 2048, 8);
         return r.readFile();
       },
       13},
      // A write cut short by the limit: the copy's byte count is checked.
      {"copy cut short", 1000,
       [&] {
         SimpleFileReader r;
         r.setFile(Path("basis").c_str());
         r.setCopyFile(Path("out").c_str());
         return r.readFile();
       },
       1000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ResultUnderFileSizeLimit(c.limit, c.run), FileReader::ERROR_HANDLER_CALL) << c.name;
    EXPECT_EQ(ReadFile("out").size(), c.written) << c.name;
  }
}

}  // namespace
