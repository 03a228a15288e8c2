#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// Thin layer over the platform's TCP/IPv4 sockets. A socket is a signed
// 32-bit handle; -1 means none.

// 0 when sockets are usable (nothing to start on POSIX systems), -1 otherwise.
int SocketStartup();
// A socket connected to a dotted IPv4 address within `timeout`, or -1. Host
// names are not resolved.
int SocketConnect(const char* ip, uint16_t port, std::chrono::milliseconds timeout);
// One read: bytes read, 0 when the peer closed, negative on error.
int SocketRecv(int socket, char* buffer, size_t size);
// Lets a blocked read give up after `timeout` (zero: never); the read then
// fails and SocketReadTimedOut says why.
void SocketSetReadTimeout(int socket, std::chrono::milliseconds timeout);
// Whether the last failed read on this thread failed only for the time-out.
bool SocketReadTimedOut();
// Sends all bytes (a partial frame would corrupt the stream): length, or -1.
int SocketSend(int socket, const char* data, size_t length);
// Wakes a thread blocked reading the socket without releasing the handle,
// so the handle cannot be reused while that thread still holds it.
void SocketShutdown(int socket);
// Shuts the connection down and releases the handle.
void SocketClose(int socket);
