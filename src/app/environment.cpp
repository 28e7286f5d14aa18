// The shared environment of a linked daemon: certificate path, filter and
// file-status databases, system filter; and its teardown.
#include "app/app.h"

#include "filter/black_list2.h"
#include "filter/file_status_db.h"
#include "filter/filter_db.h"
#include "filter/progress_cache.h"
#include "foundation/logger.h"
#include "server/connection_manager.h"
#include "session/event_manager.h"
#include "settings/settings.h"
#include "transport/channel.h"

namespace {

constexpr const char* kComponent = "client_debug";

}  // namespace

int VelkoraApp::init_env() {
  print_settings();
  Settings* settings = Settings::getInstance();
  // An empty path is handed on as it is: every verified TLS connection then
  // fails.
  Channel::SetVerifyCAPath(settings->getCertPath());

  const ustring filter_db = settings->getFilterDbPath();
  if (FilterDB::getInstance()->initialize(filter_db) < 0) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app(%d): Failed to init filter DB at [%s]\n", __LINE__,
                   filter_db.c_str_utf8());
    return -1;
  }
  // The file-status database only mirrors what is syncing; linking goes on
  // without it.
  (void)FileStatusDB::initialize(settings->getFStatDbPath());
  (void)FileStatusDB::removeAllEntry();

  const ustring system_filter = settings->getSystemFilterPath();
  if (BlackList2::getInstance()->Load(system_filter) < 0) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] app(%d): Failed to load system filter from %s.\n", __LINE__,
                   system_filter.c_str_utf8());
    return -1;
  }
  return 0;
}

void VelkoraApp::destroy_env() {
  FilterDB::getInstance()->destroy();
  FileStatusDB::destroy();
  BlackList2::getInstance()->Destroy();
  EventManager::getInstance()->Clear();
  Registry::getInstance().Clear();
  ConnectionManager::getInstance()->clear();
  ProgressCache::getInstance()->clear();
}

void VelkoraApp::print_settings() {
  if (!Logger::IsEnabled(Logger::L_DEBUG, kComponent)) return;
  Settings* s = Settings::getInstance();
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app(%d): ======= Settings =======\n", __LINE__);
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app(%d): pid_file_path: %s\n", __LINE__,
                 s->getPidFilePath().c_str_utf8());
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app(%d): log_file_path: %s\n", __LINE__,
                 s->getLogFilePath().c_str_utf8());
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app(%d): log_level_file_path: %s\n", __LINE__,
                 s->getLogLevelFilePath().c_str_utf8());
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app(%d): worker_count: %u\n", __LINE__,
                 s->getWorkerCount());
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app(%d): socket_path: %s\n", __LINE__,
                 s->getSocketPath().c_str_utf8());
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app(%d): is_foreground: %s\n", __LINE__,
                 s->isForeground() ? "true" : "false");
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app(%d): fstat_db_path: %s\n", __LINE__,
                 s->getFStatDbPath().c_str_utf8());
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app(%d): filter_db_path: %s\n", __LINE__,
                 s->getFilterDbPath().c_str_utf8());
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app(%d): cert_path: %s\n", __LINE__,
                 s->getCertPath().c_str_utf8());
}
