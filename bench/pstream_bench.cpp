// PStream over a Channel on a socketpair whose other end a second thread
// drains or feeds: a typical request sent, a pull reply of 100 events
// received, and a 64 MiB file body each way, against a plain read+send loop
// of the same body.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "protocol/pobject.h"
#include "protocol/proto_common.h"
#include "protocol/pstream.h"
#include "transport/channel.h"

namespace {

constexpr size_t kCapacity = 81920;
constexpr uint64_t kBodySize = 64ull << 20;

// A temporary folder with a 64 MiB file of varied bytes, removed at exit.
struct Files {
  std::string dir;
  std::string body;
  Files() {
    char tmpl[] = "/tmp/pstream-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    dir = tmpl;
    body = dir + "/body";
    FILE* fp = std::fopen(body.c_str(), "we");
    if (fp == nullptr) std::abort();
    std::vector<char> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 + 7);
    for (uint64_t done = 0; done < kBodySize; done += chunk.size()) {
      if (std::fwrite(chunk.data(), 1, chunk.size(), fp) != chunk.size()) std::abort();
    }
    if (std::fclose(fp) != 0) std::abort();
  }
  ~Files() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};
Files g_files;

// A Channel on one end of a socketpair; a thread drains the other end, or
// feeds it `feed` again and again, until the channel closes.
class Pipe {
 public:
  explicit Pipe(const std::string* feed = nullptr) : ch(kCapacity) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    far_ = fds[1];
    if (ch.Open(fds[0], true) != ERR_OK) std::abort();
    thread_ = std::thread([this, feed] {
      std::vector<char> buf(1 << 20);
      if (feed == nullptr) {
        while (recv(far_, buf.data(), buf.size(), 0) > 0) {
        }
        return;
      }
      for (;;) {
        size_t off = 0;
        while (off < feed->size()) {
          ssize_t n = send(far_, feed->data() + off, feed->size() - off, MSG_NOSIGNAL);
          if (n <= 0) return;
          off += static_cast<size_t>(n);
        }
      }
    });
  }
  ~Pipe() {
    // Ends the drain thread; a benchmark has nothing left to flush.
    (void)ch.Close();
    thread_.join();
    close(far_);
  }

  Channel ch;

 private:
  int far_ = -1;
  std::thread thread_;
};

PObject UploadRequest() {
  PObject r;
  InitRequest(r, "upload");
  r["session"] = "4f1c2a9e7b3d45c0a1e2f3b4c5d6e7f8";
  r["view_id"] = 1234567;
  PObject& file = r["file"];
  file["path"] = "/Documents/projects/2024/report-final.odt";
  file["size"] = 734003ull;
  file["mtime"] = 1709820309;
  file["hash"] = "9e107d9d372bb6826bd81d3542a419d6";
  file["type"] = 0;
  file["sync_id"] = 88123;
  file["exec"] = false;
  r["mac_attribute"]["size"] = 0;
  r["dry_run"] = true;
  return r;
}

// The wire bytes of `obj`.
std::string Encode(const PObject& obj) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
  std::string out;
  std::thread reader([&] {
    char buf[65536];
    ssize_t n;
    while ((n = recv(fds[1], buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
  });
  {
    Channel ch(kCapacity);
    if (ch.Open(fds[0], true) != ERR_OK) std::abort();
    PStream stream;
    if (stream.Send(ch, obj) != PStream::Code::kOk) std::abort();
  }
  reader.join();
  close(fds[1]);
  return out;
}

PObject PullReply(int events) {
  PObject reply;
  reply["type"] = "response";
  reply["max_sync_id"] = 900000;
  PObject::array_type& list = reply["events"].asArray();
  for (int i = 0; i < events; ++i) {
    PObject e;
    e["sync_id"] = 800000 + i;
    e["type"] = "create";
    e["path"] = ("/Photos/2023/trip/IMG_" + std::to_string(4000 + i) + ".JPG").c_str();
    e["size"] = 3145728 + i;
    e["mtime"] = 1690000000 + i;
    e["hash"] = "d41d8cd98f00b204e9800998ecf8427e";
    e["is_dir"] = false;
    e["exec"] = false;
    list.push_back(e);
  }
  return reply;
}

void BM_SendRequest(benchmark::State& state) {
  const PObject request = UploadRequest();
  const size_t bytes = Encode(request).size();
  Pipe pipe;
  PStream stream;
  for (auto _ : state) {
    if (ProtoWriteHeader(pipe.ch, 0, SCMD_EVT_RECV_4) != ERR_OK ||
        stream.Send(pipe.ch, request) != PStream::Code::kOk) {
      state.SkipWithError("send failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (bytes + 8)));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SendRequest);

void BM_RecvPullReply(benchmark::State& state) {
  const std::string wire = Encode(PullReply(static_cast<int>(state.range(0))));
  Pipe pipe(&wire);
  PStream stream;
  for (auto _ : state) {
    PObject reply;
    if (stream.Recv(pipe.ch, reply) != PStream::Code::kOk) {
      state.SkipWithError("recv failed");
      break;
    }
    benchmark::DoNotOptimize(reply);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecvPullReply)->Arg(1)->Arg(100);

void BM_BuildAndCopyRequest(benchmark::State& state) {
  for (auto _ : state) {
    PObject r = UploadRequest();
    PObject copy = r;
    benchmark::DoNotOptimize(copy);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildAndCopyRequest);

void BM_SendBody(benchmark::State& state) {
  PObject msg;
  PObject::binary_type& b = msg["file"]["data"].asBinary();
  b.path = g_files.body.c_str();
  b.length = kBodySize;
  Pipe pipe;
  PStream stream;
  for (auto _ : state) {
    if (stream.Send(pipe.ch, msg) != PStream::Code::kOk) {
      state.SkipWithError("send failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodySize));
}
BENCHMARK(BM_SendBody)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor for BM_SendBody: the same file read in the same pieces and
// sent straight to the socket.
void BM_SendBodyPlainLoop(benchmark::State& state) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
  std::thread drain([&] {
    std::vector<char> buf(1 << 20);
    while (recv(fds[1], buf.data(), buf.size(), 0) > 0) {
    }
  });
  std::vector<char> buf(kCapacity);
  for (auto _ : state) {
    int fd = open(g_files.body.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t n;
    while ((n = read(fd, buf.data(), buf.size())) > 0) {
      ssize_t off = 0;
      while (off < n) {
        ssize_t w = send(fds[0], buf.data() + off, static_cast<size_t>(n - off), MSG_NOSIGNAL);
        if (w <= 0) std::abort();
        off += w;
      }
    }
    close(fd);
  }
  shutdown(fds[0], SHUT_RDWR);
  drain.join();
  close(fds[0]);
  close(fds[1]);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodySize));
}
BENCHMARK(BM_SendBodyPlainLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RecvBody(benchmark::State& state) {
  // One message with a 16 MiB body, written into a file each time.
  const uint64_t size = 16ull << 20;
  std::string wire = {0x30};
  for (int i = 7; i >= 0; --i) wire += static_cast<char>(size >> (8 * i));
  wire += std::string(size, 'x');
  Pipe pipe(&wire);
  PStream stream;
  const std::string target = g_files.dir + "/received";
  for (auto _ : state) {
    PObject reply;
    PObject::binary_type& b = reply.asBinary();
    b.path = target.c_str();
    if (stream.Recv(pipe.ch, reply) != PStream::Code::kOk) {
      state.SkipWithError("recv failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_RecvBody)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
