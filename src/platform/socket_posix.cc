#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/socket.h"
#include "platform/socket_internal.h"

namespace {

#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on the socket instead.
#endif

void NoSigPipe(int fd) {
#if defined(SO_NOSIGPIPE)
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof(one));
#else
  (void)fd;
#endif
}

}  // namespace

void Socket::Close() {
  if (handle_ != kInvalidSocket) {
    // close() is not retried on EINTR: the descriptor is released either way.
    ::close(handle_);
    handle_ = kInvalidSocket;
  }
}

bool StartSocketLayer(int* error_code) {
  *error_code = 0;
  return true;
}

void StopSocketLayer() {}

Socket OpenTcpSocket() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return Socket();
  NoSigPipe(fd);
  return Socket(fd);
}

bool BindIPv4(NativeSocket socket, std::uint32_t address, std::uint16_t port) {
  // Without SO_REUSEADDR a plug-in restarted right after a session would find
  // its own port "busy" for minutes while old connections sit in TIME_WAIT.
  int one = 1;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  const sockaddr_in sa = socket_internal::MakeAddress(address, port);
  return ::bind(socket, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) == 0;
}

bool Listen(NativeSocket socket, int backlog) { return ::listen(socket, backlog) == 0; }

std::uint16_t LocalPort(NativeSocket socket) {
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

Socket AcceptIPv4(NativeSocket listener, std::uint32_t* peer_address) {
  *peer_address = 0;
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  int fd;
  do {
    fd = ::accept(listener, reinterpret_cast<sockaddr*>(&sa), &len);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Socket();
  NoSigPipe(fd);
  *peer_address = sa.sin_addr.s_addr;
  return Socket(fd);
}

Socket ConnectIPv4(std::uint32_t address, std::uint16_t port) {
  Socket s = OpenTcpSocket();
  if (!s.valid()) return s;
  const sockaddr_in sa = socket_internal::MakeAddress(address, port);
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
    const int reason = errno;  // kept for LastSocketError() across the close
    s.Close();
    errno = reason;
    return Socket();
  }
  int one = 1;
  setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return s;
}

Socket ConnectIPv4Within(std::uint32_t address, std::uint16_t port, std::uint32_t timeout_ms) {
  Socket s = OpenTcpSocket();
  if (!s.valid()) return s;
  const int flags = fcntl(s.get(), F_GETFL, 0);
  if (flags < 0 || fcntl(s.get(), F_SETFL, flags | O_NONBLOCK) != 0) return Socket();
  const sockaddr_in sa = socket_internal::MakeAddress(address, port);
  int reason = 0;
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
    reason = errno;
    if (reason == EINPROGRESS) {
      pollfd waiting{s.get(), POLLOUT, 0};
      const int ms = static_cast<int>(std::min<std::uint32_t>(timeout_ms, 0x7FFFFFFF));
      int ready;
      do {
        ready = ::poll(&waiting, 1, ms);
      } while (ready < 0 && errno == EINTR);
      if (ready == 0) {
        reason = ETIMEDOUT;
      } else if (ready < 0) {
        reason = errno;
      } else {
        socklen_t size = sizeof(reason);
        if (getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &reason, &size) != 0) reason = errno;
      }
    }
  }
  if (reason != 0 || fcntl(s.get(), F_SETFL, flags) != 0) {
    if (reason == 0) reason = errno;
    s.Close();
    errno = reason;  // kept for LastSocketError() across the close
    return Socket();
  }
  int one = 1;
  setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return s;
}

long SendSome(NativeSocket socket, const void* data, std::size_t length) {
  ssize_t n;
  do {
    n = ::send(socket, data, length, kSendFlags);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<long>(n);
}

long RecvSome(NativeSocket socket, void* buffer, std::size_t length) {
  ssize_t n;
  do {
    n = ::recv(socket, buffer, length, 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<long>(n);
}

void ShutdownSocket(NativeSocket socket) { ::shutdown(socket, SHUT_RDWR); }

SocketError LastSocketError() {
  switch (errno) {
    case 0:
      return SocketError::kNone;
    case ECONNREFUSED:
      return SocketError::kRefused;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return SocketError::kWouldBlock;
    case ETIMEDOUT:
      return SocketError::kTimedOut;
    case ECONNRESET:
    case EPIPE:
      return SocketError::kReset;
    default:
      return SocketError::kOther;
  }
}

std::string LastSocketErrorText() { return std::strerror(errno); }

bool SetNonBlocking(NativeSocket socket) {
  const int flags = fcntl(socket, F_GETFL, 0);
  return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool SetResetOnClose(NativeSocket socket) {
  const linger hard{1, 0};
  return ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard)) == 0;
}

bool SetReceiveBufferSize(NativeSocket socket, int bytes) {
  return ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes)) == 0;
}

namespace socket_internal {

int WaitOnce(NativeSocket socket, bool for_write, std::uint32_t ms) {
  pollfd entry{};
  entry.fd = socket;
  entry.events = for_write ? POLLOUT : POLLIN;
  const int timeout =
      ms == kWaitForever ? -1 : static_cast<int>(std::min<std::uint32_t>(ms, 0x7FFFFFFF));
  int r;
  do {
    r = ::poll(&entry, 1, timeout);
  } while (r < 0 && errno == EINTR);
  // An error or hang-up on the socket counts as ready: the next call on it
  // reports what happened.
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

void SetTimedOutError() { errno = ETIMEDOUT; }

}  // namespace socket_internal
