// The sending half of the section file transfer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

#include "foundation/logger.h"
#include "protocol/proto_section.h"
#include "protocol/proto_section_file.h"
#include "protocol/proto_section_internal.h"
#include "protocol/proto_section_progress.h"
#include "transport/channel.h"

using proto_section_internal::ErrnoText;
using proto_section_internal::kComponent;
using proto_section_internal::TransferProgress;

namespace {

// The size of the file behind `fp` (0 for anything but a regular file). 0,
// or ERR_SYS after the line.
ErrorCode GetSizeFromFilePointer(FILE* fp, unsigned long long& size) {
  struct stat st;
  if (fstat(fileno(fp), &st) != 0) {
    int err = errno;
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): fstat: %s (%d)\n", __LINE__,
                   ErrnoText(err).c_str(), err);
    return ERR_SYS;
  }
  size = S_ISREG(st.st_mode) ? static_cast<unsigned long long>(st.st_size) : 0;
  return ERR_OK;
}

// Opens a regular file for reading, or gives null after the line. O_NONBLOCK
// keeps the open itself from waiting on a FIFO; such files are refused.
FILE* OpenForSend(const ustring& path) {
  int fd = open(path.c_str_utf8(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st;
  int flags = -1;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) flags = fcntl(fd, F_GETFL);
  FILE* fp = nullptr;
  if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
    // Only a hint: a file system that refuses it still works.
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    fp = fdopen(fd, "rb");
  }
  if (fp == nullptr) {
    if (fd >= 0) (void)close(fd);  // read-only: nothing to lose
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): WriteFile: Failed to open file '%s'\n",
                   __LINE__, path.c_str_utf8());
  }
  return fp;
}

ErrorCode SendFile(Channel& ch, unsigned char delta_type, FILE* fp, unsigned long long offset, size_t block) {
  if (fp == nullptr) return ERR_INVAL;
  unsigned long long size = 0;
  ErrorCode rc = GetSizeFromFilePointer(fp, size);
  if (rc != ERR_OK) return rc;
  if (offset > size) {
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] proto-common(%d): WriteFile: offset %llu is larger than size %llu \n", __LINE__, offset,
                   size);
    return ERR_INVAL;
  }
  // offset <= size, which fits off_t.
  if (fseeko(fp, static_cast<off_t>(offset), SEEK_SET) != 0) {
    int err = errno;
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): WriteFile: fseek: %s\n", __LINE__,
                   ErrnoText(err).c_str());
    return ERR_SYS;
  }
  std::unique_ptr<char[]> buf(new (std::nothrow) char[block]);
  if (!buf) {
    Logger::LogMsg(Logger::L_CRIT, kComponent, "[CRIT] proto-common(%d): out of memory\n", __LINE__);
    return ERR_SYS;
  }

  rc = ProtoWriteSection(ch, SPROTO_ID_DELTATYPE, delta_type);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): WriteFile: Failed to send delta type. %s\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  rc = ProtoWriteSection(ch, SPROTO_ID_DELTALEN, size);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): WriteFile: Failed to send file length. %s\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }

  // Exactly the announced bytes go out, whatever the file does meanwhile:
  // the receiver counts them to find the end.
  TransferProgress progress(size, true);
  unsigned long long sent = 0;
  unsigned int block_id = 0;
  while (offset + sent < size) {
    unsigned long long left = size - offset - sent;
    size_t want = left < block ? static_cast<size_t>(left) : block;
    size_t got = fread(buf.get(), 1, want, fp);
    if (got == 0) {
      if (ferror(fp)) {
        int err = errno;
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): WriteFile: read: %s\n", __LINE__,
                       ErrnoText(err).c_str());
        return ERR_SYS;
      }
      Logger::LogMsg(Logger::L_ERR, kComponent,
                     "[ERROR] proto-common(%d): WriteFile: file ended at %llu of %llu announced bytes\n", __LINE__,
                     offset + sent, size);
      return ERR_PROTO;
    }
    rc = ProtoWriteSection(ch, SPROTO_ID_DELTAID, block_id);
    if (rc != ERR_OK) {
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): WriteFile: Failed to send block id. %s\n",
                     __LINE__, GetErrorString(rc));
      return rc;
    }
    rc = ProtoWriteSection(ch, SPROTO_ID_DELTADATA, buf.get(), static_cast<unsigned>(got));
    if (rc != ERR_OK) {
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): WriteFile: Failed to send block data. %s\n",
                     __LINE__, GetErrorString(rc));
      return rc;
    }
    rc = ch.FlushWrite(0);
    if (rc != ERR_OK) {
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): WriteFile: Failed to send data. %s\n",
                     __LINE__, GetErrorString(rc));
      return rc;
    }
    sent += got;
    ++block_id;
    progress.Update(offset + sent, sent, false);
  }
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] proto-common(%d): WriteFile: End of file\n", __LINE__);
  rc = ch.FlushWrite(0);
  if (rc != ERR_OK) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] proto-common(%d): WriteFile: Failed to send data. %s\n",
                   __LINE__, GetErrorString(rc));
    return rc;
  }
  progress.Update(offset + sent, sent, true);
  return ERR_OK;
}

ErrorCode SendPath(Channel& ch, unsigned char delta_type, const ustring& path, unsigned long long offset,
                   size_t block) {
  FILE* fp = OpenForSend(path);
  if (fp == nullptr) return ERR_SYS;
  ErrorCode rc = SendFile(ch, delta_type, fp, offset, block);
  (void)fclose(fp);  // opened for reading only: nothing can be lost
  return rc;
}

}  // namespace

ErrorCode ProtoWriteFile(Channel& ch, unsigned char delta_type, FILE* fp) {
  return SendFile(ch, delta_type, fp, 0, kFileBlockSize);
}

ErrorCode ProtoWriteFile(Channel& ch, unsigned char delta_type, const ustring& path) {
  return SendPath(ch, delta_type, path, 0, kFileBlockSize);
}

ErrorCode ProtoWriteFile2(Channel& ch, unsigned char delta_type, FILE* fp, unsigned long long offset) {
  return SendFile(ch, delta_type, fp, offset, kFileBlockSize2);
}

ErrorCode ProtoWriteFile2(Channel& ch, unsigned char delta_type, const ustring& path, unsigned long long offset) {
  return SendPath(ch, delta_type, path, offset, kFileBlockSize2);
}
