// Declared in e2e_fixture.h; that header is left out so that this file,
// the one the build folder's path is compiled into, builds in no time.
namespace e2e {

const char* DaemonBinary() { return DAEMON_BINARY; }

}  // namespace e2e
