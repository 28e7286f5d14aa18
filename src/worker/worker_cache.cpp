// The resume cache of an interrupted transfer.
#include <string_view>

#include "foundation/file_op.h"
#include "worker/worker.h"
#include "worker/worker_log.h"

namespace {

// Whether `path` lies inside `folder` (a byte prefix followed by "/"). A
// bare prefix would also take the user's sibling ".ZarqelonWorkingDirectory2".
// A ".." component would lead back out of it.
bool IsInside(const ustring& path, const ustring& folder) {
  if (folder.empty() || path.length() <= folder.length() + 1) return false;
  if (path.compare(folder, folder.length()) != 0 || path[folder.length()] != '/') return false;
  const std::string_view rest(path.c_str_utf8() + folder.length(), path.length() - folder.length());
  return rest.find("/../") == std::string_view::npos && !rest.ends_with("/..");
}

// Deletes the file of every binary in `obj`, at any depth, that lies inside
// `folder`. A server may send a body under any key; each lands there.
void RemoveBodies(const PObject& obj, const ustring& folder) {
  if (obj.isBinary()) {
    const ustring& path = obj.asBinary().path;
    if (!path.empty() && IsInside(path, folder)) (void)FSRemove(path, false);
  } else if (obj.isMap()) {
    for (const auto& member : obj.asMap()) RemoveBodies(member.second, folder);
  } else if (obj.isArray()) {
    for (const PObject& element : obj.asArray()) RemoveBodies(element, folder);
  }
}

}  // namespace

void Worker::ClearPObject(PObject& obj) {
  // Only files the worker made itself (received bodies, temporary deltas)
  // live in the working folder; anything else is a user's file.
  // Never through a link put in place of the working folder: files of those
  // names there are not ours. Checked, not repaired: clearing makes
  // nothing (the next write into the folder repairs it).
  if (IsRealFolder(context.working_directory)) RemoveBodies(obj, context.working_directory);
  obj.clear();
}

ustring Worker::ReceiveFolder() {
  if (context.working_directory.empty() || Folders().Ensure() != 0) return ustring();
  return context.working_directory;
}

void Worker::ClearCache() {
  ClearPObject(cached_response);
  ClearPObject(cached_request);
  if (!upload_sign_file.empty()) (void)FSRemove(upload_sign_file, false);  // a missing file is fine
  upload_sign_file.clear();
}
