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

}  // namespace

void Worker::ClearPObject(PObject& obj) {
  const ustring& folder = context.working_directory;
  const PObject& view = obj;  // const access never inserts members
  const ustring file_data = view["file"]["data"].asBinary().path;
  // Only files the worker made itself (received bodies, temporary deltas)
  // live in the working folder; anything else is a user's file.
  if (!file_data.empty() && IsInside(file_data, folder)) (void)FSRemove(file_data, false);
  const ustring attr_data = view["mac_attribute"]["data"].asBinary().path;
  if (!attr_data.empty() && IsInside(attr_data, folder)) (void)FSRemove(attr_data, false);
  obj.clear();
}

void Worker::ClearCache() {
  ClearPObject(cached_response);
  ClearPObject(cached_request);
  if (!upload_sign_file.empty()) (void)FSRemove(upload_sign_file, false);  // a missing file is fine
  upload_sign_file.clear();
}
