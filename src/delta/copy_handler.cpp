#include "delta/copy_handler.h"

#include <cerrno>

#include "delta/report.h"

CopyHandler::CopyHandler(ustring const& path) : file(path) {}

CopyHandler::~CopyHandler() { fd_close(fd); }

int CopyHandler::begin() {
  if (fd_open_write(file, fd) != 0) {
    delta_report("api (%d): fd_open_write: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  return 0;
}

int CopyHandler::update(void const* data, unsigned len) {
  if (fd_aio_write(aio, fd, data, len) != 0) {
    delta_report("api (%d): fd_aio_write: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  started = len;
  return 0;
}

int CopyHandler::wait() {
  const unsigned expected = started;
  started = 0;
  const int64_t written = fd_aio_wait(aio);
  if (written != static_cast<int64_t>(expected)) {
    delta_report("api (%d): fd_aio_wait: Error Code %d\n", __LINE__, errno);
    return -1;
  }
  return 0;
}

int CopyHandler::end() {
  fd_close(fd);
  file.clear();
  return 0;
}
