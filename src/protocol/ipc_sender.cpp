#include "protocol/ipc_sender.h"

#include "protocol/pstream.h"

namespace {

// The buffer size of every daemon channel.
constexpr size_t kChannelCapacity = 81920;

}  // namespace

IPCSender::IPCSender() : c(kChannelCapacity) {}

IPCSender::~IPCSender() {
  // send() has flushed already; a destructor has nobody to report to.
  (void)c.Close();
}

int IPCSender::connect(int port) { return c.Open("127.0.0.1", port) != ERR_OK ? -1 : 0; }

int IPCSender::connect(const std::string& path) { return c.Open(path.c_str()) != ERR_OK ? -1 : 0; }

int IPCSender::assign(int fd) { return c.Open(fd, true) != ERR_OK ? -1 : 0; }

void IPCSender::close() {
  // Whatever was to be sent went out with send(); a failed final flush has
  // no one left to tell.
  (void)c.Close();
}

int IPCSender::send(const PObject& obj, bool wait, PObject& reply) {
  PStream stream;
  if (stream.Send(c, obj) != PStream::Code::kOk) return -1;
  return wait ? recv(reply) : 0;
}

int IPCSender::send(const PObject& obj) {
  PStream stream;
  return stream.Send(c, obj) != PStream::Code::kOk ? -1 : 0;
}

int IPCSender::recv(PObject& obj) {
  PStream stream;
  return stream.Recv(c, obj) != PStream::Code::kOk ? -1 : 0;
}
