// The receiving half of the section file transfer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

#include "foundation/logger.h"
#include "platform/unique_fd.h"
#include "protocol/proto_section.h"
#include "protocol/proto_section_file.h"
#include "protocol/proto_section_internal.h"
#include "protocol/proto_section_progress.h"
#include "transport/channel.h"

using proto_section_internal::ErrnoText;
using proto_section_internal::kComponent;
using proto_section_internal::TransferProgress;

namespace {

// A failed write or close: a full disk is the caller's to report as such.
ErrorCode LocalWriteError(int err) { return err == ENOSPC || err == EDQUOT ? ERR_LOCAL_DISKFULL : ERR_SYS; }

// Opens the target and leaves it `offset` bytes long, positioned at its end:
// with 0 created or truncated; else the existing file, cut back to `offset`
// so that the new bytes follow exactly what the sender skipped (appending
// behind a longer tail would corrupt the file). Only regular files are
// written; O_NONBLOCK keeps the open from waiting on a FIFO.
ErrorCode OpenForReceive(const ustring& path, unsigned long long offset, platform::UniqueFd& out) {
  int flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK | (offset == 0 ? O_CREAT : 0);
  platform::UniqueFd fd(open(path.c_str_utf8(), flags, 0666));
  struct stat st;
  int err = 0;
  if (!fd.valid() || fstat(fd.get(), &st) != 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode)) {
    err = EINVAL;
  }
  if (err != 0) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): ReadFile: open: , %s  %s\n", __LINE__,
                   path.c_str_utf8(), ErrnoText(err).c_str());
    return ERR_SYS;
  }
  unsigned long long size = static_cast<unsigned long long>(st.st_size);
  if (offset > size) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): ReadFile: open: %s offset is %llu but size is %llu\n", __LINE__,
                   path.c_str_utf8(), offset, size);
    return ERR_INVAL;
  }
  // offset <= size, which fits off_t.
  if (ftruncate(fd.get(), static_cast<off_t>(offset)) != 0) {
    err = errno;
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): ReadFile: truncate fail %s , %s\n", __LINE__,
                   path.c_str_utf8(), ErrnoText(err).c_str());
    return ERR_SYS;
  }
  if (lseek(fd.get(), static_cast<off_t>(offset), SEEK_SET) < 0) {
    err = errno;
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): ReadFile: fseek fail %s , %s\n", __LINE__,
                   path.c_str_utf8(), ErrnoText(err).c_str());
    return ERR_SYS;
  }
  int fl = fcntl(fd.get(), F_GETFL);
  if (fl < 0 || fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0) {
    err = errno;
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): ReadFile: open: , %s  %s\n", __LINE__,
                   path.c_str_utf8(), ErrnoText(err).c_str());
    return ERR_SYS;
  }
  out = std::move(fd);
  return ERR_OK;
}

// All `len` bytes, or errno.
int WriteAll(int fd, const char* p, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

ErrorCode ReceiveFile(Channel& ch, unsigned char& delta_type, const ustring& path, unsigned long long offset) {
  platform::UniqueFd fd;
  ErrorCode rc = OpenForReceive(path, offset, fd);
  if (rc != ERR_OK) return rc;
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kFileRecvBufferSize]);
  if (!buf) {
    Logger::LogMsg(Logger::L_CRIT, kComponent, "[CRIT] proto-common(%d): out of memory\n", __LINE__);
    return ERR_SYS;
  }

  unsigned char type = 0;
  rc = CodeOfStatus(ProtoReadSection(ch, SPROTO_ID_DELTATYPE, type));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): ReadFile: Failed to get delta type. %s\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  delta_type = type;
  unsigned long long length = 0;
  rc = CodeOfStatus(ProtoReadSection(ch, SPROTO_ID_DELTALEN, length));
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): ReadFile: Failed to get file length. %s\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  if (length < offset) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): ReadFile: file length %llu is below the offset %llu\n", __LINE__, length,
                   offset);
    return ERR_PROTO;
  }

  TransferProgress progress(length, false);
  unsigned long long done = offset;
  while (done < length) {
    unsigned int block_id = 0;
    rc = CodeOfStatus(ProtoReadSection(ch, SPROTO_ID_DELTAID, block_id));
    if (rc != ERR_OK) {
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): ReadFile: Failed to get block id. %s\n",
                     __LINE__, GetErrorString(rc));
      return rc;
    }
    unsigned n = 0;
    rc = CodeOfStatus(ProtoReadSection(ch, SPROTO_ID_DELTADATA, buf.get(), kFileRecvBufferSize, n));
    if (rc != ERR_OK) {
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): ReadFile: Failed to get block data. %s\n",
                     __LINE__, GetErrorString(rc));
      return rc;
    }
    // Nothing past the announced length is written: the sender and this
    // side would disagree on where the file ends.
    if (n > length - done) {
      Logger::LogMsg(Logger::L_ERR, kComponent,
                     "[ERROR] proto-common(%d): ReadFile: block %u of %u bytes passes the length %llu at %llu\n",
                     __LINE__, block_id, n, length, done);
      return ERR_PROTO;
    }
    int err = WriteAll(fd.get(), buf.get(), n);
    if (err != 0) {
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): ReadFile: write: %s\n", __LINE__,
                     ErrnoText(err).c_str());
      return LocalWriteError(err);
    }
    done += n;
    progress.Update(done, done - offset, false);
  }
  if (close(fd.release()) != 0) {
    int err = errno;
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): ReadFile: close: %s\n", __LINE__,
                   ErrnoText(err).c_str());
    return LocalWriteError(err);
  }
  progress.Update(done, done - offset, true);
  return ERR_OK;
}

}  // namespace

ErrorCode ProtoReadFile(Channel& ch, unsigned char& delta_type, const ustring& path) {
  return ReceiveFile(ch, delta_type, path, 0);
}

ErrorCode ProtoReadFile2(Channel& ch, unsigned char& delta_type, const ustring& path, unsigned long long offset) {
  Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): ReadFile: offset is %llu \n", __LINE__, offset);
  return ReceiveFile(ch, delta_type, path, offset);
}
