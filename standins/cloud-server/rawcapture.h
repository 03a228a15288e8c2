#pragma once

#include <string>
#include <vector>

#include <openssl/ssl.h>

// Request heads exactly as the client sent them, per TLS connection.
//
// The HTTP library drops a header line whose value is empty while it parses
// a request, yet whether a client sent "X-LC-Id:" with nothing after the
// colon is one of the things the tests must see. So this program wraps the
// TLS read the library calls (SSL_read; the executable's definition takes
// precedence over libssl's in the dynamic linker's lookup) and keeps the
// plaintext of each connection until the request it belongs to is handled.

// The header lines (without the request line and without the line ends) of
// the oldest request not yet taken on this connection, and forgets that
// request's head and its bodyLength bytes of body. Empty when nothing was
// captured (a connection not made through SSL_read).
std::vector<std::string> TakeRawHeaderLines(const SSL* ssl, size_t bodyLength);
