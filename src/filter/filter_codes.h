// Result codes of the filter tests. 0 means the path, name or size passes.
// Later subsystems store -12 to -15 as the filter type of held-back events
// and resume conditions, so the values are part of stored data: never renumber.
#ifndef FILTER_FILTER_CODES_H_
#define FILTER_FILTER_CODES_H_

enum {
  FILTER_ERROR = -1,                        // the path cannot be tested
  FILTER_CHAR = -2,                         // a name holds a black_char byte
  FILTER_PREFIX = -3,                       // a name begins with a black_prefix entry
  FILTER_NAME = -4,                         // a name equals a black_name entry
  FILTER_EXT = -5,                          // a file's extension equals a black_ext entry
  FILTER_LENGTH = -6,                       // a name is longer than max_length
  FILTER_PATH = -7,                         // given by no test; kept for stored data
  FILTER_FILE_SIZE = -8,                    // a file is larger than max_size
  FILTER_PATH_SIZE = -9,                    // a full path is longer than max_path
  FILTER_EA_NAME = -10,                     // an extended-attribute name is black-listed
  FILTER_DIR_PREFIX = -11,                  // the path lies at or under a black_dir_prefix entry
  FILTER_EXT_SELECTIVE_SYNC = -12,          // extension left out by selective sync
  FILTER_PATH_PREFIX_SELECTIVE_SYNC = -13,  // folder left out by selective sync
  FILTER_NAME_SELECTIVE_SYNC = -14,         // file name left out by selective sync
  FILTER_FILE_SIZE_SELECTIVE_SYNC = -15,    // file larger than the selective-sync limit
};

#endif  // FILTER_FILTER_CODES_H_
