#include "host/ip/client_socket.h"

#include <utility>

#include "core/queue/process_events.h"
#include "platform/text/format.h"

namespace net = platform::net;
using platform::Format;

namespace {

// Errors after which a connection counts as gone rather than failing.
bool MeansConnectionGone(int code) {
  switch (code) {
    case net::WSAEINTR:
    case net::WSAEFAULT:
    case net::WSAEINVAL:
    case net::WSAENOTSOCK:
    case net::WSAEMSGSIZE:
    case net::WSAEOPNOTSUPP:
    case net::WSAENETDOWN:
    case net::WSAENETRESET:
    case net::WSAECONNABORTED:
    case net::WSAEISCONN:
    case net::WSAESHUTDOWN:
    case net::WSAETIMEDOUT:
    case net::WSAECONNRESET:
      return true;
    default:
      return false;
  }
}

// A connect failure's code in words, for the log.
std::string ConnectFailureReason(int code) {
  switch (code) {
    case net::WSAECONNREFUSED: return "connection refused";
    case net::WSAHOST_NOT_FOUND: return "host name not found";
    case net::WSATRY_AGAIN: return "host name lookup failed for now (no answer from the name server)";
    case net::WSANO_DATA: return "host name has no IPv4 address";
    default: break;
  }
  std::string text = platform::SystemErrorText(static_cast<uint32_t>(code));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text.empty() ? Format("error %d", code) : Format("%s (error %d)", text.c_str(), code);
}

}  // namespace

CClientSocket::CClientSocket() : m_AbortEvent(&g_AbortEvent) {
  const int started = net::Startup();
  if (started != 0) {
    SetLastFailure(started, Format("Winsock Failed to Start Error %d", started));
    return;
  }
  m_WinsockStarted = true;
}

CClientSocket::~CClientSocket() {
  Close();
  if (m_WinsockStarted) net::Cleanup();
}

void CClientSocket::SetLastFailure(int code, std::string text) {
  m_LastErrorCode = code;
  m_LastErrorText = std::move(text);
}

bool CClientSocket::Close() {
  if (m_Socket == net::INVALID_SOCKET) return true;
  net::SetNonBlocking(m_Socket, false);
  net::Shutdown(m_Socket, net::SD_BOTH);  // fails harmlessly on a connection already gone
  net::CloseSocket(m_Socket);
  m_Socket = net::INVALID_SOCKET;
  return true;
}

bool CClientSocket::SetBlocking() {
  return m_Socket != net::INVALID_SOCKET && net::SetNonBlocking(m_Socket, false) == 0;
}

bool CClientSocket::SetNonBlocking() {
  return m_Socket != net::INVALID_SOCKET && net::SetNonBlocking(m_Socket, true) == 0;
}

bool CClientSocket::ConnectToServerByHostName(const std::string& host, int port, unsigned timeoutMs) {
  uint32_t address = 0;
  const int resolved = net::ResolveIPv4(host, &address);
  if (resolved != 0) {
    SetLastFailure(resolved, Format("DNS Lookup of '%s' Failed with Error %d.", host.c_str(), resolved));
    m_ConnectFailureCause = Format("%s:%d: %s", host.c_str(), port, ConnectFailureReason(resolved).c_str());
    return false;
  }
  if (ConnectToAddress(address, port, timeoutMs)) return true;
  m_ConnectFailureCause = Format("%s:%d: %s", host.c_str(), port, m_ConnectFailureCause.c_str());
  return false;
}

bool CClientSocket::FailConnect(int code, std::string text) {
  SetLastFailure(code, std::move(text));
  Close();
  return false;
}

bool CClientSocket::ConnectToAddress(uint32_t address, int port, unsigned timeoutMs) {
  m_PeerAddress = address;
  m_PeerPort = net::PortToNetworkOrder(static_cast<uint16_t>(port));
  // The reason alone; ConnectToServerByHostName puts the endpoint in front of it.
  m_ConnectFailureCause.clear();
  m_Socket = net::OpenStreamSocket();
  if (m_Socket == net::INVALID_SOCKET) {
    m_ConnectFailureCause = "no socket: " + ConnectFailureReason(net::WSAGetLastError());
    SetLastFailure(kSocketCreationFailed, "Socket Creation Failed");
    return false;
  }
  if (!SetNonBlocking()) {
    const int error = net::WSAGetLastError();
    m_ConnectFailureCause = ConnectFailureReason(error);
    return FailConnect(error, Format("Socket ioctl (No Block) Failed with Error %d", error));
  }
  if (net::StartConnect(m_Socket, m_PeerAddress, m_PeerPort) == 0) {
    SetBlocking();
    return true;
  }
  const int error = net::WSAGetLastError();
  if (error != net::WSAEWOULDBLOCK) {
    m_ConnectFailureCause = ConnectFailureReason(error);
    return FailConnect(error, Format("Got %d [0X%x] trying to Connect - Expected WSAEWOULDBLOCK", error,
                                     static_cast<unsigned>(error)));
  }
  // A stop (the abort event) ends the wait as it ends every receive.
  switch (net::WaitConnected(m_Socket, timeoutMs, m_AbortEvent)) {
    case net::ConnectWait::kConnected:
      SetBlocking();
      return true;
    case net::ConnectWait::kError: {
      const int wait_error = net::WSAGetLastError();
      m_ConnectFailureCause = ConnectFailureReason(wait_error);
      return FailConnect(wait_error, Format("Socket Error Trying to Connect Error %d", wait_error));
    }
    case net::ConnectWait::kFailed:
      m_ConnectFailureCause = ConnectFailureReason(net::WSAGetLastError());
      break;
    case net::ConnectWait::kTimedOut:
      m_ConnectFailureCause = Format("no answer within %u ms", timeoutMs);
      break;
    case net::ConnectWait::kStopped:
      m_ConnectFailureCause = "given up: the interface stops";
      break;
  }
  return FailConnect(kSocketConnectFailed, Format("Socket Error Trying to Connect Error %d", kSocketConnectFailed));
}

bool CClientSocket::BytesAvailable() {
  if (m_Socket == net::INVALID_SOCKET) return false;
  int count = 0;
  return net::BytesReadable(m_Socket, &count) == 0 && count > 0;
}

bool CClientSocket::IsAlive() {
  if (m_Socket == net::INVALID_SOCKET) return false;
  const net::WaitResult waited = net::WaitReadable(m_Socket, 0);
  if (waited == net::WaitResult::kError) {
    const int error = net::WSAGetLastError();
    if (error == net::WSAENOTSOCK || error == net::WSAENETDOWN || error == net::WSANOTINITIALISED) return false;
  }
  const bool readable = waited == net::WaitResult::kReady;
  if (!SetNonBlocking()) return false;
  char byte;
  int peeked = net::Recv(m_Socket, &byte, 1, net::kMsgPeek);
  bool gone = false;
  if (peeked == net::SOCKET_ERROR) {
    const int error = net::WSAGetLastError();
    if (error == net::WSAEWOULDBLOCK) {
      peeked = 0;
    } else if (MeansConnectionGone(error)) {
      gone = true;
    } else {
      peeked = 1;  // anything else is not taken as the end of the connection
    }
  }
  SetBlocking();
  if (gone) return false;
  return peeked != 0 || !readable;
}

int CClientSocket::RecvRaw(char* buffer, int size) {
  if (m_Socket == net::INVALID_SOCKET) {
    net::WSASetLastError(net::WSAENOTSOCK);
    return net::SOCKET_ERROR;
  }
  return net::Recv(m_Socket, buffer, size);
}

int CClientSocket::Receive(char* buffer, int size, unsigned timeoutMs) {
  if (m_Socket == net::INVALID_SOCKET || buffer == nullptr || size <= 0) return 0;
  const int got = net::ReceiveWithin(m_Socket, buffer, size, timeoutMs, m_AbortEvent);
  if (got != net::SOCKET_ERROR) return got;
  // A reset or broken connection is a connection gone, as the liveness probe says.
  return MeansConnectionGone(net::WSAGetLastError()) ? 0 : net::SOCKET_ERROR;
}

int CClientSocket::Send(const char* data, int length) {
  if (length == 0) return 0;
  if (m_Socket == net::INVALID_SOCKET) {
    net::WSASetLastError(net::WSAENOTSOCK);
  } else if (net::SendAll(m_Socket, data, length, net::kSendTimeoutMs) == length) {
    return length;
  }
  SetLastFailure(kSocketSendFailed, Format("Socket Error Sending %d", kSocketSendFailed));
  return net::SOCKET_ERROR;
}
