#include "platform/fs_type.h"

#include <sys/statfs.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace platform {

namespace {

constexpr unsigned long kMsdosMagic = 0x4d44;
constexpr unsigned long kExfatMagic = 0x2011BAB0;
constexpr unsigned long kNtfs3Magic = 0x7366746e;
constexpr unsigned long kCifsMagic = 0xFF534D42;
constexpr unsigned long kSmb2Magic = 0xFE534D42;
constexpr unsigned long kExt4Magic = 0xEF53;
constexpr unsigned long kF2fsMagic = 0xF2F52010;

struct NamedType {
  unsigned long magic;
  const char* name;
};

// The file systems a sync folder may plausibly sit on; others print in hex.
constexpr NamedType kNames[] = {
    {kMsdosMagic, "vfat"},       {kExfatMagic, "exfat"},      {kNtfs3Magic, "ntfs3"},
    {0x5346544e, "ntfs"},        {kCifsMagic, "cifs"},        {kSmb2Magic, "smb2"},
    {kExt4Magic, "ext4"},        {kF2fsMagic, "f2fs"},        {0x58465342, "xfs"},
    {0x9123683E, "btrfs"},       {0x01021994, "tmpfs"},       {0x858458f6, "ramfs"},
    {0x794c7630, "overlay"},     {0x6969, "nfs"},             {0x65735546, "fuse"},
    {0x2fc12fc1, "zfs"},         {0x73717368, "squashfs"},    {0xE0F5E1E2, "erofs"},
    {0x4244, "hfs"},             {0x482b, "hfsplus"},         {0x9660, "iso9660"},
    {0x15013346, "udf"},         {0x01021997, "9p"},          {0x52654973, "reiserfs"},
    {0x3153464a, "jfs"},         {0xca451a4e, "bcachefs"},    {0x3434, "nilfs"},
    {0xf15f, "ecryptfs"},
};

// A test's answer for every path: a flag and the value, so that any f_type
// (0 included) can be given.
std::atomic<bool> g_test_answer_set{false};
std::atomic<unsigned long> g_test_answer{0};

}  // namespace

CaseRule CaseRuleOfType(unsigned long f_type, bool casefold_supported) {
  switch (f_type) {
    case kMsdosMagic:
    case kExfatMagic:
    case kNtfs3Magic:
    case kCifsMagic:
    case kSmb2Magic:
      return CaseRule::kInsensitive;
    case kExt4Magic:
    case kF2fsMagic:
      return casefold_supported ? CaseRule::kPerFolder : CaseRule::kSensitive;
    default:
      return CaseRule::kSensitive;
  }
}

bool IsFatType(unsigned long f_type) { return f_type == kMsdosMagic || f_type == kExfatMagic; }

bool IsVfatType(unsigned long f_type) { return f_type == kMsdosMagic; }

std::string FsTypeName(unsigned long f_type) {
  for (const NamedType& t : kNames) {
    if (t.magic == f_type) return t.name;
  }
  char buf[32];
  snprintf(buf, sizeof buf, "0x%lx", f_type);
  return buf;
}

int FsTypeOfPath(const char* path, unsigned long* f_type) {
  if (g_test_answer_set.load(std::memory_order_acquire)) {
    *f_type = g_test_answer.load(std::memory_order_relaxed);
    return 0;
  }
  struct statfs sfs;
  if (statfs(path, &sfs) != 0) return errno;
  // f_type is a signed word; the magic numbers are compared unsigned.
  *f_type = static_cast<unsigned long>(sfs.f_type) & 0xFFFFFFFFul;
  return 0;
}

void SetFsTypeForTest(const unsigned long* f_type) {
  if (f_type == nullptr) {
    g_test_answer_set.store(false, std::memory_order_release);
    return;
  }
  g_test_answer.store(*f_type, std::memory_order_relaxed);
  g_test_answer_set.store(true, std::memory_order_release);
}

}  // namespace platform
