#include "server/request_road.h"

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "foundation/logger.h"
#include "protocol/proto_common.h"
#include "session/session_folders.h"
#include "transport/error_code.h"

namespace {

// The build the log names when "connect" carries no "server".
constexpr uint32_t kDefaultServerBuild = 2402;

bool IsKeepAlive(const PObject& reply) {
  const PObject& type = reply["type"];
  return type.isString() && std::strcmp(type.asString().c_str_utf8(), "keep_alive") == 0;
}

// While the reply of an upload is awaited the worker's abort must not break
// off a transfer the server may already have committed.
bool IsUpload(const ustring& action) { return action == "upload" || action == "resume_upload"; }

ustring ReceiveFolderOf(RoadHooks* hooks) { return hooks != nullptr ? hooks->ReceiveFolder() : ustring(); }

void BodyPaths(const PObject& obj, std::set<std::string>& out) {
  if (obj.isBinary()) {
    if (!obj.asBinary().path.empty()) out.insert(obj.asBinary().path.c_str_utf8());
  } else if (obj.isMap()) {
    for (const auto& member : obj.asMap()) BodyPaths(member.second, out);
  } else if (obj.isArray()) {
    for (const PObject& element : obj.asArray()) BodyPaths(element, out);
  }
}

// Deletes the files that the stream made in `folder` for binaries of `obj`
// which `keep` does not name: the bodies of a message no caller sees (a
// keep-alive, a handshake reply) would otherwise stay there for good.
void DropBodies(const PObject& obj, const PObject& keep, const ustring& folder) {
  // A link put in place of the folder since the exchange began leads
  // elsewhere: files there of the bodies' names are not ours.
  if (folder.empty() || !IsRealFolder(folder)) return;
  std::set<std::string> kept;
  std::set<std::string> found;
  BodyPaths(keep, kept);
  BodyPaths(obj, found);
  const std::string prefix = std::string(folder.c_str_utf8()) + "/";
  for (const std::string& path : found) {
    const bool made_here =
        path.compare(0, prefix.size(), prefix) == 0 && path.find('/', prefix.size()) == std::string::npos;
    if (made_here && kept.count(path) == 0) (void)unlink(path.c_str());
  }
}

// Drops the bodies of a handshake reply when the handshake ends.
class HandshakeBodies {
 public:
  HandshakeBodies(const PObject& reply, ustring folder) : reply_(reply), folder_(std::move(folder)) {}
  ~HandshakeBodies() { DropBodies(reply_, PObject(), folder_); }
  HandshakeBodies(const HandshakeBodies&) = delete;
  HandshakeBodies& operator=(const HandshakeBodies&) = delete;

 private:
  const PObject& reply_;
  ustring folder_;
};

}  // namespace

ErrorCode RoadHooks::StreamError(PStream::Code) { return ERR_IO; }

ustring RoadHooks::ReceiveFolder() { return ustring(); }

const std::atomic<int>* RoadHooks::StopFlag() { return nullptr; }

RequestRoad::RequestRoad(const RoadProfile& profile, std::atomic<int>& abort_flag, Connection& connection,
                         const Registry::Entry& session, RoadHooks* hooks)
    : profile_(profile), abort_flag_(abort_flag), connection_(connection), session_(session), hooks_(hooks) {}

bool RequestRoad::DebugOn() const { return Logger::IsEnabled(Logger::L_DEBUG, profile_.component); }

ErrorCode RequestRoad::MapServerCode(uint32_t code) const {
  return ::MapServerCode(code, profile_.codes, *profile_.log);
}

ErrorCode RequestRoad::Request(const char* exchange, uint8_t cmd, const PObject& request, PObject& reply) {
  return Exchange(exchange, reply, [&](Channel& ch) { return RunProtocol(ch, cmd, request, reply); });
}

void RequestRoad::GiveBackFailed(Connection::ChannelStat& stat) {
  stat.setExpired();
  if (stat.channel != nullptr) Detach(*stat.channel);
  connection_.push(stat);
}

ErrorCode RequestRoad::Exchange(const char* exchange, PObject& reply, WorkRef work) {
  Connection::ChannelStat stat = connection_.pop();
  Channel& ch = stat.getChannel();
  if (profile_.abort_flag == AbortFlagPolicy::kFromPop) Attach(ch);

  if (stat.isExpired()) {
    ErrorCode rc = RequestChannel(ch);
    if (rc != ERR_OK) {
      profile_.log->EstablishFailed(exchange, rc);
      GiveBackFailed(stat);
      return rc;
    }
    stat.setConnected();
    connection_.update(stat);
  }

  ErrorCode rc = work(ch);
  if (rc != ERR_OK) {
    profile_.log->ExchangeFailed(exchange, rc);
    GiveBackFailed(stat);
    return rc;
  }
  // Read through const: the writing operator[] would insert the member.
  stat.setAliveInterval(std::as_const(reply)["alive"].asUInt32());
  Detach(ch);
  connection_.push(stat);
  return ERR_OK;
}

ErrorCode RequestRoad::UpgradeToTls(Channel& ch) {
  const ConnectionInfo& info = connection_.getConnectionInfo();
  profile_.log->ConvertingToSsl();
  ch.SetAllowUntrust(info.ssl_allow_untrust);
  ch.SetSSLHostname(info.server_name);
  // A server that stalls the handshake would otherwise hold an interrupt
  // for the whole channel time-out.
  Attach(ch);
  ErrorCode rc = ch.ConvertToSSLChannel(false);
  EndOwnStep(ch);
  if (rc != ERR_OK) {
    profile_.log->ConvertFailed(rc);
    if (AbortedStep()) return StreamFailed(PStream::Code::kIo);
    // A certificate that does not verify keeps its code: the syncers tell
    // the user, where any other failed upgrade is a plain I/O failure.
    return rc == ERR_SSL_VERIFY_FAIL ? ERR_SSL_VERIFY_FAIL : ERR_IO;
  }
  profile_.log->Encrypted();
  return ERR_OK;
}

ErrorCode RequestRoad::Connect(Channel& ch) {
  const ConnectionInfo& info = connection_.getConnectionInfo();
  const bool do_ssl = profile_.handshake == HandshakeOrder::kConnectThenTls && info.use_ssl;
  PObject request;
  PObject reply;
  const HandshakeBodies drop(reply, ReceiveFolderOf(hooks_));
  InitRequest(request, "connect");
  request["session"] = info.session;
  request["view_id"] = static_cast<unsigned long long>(session_.view_id);
  if (do_ssl) {
    profile_.log->RequestSsl();
    request["do_ssl"] = true;
  }
  ErrorCode rc = RunProtocol(ch, SCMD_REQUEST_CONNECT, request, reply);
  if (rc != ERR_OK) return rc;
  // Read through const: the writing operator[] would insert members.
  const PObject& answer = reply;

  if (answer.hasMember("error")) {
    const uint32_t code = answer["error"]["code"].asUInt32();
    // SPROTO_ERR_OK is the server saying "no error": the checks go on.
    if (code != SPROTO_ERR_OK) {
      profile_.log->ConnectError(answer["error"].toString().c_str_utf8());
      rc = MapServerCode(code);
      // A refusal the daemon has no code for is still a refusal: going on
      // would send the request (in the worker's order, in plain text, the
      // TLS upgrade skipped) on a channel the server did not accept.
      return rc != ERR_OK ? rc : ERR_SERVER;
    }
  }
  if (profile_.log_server_build) {
    const PObject& server = answer["server"];
    profile_.log->ServerBuild(answer.hasMember("server") ? server["package_version"]["build"].asUInt32()
                                                         : kDefaultServerBuild);
  }
  if (answer["alive"].asUInt32() == 0) {
    profile_.log->Refused();
    return ERR_IO;
  }
  if (do_ssl) return UpgradeToTls(ch);
  return ERR_OK;
}

ErrorCode RequestRoad::RequestChannel(Channel& ch) {
  const ConnectionInfo& info = connection_.getConnectionInfo();
  // An idle channel has nothing pending; the old stream is given up either way.
  (void)ch.Close();
  ch.SetTimeout(profile_.channel_timeout);
  profile_.log->Connecting(info.server_ip.c_str_utf8(), info.server_port);
  // The connect heeds the flag too: an address that never answers would
  // otherwise hold an interrupt for the whole connect time-out.
  Attach(ch);
  ErrorCode rc = ch.Open(info.server_ip.c_str_utf8(), info.server_port);
  EndOwnStep(ch);
  if (rc != ERR_OK) {
    profile_.log->OpenFailed(rc);
    if (AbortedStep()) return StreamFailed(PStream::Code::kIo);
    return rc;
  }

  if (profile_.handshake == HandshakeOrder::kEncryptThenConnect && info.use_ssl) {
    profile_.log->RequestSsl();
    PObject request;
    PObject reply;
    const HandshakeBodies drop(reply, ReceiveFolderOf(hooks_));
    InitRequest(request, "encrypt_channel");
    rc = RunProtocol(ch, SCMD_REQUEST_SSL_2, request, reply);
    if (rc != ERR_OK) return rc;
    if (reply.hasMember("error")) {
      profile_.log->SslRefused(reply.toString().c_str_utf8());
      return ERR_IO;
    }
    rc = UpgradeToTls(ch);
    if (rc != ERR_OK) return rc;
  }
  return Connect(ch);
}

ErrorCode RequestRoad::StreamFailed(PStream::Code stream_code) {
  const ErrorCode rc = hooks_ != nullptr ? hooks_->StreamError(stream_code) : ERR_IO;
  // A failed transfer is never a success, whatever a hook says.
  return rc != ERR_OK ? rc : ERR_IO;
}

ErrorCode RequestRoad::RunProtocol(Channel& ch, uint8_t cmd, const PObject& request, PObject& reply) {
  const ustring folder = ReceiveFolderOf(hooks_);
  stream_.SetDefaultRecvLocation(folder);
  if (DebugOn()) profile_.log->RequestOut(request.toString().c_str_utf8());
  Attach(ch);
  const ustring action = request["_action"].asString();

  ErrorCode result = ERR_OK;
  const ErrorCode rc = ProtoWriteHeader(ch, 0, cmd);
  PStream::Code sent = PStream::Code::kOk;
  if (rc != ERR_OK) {
    profile_.log->HeaderFailed(action.c_str_utf8(), rc);
    result = ERR_IO;
  } else if ((sent = stream_.Send(ch, request)) != PStream::Code::kOk) {
    profile_.log->SendFailed(action.c_str_utf8(), StreamCodeNumber(sent));
    result = StreamFailed(sent);
  } else {
    ch.SetTimeout(profile_.reply_timeout);
    const bool detached = profile_.abort_flag == AbortFlagPolicy::kPerExchange && IsUpload(action);
    // Only a stop ends this wait at once; the abort flag is looked at below.
    if (detached) ch.SetFlag(hooks_ != nullptr ? hooks_->StopFlag() : nullptr);
    // A detached wait still ends once an abort has waited one reply
    // time-out: keep-alives alone would otherwise hold it (and whoever waits
    // for the requester) for ever. The flag is tested between messages, so
    // its rise is dated no later than the last test that found it clear.
    using Clock = std::chrono::steady_clock;
    Clock::time_point last_clear = Clock::now();
    // Recv merges into its target, so a final reply without "type" would
    // keep a keep-alive's "type" and the loop would wait for a message that
    // never comes. Each keep-alive is received into the target and then
    // the caller's target is put back.
    const PObject target = reply;
    for (;;) {
      if (detached) {
        if (abort_flag_.load() == 0) {
          last_clear = Clock::now();
        } else {
          const auto left = last_clear + std::chrono::seconds(profile_.reply_timeout) - Clock::now();
          if (left <= Clock::duration::zero()) {
            profile_.log->RecvFailed(action.c_str_utf8(), StreamCodeNumber(PStream::Code::kIo));
            result = StreamFailed(PStream::Code::kIo);
            break;
          }
          // Whole seconds, rounded up: the silence allowed for the rest.
          ch.SetTimeout(static_cast<uint32_t>(std::chrono::ceil<std::chrono::seconds>(left).count()));
        }
      }
      const PStream::Code got = stream_.Recv(ch, reply);
      if (got != PStream::Code::kOk) {
        profile_.log->RecvFailed(action.c_str_utf8(), StreamCodeNumber(got));
        result = StreamFailed(got);
        break;
      }
      if (!IsKeepAlive(reply)) break;
      profile_.log->KeepAlive();
      DropBodies(reply, target, folder);
      reply = target;
    }
  }
  ch.SetTimeout(profile_.channel_timeout);
  if (profile_.abort_flag == AbortFlagPolicy::kPerExchange) Detach(ch);
  if (DebugOn()) profile_.log->ReplyIn(reply.toString().c_str_utf8());
  return result;
}
