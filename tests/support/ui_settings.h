// StartUiForSettings: a user-interface stand-in that the daemon's settings
// point at, for tests of code that notifies the user interface.
//
// Header-only on purpose: only executables that already link `settings`
// include it.
#ifndef TESTS_SUPPORT_UI_SETTINGS_H_
#define TESTS_SUPPORT_UI_SETTINGS_H_

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "settings/settings.h"
#include "support/ui_stand_in.h"

namespace testsupport {

// Starts a stand-in, writes "ui_port=<its port>" as the configuration file
// `conf` and loads it into the process-wide settings. Null, after a test
// failure, when either step fails. The caller puts the settings back
// (Settings::resetToDefaults) before the stand-in goes.
inline std::unique_ptr<UiStandIn> StartUiForSettings(const std::string& conf) {
  auto ui = std::make_unique<UiStandIn>();
  if (ui->port() <= 0) {
    ADD_FAILURE() << "user-interface stand-in: " << ui->error();
    return nullptr;
  }
  std::ofstream(conf, std::ios::binary | std::ios::trunc) << "ui_port=" << ui->port() << "\n";
  if (Settings::getInstance()->loadConfigSettings(conf.c_str()) != 0) {
    ADD_FAILURE() << "cannot load " << conf;
    return nullptr;
  }
  return ui;
}

}  // namespace testsupport

#endif  // TESTS_SUPPORT_UI_SETTINGS_H_
