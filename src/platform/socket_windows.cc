#include <cstdio>
#include <cstring>

#include "platform/socket.h"
#include "platform/socket_internal.h"
#include "platform/windows_api.h"

static_assert(sizeof(NativeSocket) == sizeof(SOCKET), "a socket handle is a SOCKET");
static_assert(kInvalidSocket == INVALID_SOCKET, "the invalid-socket value is INVALID_SOCKET");

namespace {

// Winsock takes at most an int of bytes per call.
int ClampLength(std::size_t length) {
  return length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
}

}  // namespace

void Socket::Close() {
  if (handle_ != kInvalidSocket) {
    ::closesocket(static_cast<SOCKET>(handle_));
    handle_ = kInvalidSocket;
  }
}

bool StartSocketLayer(int* error_code) {
  WSADATA data;
  *error_code = ::WSAStartup(MAKEWORD(1, 1), &data);
  return *error_code == 0;
}

void StopSocketLayer() { ::WSACleanup(); }

Socket OpenTcpSocket() {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return Socket();
  return Socket(static_cast<NativeSocket>(s));
}

bool BindIPv4(NativeSocket socket, std::uint32_t address, std::uint16_t port) {
  // No SO_REUSEADDR: on Windows it would let this socket share a port that
  // a live listener holds. Lingering TIME_WAIT connections do not make a
  // port busy here.
  const sockaddr_in sa = socket_internal::MakeAddress(address, port);
  return ::bind(static_cast<SOCKET>(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) ==
         0;
}

bool Listen(NativeSocket socket, int backlog) {
  return ::listen(static_cast<SOCKET>(socket), backlog) == 0;
}

std::uint16_t LocalPort(NativeSocket socket) {
  sockaddr_in sa{};
  int len = sizeof(sa);
  if (::getsockname(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    return 0;
  return ntohs(sa.sin_port);
}

Socket AcceptIPv4(NativeSocket listener, std::uint32_t* peer_address) {
  *peer_address = 0;
  sockaddr_in sa{};
  int len = sizeof(sa);
  const SOCKET s = ::accept(static_cast<SOCKET>(listener), reinterpret_cast<sockaddr*>(&sa), &len);
  if (s == INVALID_SOCKET) return Socket();
  *peer_address = sa.sin_addr.s_addr;
  return Socket(static_cast<NativeSocket>(s));
}

Socket ConnectIPv4(std::uint32_t address, std::uint16_t port) {
  Socket s = OpenTcpSocket();
  if (!s.valid()) return s;
  const sockaddr_in sa = socket_internal::MakeAddress(address, port);
  if (::connect(static_cast<SOCKET>(s.get()), reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) !=
      0) {
    const int reason = ::WSAGetLastError();  // kept for LastSocketError() across the close
    s.Close();
    ::WSASetLastError(reason);
    return Socket();
  }
  BOOL one = TRUE;
  ::setsockopt(static_cast<SOCKET>(s.get()), IPPROTO_TCP, TCP_NODELAY,
               reinterpret_cast<const char*>(&one), sizeof(one));
  return s;
}

Socket ConnectIPv4Within(std::uint32_t address, std::uint16_t port, std::uint32_t timeout_ms) {
  Socket s = OpenTcpSocket();
  if (!s.valid()) return s;
  const SOCKET raw = static_cast<SOCKET>(s.get());
  u_long on = 1;
  if (::ioctlsocket(raw, FIONBIO, &on) != 0) return Socket();
  const sockaddr_in sa = socket_internal::MakeAddress(address, port);
  int reason = 0;
  if (::connect(raw, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) == SOCKET_ERROR) {
    reason = ::WSAGetLastError();
    if (reason == WSAEWOULDBLOCK) {
      // Winsock reports a failed connect among the exceptions.
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(raw, &writable);
      FD_SET(raw, &failed);
      timeval wait{static_cast<long>(timeout_ms / 1000),
                   static_cast<long>(timeout_ms % 1000) * 1000};
      const int ready = ::select(0, nullptr, &writable, &failed, &wait);
      if (ready == 0) {
        reason = WSAETIMEDOUT;
      } else if (ready == SOCKET_ERROR) {
        reason = ::WSAGetLastError();
      } else if (FD_ISSET(raw, &failed)) {
        int size = sizeof(reason);
        if (::getsockopt(raw, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&reason), &size) != 0 ||
            reason == 0) {
          reason = WSAECONNREFUSED;
        }
      } else {
        reason = 0;
      }
    }
  }
  u_long off = 0;
  if (reason == 0 && ::ioctlsocket(raw, FIONBIO, &off) != 0) reason = ::WSAGetLastError();
  if (reason != 0) {
    s.Close();
    ::WSASetLastError(reason);  // kept for LastSocketError() across the close
    return Socket();
  }
  BOOL one = TRUE;
  ::setsockopt(raw, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
  return s;
}

long SendSome(NativeSocket socket, const void* data, std::size_t length) {
  const int n =
      ::send(static_cast<SOCKET>(socket), static_cast<const char*>(data), ClampLength(length), 0);
  return n == SOCKET_ERROR ? -1 : static_cast<long>(n);
}

long RecvSome(NativeSocket socket, void* buffer, std::size_t length) {
  const int n =
      ::recv(static_cast<SOCKET>(socket), static_cast<char*>(buffer), ClampLength(length), 0);
  return n == SOCKET_ERROR ? -1 : static_cast<long>(n);
}

void ShutdownSocket(NativeSocket socket) { ::shutdown(static_cast<SOCKET>(socket), SD_BOTH); }

bool SetNonBlocking(NativeSocket socket) {
  u_long on = 1;
  return ::ioctlsocket(static_cast<SOCKET>(socket), FIONBIO, &on) == 0;
}

bool SetResetOnClose(NativeSocket socket) {
  const linger hard{1, 0};
  return ::setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_LINGER,
                      reinterpret_cast<const char*>(&hard), sizeof(hard)) == 0;
}

bool SetReceiveBufferSize(NativeSocket socket, int bytes) {
  return ::setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_RCVBUF,
                      reinterpret_cast<const char*>(&bytes), sizeof(bytes)) == 0;
}

SocketError LastSocketError() {
  switch (::WSAGetLastError()) {
    case 0:
      return SocketError::kNone;
    case WSAECONNREFUSED:
      return SocketError::kRefused;
    case WSAEWOULDBLOCK:
      return SocketError::kWouldBlock;
    case WSAETIMEDOUT:
      return SocketError::kTimedOut;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAESHUTDOWN:
      return SocketError::kReset;
    default:
      return SocketError::kOther;
  }
}

std::string LastSocketErrorText() {
  return WindowsErrorText(static_cast<unsigned long>(::WSAGetLastError()), "Winsock error");
}

namespace socket_internal {

int WaitOnce(NativeSocket socket, bool for_write, std::uint32_t ms) {
  // select() rather than WSAPoll(): it is there from Winsock 1.1 on and
  // behaves the same under every Windows version and Wine.
  fd_set set;
  FD_ZERO(&set);
  FD_SET(static_cast<SOCKET>(socket), &set);
  fd_set errors;
  FD_ZERO(&errors);
  FD_SET(static_cast<SOCKET>(socket), &errors);
  timeval tv{};
  tv.tv_sec = static_cast<long>(ms / 1000u);
  tv.tv_usec = static_cast<long>((ms % 1000u) * 1000u);
  const int r = ::select(0, for_write ? nullptr : &set, for_write ? &set : nullptr, &errors,
                         ms == kWaitForever ? nullptr : &tv);
  // A failed connection shows in the error set; it counts as ready, and the
  // next call on the socket reports what happened.
  return r == SOCKET_ERROR ? -1 : (r > 0 ? 1 : 0);
}

void SetTimedOutError() { ::WSASetLastError(WSAETIMEDOUT); }

}  // namespace socket_internal
