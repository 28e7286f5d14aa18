// ErrorType: which report a daemon error code gives the user interface.
#ifndef SERVER_ERROR_TYPE_H_
#define SERVER_ERROR_TYPE_H_

enum ErrorType {
  ERR_NONE = 0,        // no report
  ERR_SESSION = 1,     // UI_IPC::ReportSessionErrorToUI
  ERR_CONNECTION = 2,  // UI_IPC::ReportConnectionErrorToUI
  ERR_FILE = 3,        // UI_IPC::ReportFileLockedEventToUI (the worker's locked files)
};

#endif  // SERVER_ERROR_TYPE_H_
