// The test certificates and keys checked in under tests/data/pki (made by
// tests/data/pki/make-pki.sh): RSA 2048, SHA-256, valid for 100 years but
// the expired leaf.
//
//   ca.pem, ca.key          "TestCA", the trusted test authority
//   srv.pem, srv.key        CN=server.test, SAN DNS:*.example.test,
//                           DNS:server.test; signed by TestCA
//   cn-only.pem, .key       CN=server.test, no SAN; signed by TestCA
//   self-signed.pem, .key   CN=other.test, self-signed
//   expired.pem, .key       CN=server.test with srv's SAN, signed by TestCA,
//                           valid only from 2020-01-01 to 2021-01-01
//   ca2.pem, ca2.key        "OtherCA", an authority that signed none of these
#ifndef TESTS_SUPPORT_PKI_H_
#define TESTS_SUPPORT_PKI_H_

#include <string>

namespace testsupport {

// Absolute path of a file of the test PKI, e.g. PkiPath("ca.pem").
std::string PkiPath(const std::string& name);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_PKI_H_
