// Whole files in the section encoding, sent in blocks, with resume.
//
// On the wire: SPROTO_ID_DELTATYPE (the caller's type byte), SPROTO_ID_DELTALEN
// (the size of the whole file, also when resuming), then from the offset on,
// per block: SPROTO_ID_DELTAID (the block number, from 0) and
// SPROTO_ID_DELTADATA (the bytes). The sender flushes after every block.
//
// Results: 0; ERR_INVAL for a bad argument (null stream, an offset beyond
// the file); ERR_SYS for a local file that cannot be opened, read or
// written, or memory; ERR_LOCAL_DISKFULL when the disk fills while
// receiving; the channel's code; ERR_PROTO for a section the receiver does
// not expect, a block that would pass the announced length, or a source that
// ends before its announced size. Failures are logged on
// "proto_common_debug"; after one the channel is out of step.
//
// Threads: one thread per channel and per file.
#ifndef PROTOCOL_PROTO_SECTION_FILE_H_
#define PROTOCOL_PROTO_SECTION_FILE_H_

#include <cstddef>
#include <cstdio>

#include "foundation/ustring.h"
#include "transport/error_code.h"

class Channel;

// Block sizes of the two senders, and the receive buffer, which holds a
// block of either.
inline constexpr size_t kFileBlockSize = 8192;
inline constexpr size_t kFileBlockSize2 = 0xE000;  // 57344
inline constexpr size_t kFileRecvBufferSize = 65535;

// Sends `fp` from its start in blocks of kFileBlockSize. Exactly the size
// that fstat gave at the start is sent: a file that has grown meanwhile is
// cut there; one that ends early gives ERR_PROTO after the bytes it had.
// The stream stays the caller's and is left at an unspecified position.
ErrorCode ProtoWriteFile(Channel& ch, unsigned char delta_type, FILE* fp);
// The same for the regular file at `path` (anything else is refused:
// reading a FIFO or a device would block or never end).
ErrorCode ProtoWriteFile(Channel& ch, unsigned char delta_type, const ustring& path);

// The same from byte `offset` (ERR_INVAL, nothing sent, when it is beyond
// the size) in blocks of kFileBlockSize2.
ErrorCode ProtoWriteFile2(Channel& ch, unsigned char delta_type, FILE* fp, unsigned long long offset);
ErrorCode ProtoWriteFile2(Channel& ch, unsigned char delta_type, const ustring& path, unsigned long long offset);

// Receives a file into `path`, which is created or truncated (a path that
// names anything but a regular file is refused), and stores the type byte in
// `delta_type`. Complete when the announced length has arrived. What arrived
// before a failure stays in the file, so that a later ProtoReadFile2 can
// resume from its size.
ErrorCode ProtoReadFile(Channel& ch, unsigned char& delta_type, const ustring& path);

// The same, resuming at `offset`: 0 is ProtoReadFile; otherwise the file at
// `path` must exist and hold at least `offset` bytes (else ERR_INVAL, file
// untouched), is cut to `offset` and the blocks are appended. Complete when
// `offset` plus the bytes received equals the announced length (a length
// below `offset` is ERR_PROTO).
ErrorCode ProtoReadFile2(Channel& ch, unsigned char& delta_type, const ustring& path, unsigned long long offset);

#endif  // PROTOCOL_PROTO_SECTION_FILE_H_
