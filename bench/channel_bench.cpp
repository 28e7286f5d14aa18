// Channel throughput against the raw socket and raw OpenSSL calls it wraps,
// and the cost of one TLS conversion.
//
// Each throughput case moves 1 GiB (rounded up to whole blocks) over a loopback TCP connection in 80 KiB
// blocks, written on the benchmark thread and read on a second thread.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "transport/channel.h"

namespace {

constexpr size_t kCapacity = 81920;
constexpr size_t kBlock = 81920;
// 1 GiB rounded up to whole blocks.
constexpr size_t kBlocks = ((size_t{1} << 30) + kBlock - 1) / kBlock;
constexpr size_t kTotal = kBlocks * kBlock;

std::string Pki(const char* name) { return std::string(PKI_DIR) + "/" + name; }

// Two ends of one loopback TCP connection (blocking).
struct Pair {
  int a = -1, b = -1;
  Pair() {
    int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (l < 0 || bind(l, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(l, 1) != 0 ||
        getsockname(l, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
      std::perror("listener");
      std::abort();
    }
    a = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(a, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      std::perror("connect");
      std::abort();
    }
    b = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    close(l);
  }
  ~Pair() {
    if (a >= 0) close(a);
    if (b >= 0) close(b);
  }
};

void SetUpProcess() {
  // OpenSSL writes without MSG_NOSIGNAL.
  std::signal(SIGPIPE, SIG_IGN);
  Channel::SetCERTPath(Pki("srv.pem"));
  Channel::SetPriKeyPath(Pki("srv.key"));
  Channel::SetVerifyCAPath(ustring(Pki("ca.pem").c_str()));
}

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Each transfer moves kTotal bytes from a writer on this thread to a reader
// thread and returns the seconds it took (set-up and teardown excluded), or
// a negative value when it failed.

double RawSocketTransfer() {
  Pair p;
  std::string block(kBlock, 'x');
  bool ok = true;
  auto start = Clock::now();
  std::thread reader([&] {
    std::string buf(kBlock, '\0');
    for (size_t left = kTotal; left > 0;) {
      ssize_t n = recv(p.b, &buf[0], std::min(left, kBlock), 0);
      if (n <= 0) return;
      left -= static_cast<size_t>(n);
    }
  });
  for (size_t i = 0; i < kBlocks && ok; ++i) {
    for (size_t off = 0; off < kBlock;) {
      ssize_t n = send(p.a, block.data() + off, kBlock - off, MSG_NOSIGNAL);
      if (n <= 0) {
        ok = false;
        break;
      }
      off += static_cast<size_t>(n);
    }
  }
  if (!ok) shutdown(p.a, SHUT_RDWR);
  reader.join();
  return ok ? Since(start) : -1;
}

// `tls`: both channels convert first (server mode on the reader's side).
double ChannelTransfer(bool tls) {
  Pair p;
  std::string block(kBlock, 'x');
  Channel writer(kCapacity), reader_ch(kCapacity);
  bool ok =
      writer.Open(std::exchange(p.a, -1), true) == ERR_OK && reader_ch.Open(std::exchange(p.b, -1), true) == ERR_OK;
  if (ok && tls) {
    writer.SetAllowUntrust(false);
    writer.SetSSLHostname(ustring("server.test"));
    ErrorCode server_rc = ERR_MAX;  // no code: not run
    std::thread server([&] { server_rc = reader_ch.ConvertToSSLChannel(true); });
    ok = writer.ConvertToSSLChannel(false) == ERR_OK;
    server.join();
    ok = ok && server_rc == ERR_OK;
  }
  if (!ok) return -1;
  auto start = Clock::now();
  std::thread reader([&] {
    std::string buf(kBlock, '\0');
    for (size_t i = 0; i < kBlocks; ++i) {
      if (reader_ch.Read(&buf[0], kBlock) != ERR_OK) return;
    }
  });
  for (size_t i = 0; i < kBlocks && ok; ++i) {
    ok = writer.Write(block.data(), kBlock) == ERR_OK && writer.FlushWrite(0) == ERR_OK;
  }
  reader.join();
  double took = Since(start);
  return ok ? took : -1;
}

// A TLS pair made with OpenSSL alone: blocking sockets, the same test
// certificate, default protocol and ciphers.
struct RawTls {
  SSL_CTX* server_ctx = SSL_CTX_new(TLS_server_method());
  SSL_CTX* client_ctx = SSL_CTX_new(TLS_client_method());
  SSL* server = nullptr;
  SSL* client = nullptr;
  bool ok = false;

  explicit RawTls(const Pair& p) {
    if (SSL_CTX_use_certificate_chain_file(server_ctx, Pki("srv.pem").c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(server_ctx, Pki("srv.key").c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_load_verify_locations(client_ctx, Pki("ca.pem").c_str(), nullptr) != 1) {
      return;
    }
    server = SSL_new(server_ctx);
    client = SSL_new(client_ctx);
    SSL_set_fd(server, p.b);
    SSL_set_fd(client, p.a);
    int server_rc = 0;
    std::thread t([&] { server_rc = SSL_accept(server); });
    int client_rc = SSL_connect(client);
    t.join();
    ok = server_rc == 1 && client_rc == 1;
  }
  ~RawTls() {
    SSL_free(server);
    SSL_free(client);
    SSL_CTX_free(server_ctx);
    SSL_CTX_free(client_ctx);
  }
};

double RawTlsTransfer() {
  Pair p;
  RawTls tls(p);
  if (!tls.ok) return -1;
  std::string block(kBlock, 'x');
  bool ok = true;
  auto start = Clock::now();
  std::thread reader([&] {
    std::string buf(kBlock, '\0');
    for (size_t left = kTotal; left > 0;) {
      int n = SSL_read(tls.server, &buf[0], static_cast<int>(std::min(left, kBlock)));
      if (n <= 0) return;
      left -= static_cast<size_t>(n);
    }
  });
  for (size_t i = 0; i < kBlocks && ok; ++i) {
    ok = SSL_write(tls.client, block.data(), static_cast<int>(kBlock)) == static_cast<int>(kBlock);
  }
  if (!ok) shutdown(p.a, SHUT_RDWR);
  reader.join();
  return ok ? Since(start) : -1;
}

// Times `transfer` per iteration.
template <typename F>
void RunTransfer(benchmark::State& state, F transfer) {
  SetUpProcess();
  for (auto _ : state) {
    double took = transfer();
    if (took < 0) {
      state.SkipWithError("transfer failed");
      return;
    }
    state.SetIterationTime(took);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kTotal));
}

void BM_RawSocket(benchmark::State& state) { RunTransfer(state, RawSocketTransfer); }
void BM_PlainChannel(benchmark::State& state) { RunTransfer(state, [] { return ChannelTransfer(false); }); }
void BM_RawTls(benchmark::State& state) { RunTransfer(state, RawTlsTransfer); }
void BM_TlsChannel(benchmark::State& state) { RunTransfer(state, [] { return ChannelTransfer(true); }); }

// The raw and the channel transfer back to back in every iteration, so that
// both see the same machine load; "ratio" is channel MB/s over raw MB/s.
template <typename Raw, typename Chan>
void RunPaired(benchmark::State& state, Raw raw, Chan chan) {
  SetUpProcess();
  double raw_s = 0, chan_s = 0;
  for (auto _ : state) {
    double r = raw();
    double c = chan();
    if (r < 0 || c < 0) {
      state.SkipWithError("transfer failed");
      return;
    }
    raw_s += r;
    chan_s += c;
    state.SetIterationTime(r + c);
  }
  double mb = static_cast<double>(kTotal) * static_cast<double>(state.iterations()) / 1e6;
  state.counters["raw_MBps"] = mb / raw_s;
  state.counters["channel_MBps"] = mb / chan_s;
  state.counters["ratio"] = raw_s / chan_s;
}

void BM_PlainVersusRaw(benchmark::State& state) {
  RunPaired(state, RawSocketTransfer, [] { return ChannelTransfer(false); });
}
void BM_TlsVersusRaw(benchmark::State& state) {
  RunPaired(state, RawTlsTransfer, [] { return ChannelTransfer(true); });
}

// One client conversion with host-name check against a server-mode channel,
// with the CA file of state.range(0): 0 the one test CA, 1 the system bundle
// with the test CA appended (so that the check still succeeds).
void BM_Conversion(benchmark::State& state) {
  SetUpProcess();
  std::string ca = Pki("ca.pem");
  if (state.range(0) == 1) {
    ca = "/tmp/channel_bench_bundle.pem";
    std::ifstream system_bundle("/etc/ssl/certs/ca-certificates.crt"), test_ca(Pki("ca.pem"));
    if (!system_bundle || !test_ca) {
      state.SkipWithError("no /etc/ssl/certs/ca-certificates.crt");
      return;
    }
    std::ostringstream all;
    all << system_bundle.rdbuf() << test_ca.rdbuf();
    std::ofstream(ca) << all.str();
  }
  Channel::SetVerifyCAPath(ustring(ca.c_str()));
  bool ok = true;
  for (auto _ : state) {
    // Only the conversions are timed; making and closing the connection are not.
    state.PauseTiming();
    auto p = std::make_unique<Pair>();
    auto client = std::make_unique<Channel>(kCapacity);
    auto server_ch = std::make_unique<Channel>(kCapacity);
    ok = client->Open(std::exchange(p->a, -1), true) == ERR_OK &&
         server_ch->Open(std::exchange(p->b, -1), true) == ERR_OK;
    client->SetAllowUntrust(false);
    client->SetSSLHostname(ustring("server.test"));
    ErrorCode server_rc = ERR_MAX;  // no code: not run
    state.ResumeTiming();
    std::thread server([&] { server_rc = server_ch->ConvertToSSLChannel(true); });
    ok = ok && client->ConvertToSSLChannel(false) == ERR_OK;
    server.join();
    state.PauseTiming();
    client.reset();
    server_ch.reset();
    state.ResumeTiming();
    if (!ok || server_rc != ERR_OK) {
      state.SkipWithError("conversion failed");
      break;
    }
  }
  if (state.range(0) == 1) std::remove(ca.c_str());
}

}  // namespace

BENCHMARK(BM_RawSocket)->Iterations(3)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_PlainChannel)->Iterations(3)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_RawTls)->Iterations(2)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_TlsChannel)->Iterations(2)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_PlainVersusRaw)->Iterations(5)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_TlsVersusRaw)->Iterations(3)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_Conversion)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
