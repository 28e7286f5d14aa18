// Requests that ask the server to turn the connection into a TLS one, in the
// section encoding and in the tagged-object encoding. Each sends the request,
// flushes it and (except the first) waits for the reply on the same channel;
// switching the channel itself to TLS is the caller's next step.
#ifndef PROTOCOL_PROTO_SECTION_SSL_H_
#define PROTOCOL_PROTO_SECTION_SSL_H_

#include <cstdint>

#include "protocol/proto_section_record.h"

class Channel;

struct SSLServiceReq {
  ProtocolVersion proto_ver;
  uint32_t ssl_option = 0;
};

struct SSLServiceResponse {
  uint8_t response_code = 0;
  uint32_t misc_response = 0;
};

// Flushes what is pending, then sends the header with SCMD_REQUEST_SSL and
// flushes again. No reply is read. 0, or the channel's code.
ErrorCode ProtoWriteSSLServiceRequest(Channel& ch);

// Flushes what is pending, then sends the header with SCMD_REQUEST_SSL_2,
// the protocol version section and SPROTO_ID_SSL_OPTION, and flushes. Then
// reads the reply: a header whose command must be SCMD_REQUEST_SSL_2 (else
// ERR_PROTO), SPROTO_ID_RES, and unless that is SPROTO_RES_UPGRADE,
// SPROTO_ID_SSL_RESPONSE_OPTION.
// Result by the response code: SPROTO_RES_OK 0 (ERR_OK), SPROTO_RES_ERR
// ERR_SERVER, SPROTO_RES_UPGRADE ERR_VERSION, any other ERR_SYS. A failed
// step gives its own code: the channel's, or ERR_PROTO for a bad header or a
// wrong section id.
ErrorCode ProtoWriteSSLServiceRequest2OLD(Channel& ch, const SSLServiceReq& req);

// The same request as a PObject: InitRequest "encrypt_channel" with
// "proto_ver" {"major", "minor", "build"} and "ssl_option", after the header
// with SCMD_REQUEST_SSL_2; then one reply PObject (binaries in it, and more
// than 1024 values, are refused). 0; ERR_IO when sending or receiving fails
// (the channel is then out of step); ERR_SERVER when the reply carries an
// "error" member.
ErrorCode ProtoWriteSSLServiceRequest2(Channel& ch, const SSLServiceReq& req);

#endif  // PROTOCOL_PROTO_SECTION_SSL_H_
