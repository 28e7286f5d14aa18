// A stand-in for the relay service: an OpenSSL server on 127.0.0.1 that
// reads the upgrade request, checks it (the token must decrypt to
// "host:port" and its NUL), answers as scripted and, on success, drops TLS
// without a close-notify and pumps raw bytes between the client and the
// target with poll. Also a plain TCP echo target.
//
// Uses the test PKI's srv certificate; no session tickets, so nothing
// arrives after the handshake that the client would have to read.
//
// Header-only on purpose: the test_support library stays free of the code
// under test; only executables that already link `transport` include this.
#ifndef TESTS_SUPPORT_RELAY_STAND_IN_H_
#define TESTS_SUPPORT_RELAY_STAND_IN_H_

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"
#include "support/pki.h"
#include "transport/zarq_crypto.h"
#include "transport/zarq_tunnel_client.h"

namespace testsupport::relay {

enum class Mode {
  kConnect,     // X-Target-Status: 0, then pump to the target
  kStatusOnly,  // the status line and the blank line only, then pump
  kStatus,      // X-Target-Status: <status>, then close
  kLowerCase,   // x-target-status: <status>, then close
  kLongLine,    // a 2,000-byte header line, then X-Target-Status: 0 and pump
  kCloseEarly,  // the status line, then close before the blank line
  kSilent,      // no answer; wait for the client to go
};

// One connection as the relay saw it.
struct Seen {
  std::string request;
  bool valid = false;   // request line, headers and token as they must be
  std::string target;   // the decrypted token without its NUL
  std::string why;      // what was wrong when not valid
};

inline std::string HeaderValue(const std::string& request, const std::string& name) {
  std::string key = "\r\n" + name + ": ";
  size_t at = request.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return request.substr(at, request.find("\r\n", at) - at);
}

inline Seen Check(const std::string& request) {
  Seen s;
  s.request = request;
  if (request.rfind("GET /zarq-tunnel HTTP/1.1\r\n", 0) != 0) {
    s.why = "request line";
  } else if (HeaderValue(request, "Host") != kZarqTunnelHost) {
    s.why = "Host";
  } else if (HeaderValue(request, "Upgrade") != "ZarqelonTunnel") {
    s.why = "Upgrade";
  } else {
    std::string host = HeaderValue(request, "X-Target-Host");
    std::string port = HeaderValue(request, "X-Target-Port");
    std::string token = HeaderValue(request, "X-AuthToken");
    std::vector<unsigned char> block(token.size());
    int n = ZARQCryptoBase64Decode(block.data(), static_cast<int>(block.size()), token.data(),
                                   static_cast<int>(token.size()));
    std::vector<unsigned char> plain(block.size() + 1);
    int p = n > 0 ? ZARQCryptoDecrypt(plain.data(), static_cast<int>(plain.size()), block.data(), n) : 0;
    std::string text(reinterpret_cast<char*>(plain.data()), p > 0 ? static_cast<size_t>(p) : 0);
    if (text != host + ":" + port + std::string(1, '\0')) {
      s.why = "token";
    } else {
      s.valid = true;
      s.target = host + ":" + port;
    }
  }
  return s;
}

// Copies raw bytes both ways until either side ends.
inline void Pump(int a, int b) {
  char buf[16384];
  for (;;) {
    pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (p[i].revents == 0) continue;
      ssize_t n = recv(p[i].fd, buf, sizeof buf, 0);
      if (n <= 0 || !loopback::SendAll(p[1 - i].fd, std::string(buf, static_cast<size_t>(n)))) return;
    }
  }
}

class TestRelay {
 public:
  TestRelay() = default;
  ~TestRelay() { Stop(); }
  TestRelay(const TestRelay&) = delete;
  TestRelay& operator=(const TestRelay&) = delete;

  bool Start(Mode mode, int status, std::string* error) {
    mode_ = mode;
    status_ = status;
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (ctx_ == nullptr ||
        SSL_CTX_use_certificate_chain_file(ctx_, testsupport::PkiPath("srv.pem").c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, testsupport::PkiPath("srv.key").c_str(), SSL_FILETYPE_PEM) != 1) {
      *error = "relay: TLS context";
      return false;
    }
    SSL_CTX_set_num_tickets(ctx_, 0);
    listener_ = loopback::Listener(16, &port_);
    if (listener_.get() < 0) {
      *error = "relay: listen";
      return false;
    }
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopped_) return;
      stopped_ = true;
      // Wakes every blocking accept, TLS call, read and poll.
      for (int fd : open_fds_) shutdown(fd, SHUT_RDWR);
    }
    if (listener_.get() >= 0) shutdown(listener_.get(), SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
    listener_.reset();
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
    ctx_ = nullptr;
  }

  int port() const { return port_; }

  std::vector<Seen> Connections() const {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
  }

  // Connections whose handling has ended.
  int Finished() const {
    std::lock_guard<std::mutex> lock(mu_);
    return finished_;
  }

 private:
  void AcceptLoop() {
    for (;;) {
      int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR) continue;
        return;
      }
      std::lock_guard<std::mutex> lock(mu_);
      if (stopped_) {
        close(fd);
        return;
      }
      open_fds_.push_back(fd);
      workers_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  void Track(int fd, bool add) {
    std::lock_guard<std::mutex> lock(mu_);
    if (add) {
      open_fds_.push_back(fd);
      if (stopped_) shutdown(fd, SHUT_RDWR);
    } else {
      open_fds_.erase(std::remove(open_fds_.begin(), open_fds_.end(), fd), open_fds_.end());
    }
  }

  void Serve(int fd) {
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    bool pump = false;
    std::string target;
    if (SSL_accept(ssl) == 1) {
      std::string request;
      char buf[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        int n = SSL_read(ssl, buf, sizeof buf);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
      }
      Seen s = Check(request);
      {
        std::lock_guard<std::mutex> lock(mu_);
        seen_.push_back(s);
      }
      std::string answer = "HTTP/1.1 101 Switching Protocols\r\n";
      Mode mode = s.valid ? mode_ : Mode::kStatus;
      int status = s.valid ? status_ : 400;
      switch (mode) {
        case Mode::kConnect:
          answer += "X-Target-Status: 0\r\n\r\n";
          pump = true;
          break;
        case Mode::kStatusOnly:
          answer += "\r\n";
          pump = true;
          break;
        case Mode::kStatus:
          answer += "X-Target-Status: " + std::to_string(status) + "\r\n\r\n";
          break;
        case Mode::kLowerCase:
          answer += "x-target-status: " + std::to_string(status) + "\r\n\r\n";
          break;
        case Mode::kLongLine:
          answer += "X-Filler: " + std::string(2000, 'f') + "\r\nX-Target-Status: 0\r\n\r\n";
          pump = true;
          break;
        case Mode::kCloseEarly:
          break;
        case Mode::kSilent:
          answer.clear();
          break;
      }
      if (!answer.empty()) SSL_write(ssl, answer.data(), static_cast<int>(answer.size()));
      if (mode == Mode::kSilent) {
        // Wait for the client to go (or Stop).
        char c;
        while (recv(fd, &c, 1, 0) > 0) {
        }
      }
      target = s.target;
    }
    // TLS ends here without a close-notify; the socket stays open.
    SSL_set_quiet_shutdown(ssl, 1);
    SSL_shutdown(ssl);
    SSL_free(ssl);
    ERR_clear_error();
    if (pump) {
      size_t colon = target.rfind(':');
      loopback::Fd up;
      in_addr addr;
      if (colon != std::string::npos && inet_pton(AF_INET, target.substr(0, colon).c_str(), &addr) == 1 &&
          ntohl(addr.s_addr) == INADDR_LOOPBACK) {
        up = loopback::Connect(std::stoi(target.substr(colon + 1)));
      }
      if (up.get() >= 0) {
        Track(up.get(), true);
        Pump(fd, up.get());
        Track(up.get(), false);
      }
    }
    Track(fd, false);
    close(fd);
    std::lock_guard<std::mutex> lock(mu_);
    ++finished_;
  }

  Mode mode_ = Mode::kConnect;
  int status_ = 0;
  SSL_CTX* ctx_ = nullptr;
  loopback::Fd listener_;
  int port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> workers_;
  mutable std::mutex mu_;
  std::vector<int> open_fds_;
  std::vector<Seen> seen_;
  int finished_ = 0;
  bool stopped_ = false;
};

// A plain TCP echo server on 127.0.0.1, one thread per connection; counts
// the connections it accepted and those whose peer has gone.
class EchoTarget {
 public:
  EchoTarget() {
    listener_ = loopback::Listener(64, &port_);
    acceptor_ = std::thread([this] {
      for (;;) {
        int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        std::lock_guard<std::mutex> lock(mu_);
        ++accepted_;
        fds_.push_back(fd);
        workers_.emplace_back([this, fd] {
          char buf[4096];
          for (;;) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0 || !loopback::SendAll(fd, std::string(buf, static_cast<size_t>(n)))) break;
          }
          std::lock_guard<std::mutex> lock(mu_);
          ++closed_;
          fds_.erase(std::remove(fds_.begin(), fds_.end(), fd), fds_.end());
          close(fd);
        });
      }
    });
  }
  ~EchoTarget() {
    shutdown(listener_.get(), SHUT_RDWR);
    acceptor_.join();
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (int fd : fds_) shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : workers_) t.join();
  }
  EchoTarget(const EchoTarget&) = delete;
  EchoTarget& operator=(const EchoTarget&) = delete;

  int port() const { return port_; }
  int accepted() const {
    std::lock_guard<std::mutex> lock(mu_);
    return accepted_;
  }
  int closed() const {
    std::lock_guard<std::mutex> lock(mu_);
    return closed_;
  }

 private:
  loopback::Fd listener_;
  int port_ = 0;
  std::thread acceptor_;
  mutable std::mutex mu_;
  int accepted_ = 0;
  int closed_ = 0;
  std::vector<int> fds_;
  std::vector<std::thread> workers_;
};

}  // namespace testsupport::relay

#endif  // TESTS_SUPPORT_RELAY_STAND_IN_H_
