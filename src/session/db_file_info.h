// DBFileInfo: one record of a session's event database (event_table) as the
// program handles it, plus the path of the record's signature file. A plain
// value: copied member by member.
#ifndef SESSION_DB_FILE_INFO_H_
#define SESSION_DB_FILE_INFO_H_

#include <cstdint>

#include "foundation/ustring.h"

struct DBFileInfo {
  int isExist = 0;             // every write stores 1
  uint64_t syncID = 0;         // server sync id of the change that last wrote the record
  uint64_t maxSyncID = 0;      // highest sync id in the record's subtree
  int fileType = 0;            // 0 a file, 1 a folder
  uint64_t fileSize = 0;       // bytes
  ustring fileCheckSum;        // content hash as text
  uint32_t fileModTime = 0;    // Unix seconds
  uint32_t execBit = 0;
  ustring macHash;
  uint32_t unixUid = 0;
  uint32_t unixGid = 0;
  uint32_t unixMode = 0;
  ustring unixHash;
  ustring aclAttribute;
  ustring aclHash;
  uint32_t sharePrivDisabled = 0;
  ustring sharePrivDenyList;
  ustring sharePrivRoList;
  ustring sharePrivRwList;
  ustring sharePrivHash;
  uint64_t inode = 0;
  ustring path;  // session-relative: "/" for the root, /a/b below it
  // Read: the record's signature file (files only). Write: a freshly made
  // signature file that the record adopts (it is moved away).
  ustring signaturePath;

  // Every number 0, every string empty.
  void Clear() { *this = DBFileInfo(); }
};

#endif  // SESSION_DB_FILE_INFO_H_
