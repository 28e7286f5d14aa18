// ui-stand-in: the user interface's side of the control protocol on the
// console. Listens on 127.0.0.1 at PORT (0: a free port of the kernel's
// choice) and prints one line per message that arrives (the daemon's port
// announcement, notifications) until SIGTERM or SIGINT. The first line names
// the port.
//
//   ui-stand-in [--ready-file PATH] PORT
//
// --ready-file: PATH is created once the port listens, so that a script can
// start the daemon only then (without a listener its announcement fails and
// it exits).
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/ui_stand_in.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: ui-stand-in [--ready-file PATH] PORT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string ready_file;
  int port = -1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--ready-file") == 0 && i + 1 < argc) {
      ready_file = argv[++i];
    } else {
      char* end = nullptr;
      long value = std::strtol(argv[i], &end, 10);
      if (port >= 0 || end == argv[i] || *end != '\0' || value < 0 || value > 65535) return Usage();
      port = static_cast<int>(value);
    }
  }
  if (port < 0) return Usage();

  // Blocked before the accept thread starts, so that only sigwait below
  // takes them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &stop, nullptr) != 0) return 1;
  std::signal(SIGPIPE, SIG_IGN);

  testsupport::UiStandIn ui(port, [](const PObject& msg) {
    std::printf("ui-stand-in: %s\n", testsupport::UiStandIn::Describe(msg).c_str());
    std::fflush(stdout);
  });
  if (ui.port() < 0) {
    std::fprintf(stderr, "ui-stand-in: %s\n", ui.error().c_str());
    return 1;
  }
  std::printf("ui-stand-in: listening on 127.0.0.1:%d\n", ui.port());
  std::fflush(stdout);
  if (!ready_file.empty()) {
    int fd = open(ready_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      std::fprintf(stderr, "ui-stand-in: cannot create %s: %s\n", ready_file.c_str(), std::strerror(errno));
      return 1;
    }
    close(fd);
  }

  int signo = 0;
  while (sigwait(&stop, &signo) != 0) {
  }
  if (ui.decodeFailures() != 0) {
    std::printf("ui-stand-in: %zu connection(s) carried no readable message\n", ui.decodeFailures());
  }
  std::printf("ui-stand-in: stopped\n");
  return 0;
}
