// A session's stored resume conditions into the progress cache.
#include "app/app.h"

int VelkoraApp::load_resume_condition(uint64_t sess_id) {
  (void)sess_id;
  return -1;
}
