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

// A readable name for f_type ("vfat", "exfat", "ext4", ...), or "0x" and
// the hexadecimal value for a type not in the table.
std::string FsTypeName(unsigned long f_type);

// statfs(path): the f_type. Returns 0, or the errno value.
int FsTypeOfPath(const char* path, unsigned long* f_type);

}  // namespace platform

#endif  // PLATFORM_FS_TYPE_H_
