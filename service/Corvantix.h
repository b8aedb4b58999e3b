#pragma once

// The service's HTTP layer over libmicrohttpd: who may connect, what a
// request must carry (POST, TLS 1.2 or later, a loopback Host, the form field
// "Parameter" holding the request in Base64, an origin), the private-network
// preflight, and the reply with its CORS headers.

#include <cstddef>
#include <cstdint>
#include <microhttpd.h>
#include <mutex>
#include <netinet/in.h>
#include <string>

// The most a request may post; a longer upload is dropped unanswered.
inline constexpr std::size_t kMaxPostedText = 1024 * 1024;

// An idle connection is closed after this many seconds without traffic: the
// time the service announces in its "Keep-Alive: timeout=15" header.
inline constexpr unsigned kConnectionTimeoutSeconds = 15;

// One internal polling thread per daemon (requests run one at a time), with
// the best poller the library has: epoll where it can, so descriptors at or
// above FD_SETSIZE are served too.
inline constexpr unsigned kDaemonFlagsIpv4 =
    MHD_USE_ERROR_LOG | MHD_USE_TLS | MHD_USE_AUTO_INTERNAL_THREAD;

// The service runs six daemons: three ports, each on 127.0.0.1 and ::1.
inline constexpr unsigned kDaemonCount = 6;
// The most connections one daemon holds at once: a sixth of the soft limit
// of open files once a quarter of it (at least 256) is kept for the adapter
// copies, logs, lock files and sockets; at least 16, at most 2048.
unsigned connectionLimit();
// Raises the soft limit of open files to the hard limit; false when it cannot.
bool raiseOpenFileLimit();

// "NORMAL:!VERS-TLS-ALL:!SHA1" with TLS 1.2 and 1.3 added back.
std::string tlsPriorities();

// Requests, dispatch and the service's final function run one at a time.
std::mutex& requestLock();

// Starts one daemon with the service's callbacks; null when it cannot.
// address is a sockaddr_in or sockaddr_in6 (port in network order).
struct MHD_Daemon* startHttpsDaemon(unsigned flags, const struct sockaddr* address,
                                    const char* certificatePem, const char* keyPem,
                                    const char* priorities);

// ---- The service program --------------------------------------------------

// The program: returns 0 in every case.
int serviceMain(int argc, char** argv);
