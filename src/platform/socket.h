// Blocking IPv4 TCP sockets: the one place that knows BSD sockets from
// Winsock. Addresses are kept in network byte order, as accept() gives them.
//
// Thread-safety: a Socket object belongs to one thread; ShutdownSocket() may
// be called on a handle from any thread while the handle is still open, to
// wake a thread blocked in accept, recv or send on it.
#ifndef PITWALL_PLATFORM_SOCKET_H_
#define PITWALL_PLATFORM_SOCKET_H_

#include <cstddef>
#include <cstdint>
#include <string>

#if defined(_WIN32)
using NativeSocket = std::uintptr_t;
#else
using NativeSocket = int;
#endif
// The invalid-socket value: all bits set.
inline constexpr NativeSocket kInvalidSocket = static_cast<NativeSocket>(~0);

// Owns one socket handle and closes it exactly once.
class Socket {
 public:
  Socket() = default;
  explicit Socket(NativeSocket handle) : handle_(handle) {}  // Takes ownership.
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept : handle_(other.Release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool valid() const { return handle_ != kInvalidSocket; }
  NativeSocket get() const { return handle_; }
  // Gives up ownership without closing.
  NativeSocket Release();
  void Close();

 private:
  NativeSocket handle_ = kInvalidSocket;
};

// Starts the socket layer (Winsock 1.1). On failure returns false and sets
// *error_code to the layer's code. Always succeeds on POSIX.
bool StartSocketLayer(int* error_code);
// Releases one successful StartSocketLayer().
void StopSocketLayer();

// inet_addr(): dotted IPv4 text to an address in network byte order. False
// for text that is not an address.
bool ParseIPv4(const char* dotted, std::uint32_t* address);
// Dotted-decimal text of an address in network byte order, into a buffer of
// the caller's (no allocation).
void FormatIPv4(std::uint32_t address, char (&text)[16]);
// Network-byte-order address of 127.0.0.1.
std::uint32_t LoopbackIPv4();

// A new IPv4 TCP stream socket; invalid on failure.
Socket OpenTcpSocket();
// Binds to address:port (host byte order port). On POSIX the socket may
// reuse a port whose earlier connections linger in TIME_WAIT; a port with a
// live listener stays busy.
bool BindIPv4(NativeSocket socket, std::uint32_t address, std::uint16_t port);
bool Listen(NativeSocket socket, int backlog);
// The port the socket is bound to (host byte order); 0 on failure.
std::uint16_t LocalPort(NativeSocket socket);
// Waits for a connection. Invalid on failure; *peer_address is then 0.
Socket AcceptIPv4(NativeSocket listener, std::uint32_t* peer_address);
// Connects to address:port; invalid on failure.
Socket ConnectIPv4(std::uint32_t address, std::uint16_t port);

// One send call. Returns the bytes taken (>0), 0 when the peer has closed,
// or -1 on error. Never raises SIGPIPE.
long SendSome(NativeSocket socket, const void* data, std::size_t length);
// One receive call. Returns the bytes received (>0), 0 when the peer closed
// the connection, or -1 on error.
long RecvSome(NativeSocket socket, void* buffer, std::size_t length);
// Shuts both directions down so that blocked calls on the socket return.
// Does not close the handle.
void ShutdownSocket(NativeSocket socket);
// Why the calling thread's last socket call failed, in one vocabulary for
// every platform (errno here, WSAGetLastError() on Windows).
enum class SocketError { kNone, kRefused, kTimedOut, kReset, kOther };
SocketError LastSocketError();
// The system's text for the calling thread's last socket failure.
std::string LastSocketErrorText();

// Sets a receive time-out in milliseconds (0 = none). For clients and tests.
bool SetRecvTimeout(NativeSocket socket, std::uint32_t ms);

#endif  // PITWALL_PLATFORM_SOCKET_H_
