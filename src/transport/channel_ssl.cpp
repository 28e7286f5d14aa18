// The TLS half of Channel: conversion in place, certificate and host-name
// checks, and the TLS read and write operations.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "foundation/logger.h"
#include "platform/socket.h"
#include "transport/cert_hostname.h"
#include "transport/channel.h"
#include "transport/channel_internal.h"

using transport_internal::kComponent;
using transport_internal::WaitReady;
using transport_internal::WaitWithTimeout;

void transport_internal::log_ssl() {
  char text[256];
  for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
    ERR_error_string_n(e, text, sizeof text);
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): ssl-errors: %s\n", __LINE__, text);
  }
}

using transport_internal::log_ssl;

namespace {

int ssl_get_fd(void* context) { return context ? SSL_get_fd(static_cast<SSL*>(context)) : -1; }

bool ssl_channel_is_invalid(void* context) { return context == nullptr; }

// Ends the TLS session, then closes the socket under it: the SSL object's
// socket BIO does not own the descriptor.
int ssl_channel_close(void* context) {
  SSL* ssl = static_cast<SSL*>(context);
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): destroy ssl obj %p\n", __LINE__, context);
  if (ssl == nullptr) return 0;
  int fd = SSL_get_fd(ssl);
  SSL_CTX* ctx = SSL_get_SSL_CTX(ssl);
  if (SSL_is_init_finished(ssl)) {
    ERR_clear_error();
    // One-way close_notify; the peer's answer is not awaited, so any result will do.
    (void)SSL_shutdown(ssl);
    ERR_clear_error();
  }
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  transport_internal::ShutdownAndClose(fd);
  return 0;
}

size_t ClampLen(size_t len) { return std::min<size_t>(len, INT_MAX); }

struct X509Deleter {
  void operator()(X509* x) const { X509_free(x); }
};
struct GeneralNamesDeleter {
  void operator()(GENERAL_NAMES* n) const { GENERAL_NAMES_free(n); }
};

// The first commonName of the subject; a name with an embedded NUL never matches.
bool CommonNameMatches(X509* cert, ustring const& hostname) {
  X509_NAME* subject = X509_get_subject_name(cert);
  if (subject == nullptr) return false;
  int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (index < 0) return false;
  X509_NAME_ENTRY* entry = X509_NAME_get_entry(subject, index);
  if (entry == nullptr) return false;
  unsigned char* utf8 = nullptr;
  int len = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
  if (len < 0) return false;
  bool match = CertNameMatches(reinterpret_cast<const char*>(utf8), static_cast<size_t>(len), hostname);
  OPENSSL_free(utf8);
  return match;
}

bool AltNameMatches(X509* cert, ustring const& hostname) {
  std::unique_ptr<GENERAL_NAMES, GeneralNamesDeleter> names(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
  if (!names) return false;
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
    if (name == nullptr || name->type != GEN_DNS) continue;
    const ASN1_STRING* dns = name->d.dNSName;
    int len = ASN1_STRING_length(dns);
    if (len < 0) continue;
    if (CertNameMatches(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)), static_cast<size_t>(len),
                        hostname)) {
      return true;
    }
  }
  return false;
}

// The verify result must be X509_V_OK and, when a host name is set, the
// peer's certificate must carry it (commonName first, then the DNS names).
bool PeerCertificateAccepted(SSL* ssl, ustring const& hostname) {
  long verify = SSL_get_verify_result(ssl);
  if (verify != X509_V_OK) {
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): verify result %ld: %s\n", __LINE__, verify,
                   X509_verify_cert_error_string(verify));
    return false;
  }
  if (hostname.empty()) return true;
  std::unique_ptr<X509, X509Deleter> cert(SSL_get1_peer_certificate(ssl));
  if (!cert) return false;
  return CommonNameMatches(cert.get(), hostname) || AltNameMatches(cert.get(), hostname);
}

}  // namespace

void ChannelOps::InstallSSL(CHANNEL_OPS& ops) {
  ops.read = [](void* context, void* buf, size_t len, timeval const& wait, const std::atomic<int>* flag) {
    return Channel::SSLReadFd(static_cast<SSL*>(context), buf, len, wait, flag);
  };
  ops.write = [](void* context, void const* buf, size_t len, timeval const& wait, const std::atomic<int>* flag) {
    return Channel::SSLWriteFd(static_cast<SSL*>(context), buf, len, wait, flag);
  };
  ops.get_fd = ssl_get_fd;
  ops.close = ssl_channel_close;
  ops.isInvalid = ssl_channel_is_invalid;
}

ErrorCode Channel::ConvertToSSLChannel(bool isServer) {
  if (m_isSSL) {
    Logger::LogMsg(Logger::L_WARNING, kComponent,
                   "[WARNING] channel(%d): ConvertToSSLChannel: Channel is SSL channel, no need to be converted\n",
                   __LINE__);
    return ERR_OK;
  }
  int sock = PlainSocket();
  if (sock < 0) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): ConvertToSSLChannel: channel is closed\n",
                   __LINE__);
    return ERR_IO;
  }
  SSL* ssl = nullptr;
  SSL_CTX* ctx = nullptr;
  if (InitSSL(ssl, ctx, isServer, m_is_allowing_untrust) < 0) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): Open: init ssl failed\n", __LINE__);
    return ERR_IO;
  }
  ErrorCode rc = ERR_OK;
  if (SSL_set_fd(ssl, sock) != 1) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): set fd failed\n", __LINE__);
    log_ssl();
    rc = ERR_IO;
  } else if (SSLHandshake(ssl, m_timeout, channel_timeout, flag) != ERR_OK) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): Open to SSL connect to server failed\n",
                   __LINE__);
    rc = ERR_IO;
  } else if (!m_is_allowing_untrust && !PeerCertificateAccepted(ssl, m_ssl_hostname)) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): ConvertToSSLChannel: Verify Fail!\n",
                   __LINE__);
    rc = ERR_SSL_VERIFY_FAIL;
  }
  if (rc != ERR_OK) {
    DeinitSSL(ssl, ctx, true);
    return rc;
  }
  // The socket now lives under the SSL object; only the plain holder goes.
  transport_internal::FreePlainContext(m_ops.context);
  m_ops.context = ssl;
  SwitchChannelOp(CHANNEL_SSL_MODE);
  m_isSSL = true;
  return ERR_OK;
}

void Channel::SetVerifyCAPath(ustring const& ca_path) { m_ca_path = ca_path; }

void Channel::SetCERTPath(std::string cert_path) { m_cert_path = std::move(cert_path); }

void Channel::SetPriKeyPath(std::string key_path) { m_key_path = std::move(key_path); }

int Channel::InstallVerifyCA(SSL_CTX* ctx) {
  // An empty path is refused here rather than handed to OpenSSL; there is no
  // fallback to a system store.
  if (m_ca_path.empty() || SSL_CTX_load_verify_locations(ctx, m_ca_path.c_str_utf8(), nullptr) != 1) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): SSL_CTX_load_verify_locations(%s) failed\n",
                   __LINE__, m_ca_path.c_str_utf8());
    log_ssl();
    return -1;
  }
  return 0;
}

int Channel::InstallCERT(SSL_CTX* ctx) {
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): cert path = %s\n", __LINE__,
                 m_cert_path.c_str());
  if (SSL_CTX_use_certificate_chain_file(ctx, m_cert_path.c_str()) != 1) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): Install certificate failed\n", __LINE__);
    log_ssl();
    return -1;
  }
  return 0;
}

int Channel::InstallPriKey(SSL_CTX* ctx) {
  if (SSL_CTX_use_PrivateKey_file(ctx, m_key_path.c_str(), SSL_FILETYPE_PEM) != 1) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): Install private key failed\n", __LINE__);
    log_ssl();
    return -1;
  }
  return 0;
}

int Channel::InitSSL(SSL*& m_ssl, SSL_CTX*& m_ssl_ctx, bool is_server, bool is_allowing_untrust) {
  ERR_clear_error();
  m_ssl_ctx = SSL_CTX_new(is_server ? TLS_server_method() : TLS_client_method());
  if (m_ssl_ctx == nullptr) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): m_ssl_ctx created failed\n", __LINE__);
    log_ssl();
    DeinitSSL(m_ssl, m_ssl_ctx, false);
    return -1;
  }
  // Read-ahead stays off (the default): the tunnel channel drops its relay
  // session mid-stream and must find every byte after the last record still
  // in the socket.
  if (is_server) {
    if (InstallCERT(m_ssl_ctx) < 0) {
      Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): Open: init ssl certificate failed\n",
                     __LINE__);
      DeinitSSL(m_ssl, m_ssl_ctx, false);
      return -1;
    }
    if (InstallPriKey(m_ssl_ctx) < 0) {
      Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): Open: init ssl private key failed\n",
                     __LINE__);
      DeinitSSL(m_ssl, m_ssl_ctx, false);
      return -1;
    }
  }
  m_ssl = SSL_new(m_ssl_ctx);
  if (m_ssl == nullptr) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): m_ssl created failed\n", __LINE__);
    log_ssl();
    DeinitSSL(m_ssl, m_ssl_ctx, false);
    return -1;
  }
  if (is_server) {
    SSL_set_accept_state(m_ssl);
    return 0;
  }
  // A CA file that cannot be loaded only leaves the store empty: the verify
  // result then refuses every certificate, unless untrusted ones are allowed.
  if (!is_allowing_untrust && InstallVerifyCA(m_ssl_ctx) < 0) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): InitSSL(): set Verify store fail\n",
                   __LINE__);
  }
  // The chain is still verified and its result recorded; ConvertToSSLChannel
  // judges it after the handshake.
  SSL_set_verify(m_ssl, SSL_VERIFY_NONE, nullptr);
  SSL_set_connect_state(m_ssl);
  return 0;
}

void Channel::DeinitSSL(SSL*& m_ssl, SSL_CTX*& m_ssl_ctx, bool quiet_shutdown) {
  if (m_ssl != nullptr) {
    if (quiet_shutdown) SSL_set_quiet_shutdown(m_ssl, 1);
    if (SSL_is_init_finished(m_ssl)) {
      ERR_clear_error();
      // One-way close; a peer that has gone does not matter here.
      (void)SSL_shutdown(m_ssl);
    }
    SSL_free(m_ssl);
    m_ssl = nullptr;
  }
  if (m_ssl_ctx != nullptr) {
    SSL_CTX_free(m_ssl_ctx);
    m_ssl_ctx = nullptr;
  }
  // Nothing left here may be reported later as the error of another call.
  ERR_clear_error();
}

ErrorCode Channel::SSLHandshake(SSL* m_ssl, timeval m_timeout, uint32_t channel_timeout,
                                const std::atomic<int>* abort_flag) {
  long elapsed = 0;
  for (;;) {
    ERR_clear_error();
    int r = SSL_do_handshake(m_ssl);
    if (r == 1) return ERR_OK;
    int e = SSL_get_error(m_ssl, r);
    if (r == 0) {
      Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): SSLHandshake: SSL error code: %d\n",
                     __LINE__, e);
      log_ssl();
      return ERR_IO;
    }
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
      Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): SSLHandshake: SSL fatel error code: %d\n",
                     __LINE__, e);
      log_ssl();
      return ERR_IO;
    }
    unsigned awaited = e == SSL_ERROR_WANT_READ ? platform::kWaitRead : platform::kWaitWrite;
    unsigned ready = 0;
    ErrorCode rc = WaitWithTimeout(SSL_get_fd(m_ssl), awaited | platform::kWaitExcept, m_timeout, abort_flag, &ready);
    if (rc == ERR_TIMEOUT) {
      elapsed += m_timeout.tv_sec;
      if (channel_timeout != 0 && elapsed >= static_cast<long>(channel_timeout)) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] channel(%d): SSLHandshake: timed out during connect (%ld seconds), abort anyway\n",
                       __LINE__, elapsed);
        return ERR_TIMEOUT;
      }
      continue;
    }
    if (rc != ERR_OK) return rc;
    if (ready & platform::kWaitExcept) {
      Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): SSLHandshake: exception set\n", __LINE__);
      return ERR_IO;
    }
    if (!(ready & awaited)) {
      Logger::LogMsg(Logger::L_WARNING, kComponent,
                     "[WARNING] channel(%d): SSLHandshake: select returns but fd is not set\n", __LINE__);
      return ERR_SYS;
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): SSLHandshake: reset timeout\n", __LINE__);
    elapsed = 0;
  }
}

int Channel::SSLReadFd(SSL* m_ssl, void* buf, size_t len, timeval const& m_timeout,
                       const std::atomic<int>* abort_flag) {
  if (len == 0) {
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): ReadFd: request 0\n", __LINE__);
    return ErrorNumber(ERR_INVAL);
  }
  if (m_ssl == nullptr) return ErrorNumber(ERR_IO);
  int want = static_cast<int>(ClampLen(len));
  int pending = SSL_pending(m_ssl);
  if (pending > 0) {
    // Bytes already decrypted are served without a wait: the socket may hold
    // nothing more, and a wait would stall on data that is here already.
    ERR_clear_error();
    int n = SSL_read(m_ssl, buf, std::min(pending, want));
    if (n < 1) {
      Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): Diagnose: SSL_read failed\n", __LINE__);
      log_ssl();
      return ErrorNumber(ERR_IO);
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): ReadFd: read %d bytes\n", __LINE__, n);
    return n;
  }
  int sock = SSL_get_fd(m_ssl);
  ErrorCode rc = WaitReady(sock, platform::kWaitRead, m_timeout, abort_flag, "ReadFd", "exception set");
  if (rc != ERR_OK) return ErrorNumber(rc);
  ERR_clear_error();
  int n = SSL_read(m_ssl, buf, want);
  if (n < 1) {
    int e = SSL_get_error(m_ssl, n);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): SSL want read", __LINE__);
      return ErrorNumber(ERR_TIMEOUT);
    }
    ERR_clear_error();
    return ErrorNumber(ERR_IO);
  }
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): ReadFd: read %d bytes\n", __LINE__, n);
  return n;
}

int Channel::SSLWriteFd(SSL* m_ssl, void const* buf, size_t len, timeval const& m_timeout,
                        const std::atomic<int>* abort_flag) {
  if (m_ssl == nullptr) return ErrorNumber(ERR_IO);
  int sock = SSL_get_fd(m_ssl);
  ErrorCode rc = WaitReady(sock, platform::kWaitWrite, m_timeout, abort_flag, "WriteFd", "exception set");
  if (rc != ERR_OK) return ErrorNumber(rc);
  // After WANT_* OpenSSL needs the same buffer and length again; the write
  // ring provides them, since nothing moves until a write succeeds.
  int want = static_cast<int>(ClampLen(len));
  ERR_clear_error();
  int n = SSL_write(m_ssl, buf, want);
  if (n < 1) {
    int e = SSL_get_error(m_ssl, n);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): SSL want write\n", __LINE__);
      return ErrorNumber(ERR_TIMEOUT);
    }
    int err = errno;
    if (e == SSL_ERROR_SYSCALL) {
      Logger::LogMsg(Logger::L_WARNING, kComponent,
                     "[WARNING] channel(%d): syscall error: n = %d, ssl_ret = %d, errno = %d, err = %s\n", __LINE__, n,
                     e, err, platform::ErrorText(err).c_str());
      ERR_clear_error();
      return ErrorNumber(ERR_SYS);
    }
    Logger::LogMsg(Logger::L_WARNING, kComponent, "[WARNING] channel(%d): misc error: n = %d, ssl_ret = %d, errno = %d\n",
                   __LINE__, n, e, err);
    log_ssl();
    return ErrorNumber(ERR_IO);
  }
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] channel(%d): WriteFd: write %d bytes\n", __LINE__, n);
  return n;
}
