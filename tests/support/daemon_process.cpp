#include "support/daemon_process.h"

#include <gtest/gtest.h>

#include <utility>

namespace testsupport {

DaemonProcess::DaemonProcess(std::string binary, std::string folder)
    : DaemonProcessCore(std::move(binary), std::move(folder)) {}

DaemonProcess::~DaemonProcess() { Kill(); }

bool DaemonProcess::Start(const std::vector<std::string>& extra) {
  std::string error;
  bool ok = DaemonProcessCore::Start(extra, &error);
  if (!ok) ADD_FAILURE() << error;
  return ok;
}

bool DaemonProcess::StartWithArgs(const std::vector<std::string>& args) {
  std::string error;
  bool ok = DaemonProcessCore::StartWithArgs(args, &error);
  if (!ok) ADD_FAILURE() << error;
  return ok;
}

bool DaemonProcess::WaitExit(int* code, std::chrono::milliseconds timeout) {
  std::string error;
  bool reaped = DaemonProcessCore::WaitExit(code, timeout, &error);
  if (!error.empty()) ADD_FAILURE() << error;
  if (reaped) CheckSanitizerReport();
  return reaped;
}

void DaemonProcess::Kill() {
  if (!running()) return;
  DaemonProcessCore::Kill();
  CheckSanitizerReport();
}

void DaemonProcess::CheckSanitizerReport() const {
  std::string report = SanitizerReport();
  if (!report.empty()) ADD_FAILURE() << "the daemon reported a sanitizer error:\n" << report;
}

}  // namespace testsupport
