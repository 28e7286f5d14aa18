// Host-name check of a server certificate. Internal to the TLS half of
// Channel; exposed for its tests.
#ifndef TRANSPORT_CERT_HOSTNAME_H_
#define TRANSPORT_CERT_HOSTNAME_H_

#include <cstddef>

#include "foundation/ustring.h"

// Whether the certificate name `pattern` covers `hostname`, ignoring ASCII
// case. A pattern "*.N" covers N itself and any host of exactly one more
// label in front of N; a pattern that begins with "*" but not with "*.", or
// is "*." alone, covers nothing. Any other pattern must equal the host name.
// IP addresses are compared as names. Comparisons use the explicit lengths.
bool checkCertHostnameMatch(ustring const& pattern, ustring const& hostname);

// The same over raw certificate bytes, which may hold a NUL: a name whose
// `len` differs from its C-string length (an embedded NUL, as in
// "server.test\0.evil.example") never matches.
bool CertNameMatches(const char* name, size_t len, ustring const& hostname);

#endif  // TRANSPORT_CERT_HOSTNAME_H_
