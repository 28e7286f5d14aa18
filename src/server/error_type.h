// ErrorType: which report a daemon error code gives the user interface. Its
// own type: a report kind is never read as a daemon code, nor one as the other.
#ifndef SERVER_ERROR_TYPE_H_
#define SERVER_ERROR_TYPE_H_

enum class ErrorType {
  kNone,        // no report
  kSession,     // UiReporter::ReportSessionErrorToUI
  kConnection,  // UiReporter::ReportConnectionErrorToUI
  kFile,        // UiReporter::ReportFileErrorToUI (the worker's locked files)
};

#endif  // SERVER_ERROR_TYPE_H_
