#include "support/tree_snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <vector>

namespace testsupport {

namespace {

constexpr char kRecycle[] = "/.ZarqelonWorkingDirectory/#ZarqRecycle/";

std::string Hex(const unsigned char* bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

constexpr char kWorkingFolder[] = "/.ZarqelonWorkingDirectory";

// SHA-256 and length of the file at `path`; false when it cannot be opened.
bool FileSha256(const std::string& path, std::string* sha256, uint64_t* size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
  std::vector<char> buf(1 << 16);
  uint64_t total = 0;
  ssize_t n;
  while ((n = read(fd, buf.data(), buf.size())) > 0) {
    EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<size_t>(n));
    total += static_cast<uint64_t>(n);
  }
  close(fd);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx.get(), md, &len);
  *sha256 = Hex(md, len);
  *size = total;
  return true;
}

void Walk(const std::string& root, const std::string& rel, const TreeSnapshot::Options& options,
          std::map<std::string, TreeEntry>& out) {
  DIR* dir = opendir((root + rel).c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (dirent* d = readdir(dir)) {
    const std::string name = d->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  for (const std::string& name : names) {
    const std::string path = rel + "/" + name;
    if (options.skip_working_folder && path == kWorkingFolder) continue;
    const std::string full = root + path;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    TreeEntry e;
    if (S_ISREG(st.st_mode)) {
      e.type = 'f';
      if (!FileSha256(full, &e.sha256, &e.size)) {
        if (!options.vanished_as_entry) ADD_FAILURE() << "cannot read " << full;
        e = TreeEntry{};
        e.type = 'v';
      }
    } else if (S_ISDIR(st.st_mode)) {
      e.type = 'd';
    } else if (S_ISLNK(st.st_mode)) {
      e.type = 'l';
      std::vector<char> target(4096);
      const ssize_t n = readlink(full.c_str(), target.data(), target.size());
      if (n > 0) e.link_target.assign(target.data(), static_cast<size_t>(n));
    } else {
      e.type = 'o';
    }
    out[path] = e;
    if (e.type == 'd') Walk(root, path, options, out);
  }
}

}  // namespace

std::string Describe(const TreeEntry& e) {
  std::ostringstream os;
  os << e.type;
  if (e.type == 'f') os << " " << e.size << " " << e.sha256.substr(0, 12);
  if (e.type == 'l') os << " -> " << e.link_target;
  return os.str();
}

namespace {

// The stem of a name: the part before its last "." (the whole name when it
// has none or begins with it).
std::string Stem(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// Whether `moved` is `path` with one of its folders renamed to a conflict
// name ("/d/x" kept as "/d_PC1_..._Conflict/x").
bool UnderConflictFolder(const std::string& path, const std::string& moved) {
  for (size_t start = 1, slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
    const std::string head = path.substr(0, slash) + "_";  // "/d_"
    const std::string rest = path.substr(slash);           // "/x"
    if (moved.size() > head.size() + rest.size() && moved.compare(0, head.size(), head) == 0 &&
        moved.compare(moved.size() - rest.size(), rest.size(), rest) == 0 &&
        moved.find('/', head.size()) == moved.size() - rest.size()) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string Sha256Hex(const std::string& bytes) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_sha256(), nullptr);
  return Hex(md, len);
}

TreeSnapshot TreeSnapshot::Take(const std::string& root, Options options) {
  TreeSnapshot snap;
  Walk(root, "", options, snap.entries_);
  return snap;
}

std::string TreeSnapshot::Diff(const TreeSnapshot& other) const {
  std::ostringstream os;
  for (const auto& [path, e] : entries_) {
    auto it = other.entries_.find(path);
    if (it == other.entries_.end()) {
      os << "- " << path << " (" << Describe(e) << ")\n";
    } else if (!(it->second == e)) {
      os << "~ " << path << " (" << Describe(e) << " -> " << Describe(it->second) << ")\n";
    }
  }
  for (const auto& [path, e] : other.entries_) {
    if (entries_.find(path) == entries_.end()) os << "+ " << path << " (" << Describe(e) << ")\n";
  }
  return os.str();
}

void ExpectNothingLost(const TreeSnapshot& before, const TreeSnapshot& after, const std::set<std::string>& store) {
  for (const auto& [path, e] : before.entries()) {
    if (e.type != 'f') continue;
    auto same = after.entries().find(path);
    if (same != after.entries().end() && same->second.sha256 == e.sha256) continue;
    if (store.count(e.sha256) != 0) continue;
    const size_t slash = path.rfind('/');
    const std::string folder = path.substr(0, slash + 1);
    const std::string conflict_prefix = folder + Stem(path.substr(slash + 1)) + "_";
    bool found = false;
    for (const auto& [other, oe] : after.entries()) {
      if (oe.type != 'f' || oe.sha256 != e.sha256) continue;
      const bool conflict = other.compare(0, conflict_prefix.size(), conflict_prefix) == 0 &&
                            other.find('/', folder.size()) == std::string::npos;
      const bool recycled = other.compare(0, sizeof kRecycle - 1, kRecycle) == 0;
      if (conflict || recycled || UnderConflictFolder(path, other)) {
        found = true;
        break;
      }
    }
    EXPECT_TRUE(found) << "the bytes of " << path << " (" << Describe(e) << ") are lost";
  }
}

}  // namespace testsupport
