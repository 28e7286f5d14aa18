// Text in the section encoding: variable data holding the text's bytes,
// with or without a section id, plain or scrambled.
//
// Encodings on the wire: std::string as its bytes; ustring as its UTF-8
// bytes; std::u16string converted to UTF-8 (the wide forms). The Enc/Dec
// forms carry SyncPassEnc of those bytes and give SyncPassDec of what
// arrives.
//
// Writers: 0; ERR_INVAL, nothing written, when the bytes (scrambled, for
// Enc) exceed kMaxVarData or a wide text is not valid UTF-16 (the
// "wcstombs" line); the channel's code.
// Readers take at most kMaxStringBytes (8192) bytes and end the text at its
// first NUL. They give the byte count of the variable data as it arrived
// (the section forms 3 + that count); ERR_PROTO for a longer text, a wrong
// section id, or bytes that are not valid UTF-8 for a wide text (the
// "mbstowcs" line); the channel's code. The output is set only on success.
// A ustring keeps the bytes as they arrived, valid UTF-8 or not.
#ifndef PROTOCOL_PROTO_SECTION_STRING_H_
#define PROTOCOL_PROTO_SECTION_STRING_H_

#include <string>

#include "foundation/ustring.h"
#include "protocol/proto_section.h"

class Channel;

// Variable data holding the text (no section id).
ErrorCode ProtoWriteString(Channel& ch, const std::string& text);
ErrorCode ProtoWriteString(Channel& ch, const std::u16string& text);
ErrorCode ProtoWriteString(Channel& ch, const ustring& text);
int ProtoReadString(Channel& ch, std::string& text);
int ProtoReadString(Channel& ch, std::u16string& text);
int ProtoReadString(Channel& ch, ustring& text);

// The same, scrambled with the stored-password scrambling.
ErrorCode ProtoWriteEncString(Channel& ch, const std::string& text);
ErrorCode ProtoWriteEncString(Channel& ch, const std::u16string& text);
ErrorCode ProtoWriteEncString(Channel& ch, const ustring& text);
int ProtoReadDecString(Channel& ch, std::string& text);
int ProtoReadDecString(Channel& ch, std::u16string& text);
int ProtoReadDecString(Channel& ch, ustring& text);

// A variable section (the row of `id` must be one: else ERR_PROTO, nothing
// written or read) holding the text as UTF-8, plain or scrambled.
ErrorCode ProtoWriteSection(Channel& ch, unsigned char id, const ustring& text);
int ProtoReadSection(Channel& ch, unsigned char id, ustring& text);
ErrorCode ProtoWriteEncSection(Channel& ch, unsigned char id, const ustring& text);
int ProtoReadDecSection(Channel& ch, unsigned char id, ustring& text);

#endif  // PROTOCOL_PROTO_SECTION_STRING_H_
