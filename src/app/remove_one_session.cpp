// One session out of the registry, the folder watch and the progress cache.
#include "app/app.h"

int VelkoraApp::remove_one_session(uint64_t sess_id, PObject& rsp) {
  (void)sess_id;
  (void)rsp;
  return -1;
}
