// RequestRoad: the one road every server request takes, written once and
// bound to a requester (Syncer, ProgressSyncer, Worker) by a RoadProfile and
// RoadHooks.
//
// A pooled exchange (Request, Exchange) takes a channel from the requester's
// Connection (blocking while all four are lent), handshakes it when its
// keep-alive time has passed (RequestChannel), runs the work on it (one
// framed request and its reply, RunProtocol; or the requester's callback
// with several), notes the "alive" time the reply grants, and gives the
// channel back on every path: after a failure marked expired and closed,
// its unsent output dropped. No error is retried here: a retry is the
// requester's next round.
//
// Results are daemon codes (ErrorCode, transport/error_code.h). A reply that
// carries "error" is a successful exchange (ERR_OK); the caller maps
// "error"."code" with MapServerCode (its private ProtoResp2ErrorCode).
//
// Threads: one RequestRoad belongs to its requester's thread. It touches
// the shared pool (its own lock, connection.h) and, through the channel,
// reads the abort flag, which other threads raise (Pause, Stop, SetAbort).
// It holds at most one lent channel at a time and takes no lock but the
// pool's. Call it holding none of the requester's locks (an exchange
// blocks for up to the reply time-out); the work of Exchange must not call
// the ConnectionManager (a reload would wait for the channel it holds).
//
// Log lines go through profile.log under profile.component.
#ifndef SERVER_REQUEST_ROAD_H_
#define SERVER_REQUEST_ROAD_H_

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "foundation/ustring.h"
#include "protocol/pobject.h"
#include "protocol/pstream.h"
#include "server/connection.h"
#include "server/road_log.h"
#include "server/server_code_map.h"
#include "session/registry.h"
#include "transport/channel.h"

// How a channel is handshaken after the TCP open.
enum class HandshakeOrder {
  // Syncers: with use_ssl, "encrypt_channel" (command 22) and the TLS
  // upgrade; then "connect" (command 14), inside TLS.
  kEncryptThenConnect,
  // Worker: "connect" with "do_ssl" true when use_ssl, in plain text; the
  // TLS upgrade only after a good reply.
  kConnectThenTls,
};

// When the requester's abort flag is attached to the lent channel.
enum class AbortFlagPolicy {
  // Syncers: from pop to push (handshake included).
  kFromPop,
  // Worker: during the TCP connect, the TLS upgrade and each RunProtocol,
  // and replaced by hooks->StopFlag() while the reply of an "upload" or
  // "resume_upload" is awaited (a committed upload must not be broken off
  // by an interrupt, only by a stop); that wait still gives up once the
  // abort flag has been set for reply_timeout seconds, keep-alives or not.
  kPerExchange,
};

// What is fixed for a kind of requester. A plain value: copied into the road.
struct RoadProfile {
  const char* component;      // log component of every line
  HandshakeOrder handshake;
  bool log_server_build;      // the "Connect with Velkora server build" line
  ServerCodeRules codes;
  AbortFlagPolicy abort_flag;
  uint32_t reply_timeout;     // seconds without reply data (90)
  uint32_t channel_timeout;   // seconds for connect, send, TLS (60)
  const RoadLog* log;         // never null; must outlive the road
};

// What varies with the requester's state. The defaults are the syncers'.
// Called on the road's thread, inside an exchange.
class RoadHooks {
 public:
  virtual ~RoadHooks() = default;
  // The daemon code of a failed PStream::Send or Recv: the one place where
  // a stream code becomes a daemon code. Default: ERR_IO, whatever the
  // stream said. The worker maps it and may reset its abort flag and resume
  // cache here.
  virtual ErrorCode StreamError(PStream::Code stream_code);
  // The folder where a binary of a reply lands when the reply target names
  // no file ("" refuses such binaries with PStream::Code::kStream). Read before
  // every exchange. Default "": a syncer's reply never writes a file.
  virtual ustring ReceiveFolder();
  // The flag that ends even the wait for an upload's reply, which the
  // abort flag does not (kPerExchange): raised when the requester stops.
  // Default null: nothing ends that wait but its time-out.
  virtual const std::atomic<int>* StopFlag();
};

class RequestRoad {
 public:
  // A non-owning reference to the work of Exchange: any callable
  // ErrorCode(Channel&) that outlives the call.
  class WorkRef {
   public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, WorkRef>>>
    WorkRef(F&& f)  // NOLINT: implicit on purpose, so a lambda can be passed
        : obj_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* o, Channel& ch) -> ErrorCode { return (*static_cast<std::remove_reference_t<F>*>(o))(ch); }) {}
    ErrorCode operator()(Channel& ch) const { return call_(obj_, ch); }

   private:
    void* obj_;
    ErrorCode (*call_)(void*, Channel&);
  };

  // `abort_flag`, `connection`, `session` and `hooks` are the requester's
  // and must outlive the road; the road reads `connection` (pool and
  // ConnectionInfo) and session.view_id at each call, so the requester may
  // assign new values to them between calls. Null `hooks`: the defaults.
  RequestRoad(const RoadProfile& profile, std::atomic<int>& abort_flag, Connection& connection,
              const Registry::Entry& session, RoadHooks* hooks = nullptr);
  ~RequestRoad() = default;
  RequestRoad(const RequestRoad&) = delete;
  RequestRoad& operator=(const RequestRoad&) = delete;

  // Pooled exchange of one request: Exchange with RunProtocol(cmd, request,
  // reply) as the work. 0 or a negative code (a handshake's code, or the
  // exchange's).
  ErrorCode Request(const char* exchange, uint8_t cmd, const PObject& request, PObject& reply);

  // Pooled exchange: pop; attach the flag (kFromPop); handshake when
  // expired (failure: EstablishFailed, expire, detach, push, its code;
  // success: setConnected and update); `work` on the channel (negative:
  // ExchangeFailed, expire, detach, push, that code); else setAliveInterval
  // with reply "alive" (0 or absent closes the channel), detach, push, 0.
  // `reply` is the object the work fills.
  ErrorCode Exchange(const char* exchange, PObject& reply, WorkRef work);

  // Closes and reopens `ch`, handshakes it in the profile's order. 0;
  // Open's code; the code of a failed handshake exchange;
  // ERR_SSL_VERIFY_FAIL when the server's certificate or host name does not
  // verify; ERR_IO for a refused "encrypt_channel", any other failed TLS
  // upgrade or "alive" 0; for a
  // "connect" "error": MapServerCode of its code, or ERR_SERVER when that
  // is 0 (a refusal the daemon has no code for never counts as a
  // handshake). SPROTO_ERR_OK as "error" is no error. On failure the socket
  // may be left open (even plain after a failed upgrade): the caller must
  // expire the channel, never send on it.
  ErrorCode RequestChannel(Channel& ch);

  // One exchange on an open channel: header (pkt_len 0, `cmd`), `request`,
  // then replies until one whose "type" is not "keep_alive". `reply` is the
  // caller's target (a pre-filled binary target receives the body): each
  // keep-alive is received into it and the target is then restored, so the
  // final reply merges into the caller's target, never into a keep-alive.
  // Reply wait profile.reply_timeout; the channel time-out is
  // profile.channel_timeout afterwards. 0; ERR_IO when the header cannot be
  // written; hooks->StreamError(code) when the request cannot be sent or a
  // reply read (abort flag raised, time-out, peer gone, malformed reply).
  ErrorCode RunProtocol(Channel& ch, uint8_t cmd, const PObject& request, PObject& reply);

  // MapServerCode with the profile's rules and log.
  ErrorCode MapServerCode(uint32_t code) const;

  // The stream of every exchange (the status report reads its GetStatus
  // from another thread).
  PStream& stream() { return stream_; }
  const RoadProfile& profile() const { return profile_; }

 private:
  void Attach(Channel& ch) { ch.SetFlag(&abort_flag_); }
  static void Detach(Channel& ch) { ch.SetFlag(nullptr); }
  // Detaches the flag after a step of the handshake outside RunProtocol
  // (kPerExchange); under kFromPop the flag stays until the push.
  void EndOwnStep(Channel& ch) {
    if (profile_.abort_flag == AbortFlagPolicy::kPerExchange) Detach(ch);
  }
  // Whether a failed connect or TLS upgrade was the abort's doing under
  // kPerExchange: it is then told as an aborted exchange is (the hook's
  // code for a failed stream), not as a failure of the server.
  bool AbortedStep() const {
    return profile_.abort_flag == AbortFlagPolicy::kPerExchange && abort_flag_.load() != 0;
  }
  bool DebugOn() const;
  // Expires, detaches and returns a lent stat.
  void GiveBackFailed(Connection::ChannelStat& stat);
  // The hook's code of a failed send or receive; ERR_IO unless negative.
  ErrorCode StreamFailed(PStream::Code stream_code);
  // The TLS upgrade of both orders: 0, ERR_SSL_VERIFY_FAIL or ERR_IO.
  ErrorCode UpgradeToTls(Channel& ch);
  // "connect" and the checks of its reply: 0 or a negative code.
  ErrorCode Connect(Channel& ch);

  const RoadProfile profile_;
  std::atomic<int>& abort_flag_;
  Connection& connection_;
  const Registry::Entry& session_;
  RoadHooks* hooks_;
  PStream stream_;
};

#endif  // SERVER_REQUEST_ROAD_H_
