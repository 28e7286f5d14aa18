// File-system kinds from statfs: names, FAT detection, case sensitivity.
#ifndef PLATFORM_FS_TYPE_H_
#define PLATFORM_FS_TYPE_H_

#include <string>

namespace platform {

// How names are matched in folders of one file system.
enum class CaseRule {
  kSensitive,    // lstat already matches the exact bytes
  kInsensitive,  // every folder ignores letter case (FAT, exFAT, NTFS, SMB)
  kPerFolder,    // ext4 / f2fs with casefold support: folders carrying
                 // FS_CASEFOLD_FL ignore case, others do not
};

// Case rule of a statfs f_type. `casefold_supported` says whether the
// kernel's driver for that file system lists "casefold" among its features.
CaseRule CaseRuleOfType(unsigned long f_type, bool casefold_supported);

// Whether f_type is FAT (vfat/msdos) or exFAT.
bool IsFatType(unsigned long f_type);

// Whether f_type is FAT (vfat/msdos) alone, whose files stay below 4 GiB;
// exFAT is not.
bool IsVfatType(unsigned long f_type);

// A readable name for f_type ("vfat", "exfat", "ext4", ...), or "0x" and
// the hexadecimal value for a type not in the table.
std::string FsTypeName(unsigned long f_type);

// statfs(path): the f_type. Returns 0, or the errno value. With a test
// answer installed, that answer instead.
int FsTypeOfPath(const char* path, unsigned long* f_type);

// Makes FsTypeOfPath answer `f_type` (and 0) for every path, since no FAT
// volume can be mounted in a test; `nullptr` goes back to statfs. Safe from
// any thread.
void SetFsTypeForTest(const unsigned long* f_type);

}  // namespace platform

#endif  // PLATFORM_FS_TYPE_H_
