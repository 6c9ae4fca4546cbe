// TCP connections to a device and the two identification exchanges of its
// port 10000. All sockets are non-blocking once opened.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

inline constexpr int kIdentificationPort = 10000;
inline constexpr int kDefaultCommandPort = 9999;
inline constexpr int kDefaultDataPort = 10010;
// Replies are received in pieces of at most this many bytes.
inline constexpr std::size_t kReplyCapacity = 256;
// The longest reply a driver command takes: a controller's every code in one
// line (8 cards of 16 inputs, four digits each).
inline constexpr std::size_t kLongReplyCapacity = 1024;
// Identification replies must arrive within this time.
inline constexpr int kIdentificationTimeoutMs = 1000;
// Receive buffer requested for data connections: absorbs bursts of scan data
// between the acquisition thread's reads.
inline constexpr int kDataSocketRcvBuf = 32768;

// Connects to ip:port (only the low 16 bits of port count). Returns the
// socket or -1; the reason is printed on standard output. A connection that
// is still pending is waited for in at most 5 waits of 10 seconds.
int OpenTcp(const char* ip, int port, int reserved);
// OpenTcp for a data port: the socket's receive buffer is set to 32768 bytes.
int OpenTcp_DataPort(const char* ip, int port, int reserved);
int CloseTcp(int socket);
// 1 when the socket is readable within timeout_seconds, 0 when not, -1 on a
// poll error.
int IsDataAvailable(int socket, int timeout_seconds);

// Sends "10" and copies the model id of the reply into name, at most
// name_capacity - 1 characters and a NUL. 1 read, 0 failed (name untouched).
int GetModuleNameTCP(int socket, char* name, std::size_t name_capacity = 20);
// Sends "01" and decodes the firmware version (16 bits) and its date text
// (at most 25 characters). 1 read, 0 failed (outputs untouched).
int GetFirmVersionDateTCP(int socket, unsigned short* version, char* date);

// 1 when text is a dotted IPv4 address accepted by inet_pton, else 0.
int isValidIPv4(const char* text);

// Sends all of buf without raising SIGPIPE; the byte count sent or -1.
long send_all(int socket, const void* buf, std::size_t len);

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// The fuzz targets' fake device answers from inside send_all, on the sending
// thread, so that an exchange costs no hand-off to another thread.
extern void (*fuzz_after_send)(int socket);
#endif

// Receives one CR-terminated reply into buf (capacity bytes, NUL-terminated,
// CR kept). Pieces are accumulated; bytes beyond capacity - 1 are read and
// dropped so the stream stays in step. Waits at most timeout_ms and honours
// the calling thread's exchange-abort descriptor. Returns the number of bytes
// stored, 0 when nothing arrived; *complete tells whether a CR ended it.
// multi_line: the reply holds lines of its own; it ends at a CR that is the
// last byte received, with nothing more waiting.
std::size_t receive_reply(int socket, char* buf, std::size_t capacity, int timeout_ms,
                          bool* complete, bool multi_line = false);

// Readies a data connection for a new run: one the device closed or reset
// (also behind bytes still waiting) is replaced by a new connection to
// ip:port under the same descriptor number, so that nothing holding the
// number sees it change. False when it had ended and no new connection
// could be made.
bool renew_data_connection(int socket, const char* ip, int port);

// Drops whatever is waiting on the socket without blocking.
void discard_pending(int socket);
// Drops what arrives on the socket until nothing has come for quiet_ms since
// quiet_from_ms (monotonic milliseconds, GetNowMillisecond) or a later byte;
// gives up after limit_ms. Bytes of a stream the device was sending when it
// took a stop can trail the stop's reply by milliseconds.
void discard_until_quiet(int socket, int64_t quiet_from_ms, int quiet_ms, int limit_ms);

}  // namespace korvel
