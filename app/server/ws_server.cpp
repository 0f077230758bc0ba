#include "app/server/ws_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "core/log/logger.h"

namespace {

void CloseSocket(int socket) {
  if (socket < 0) return;
  ::shutdown(socket, SHUT_RDWR);
  ::close(socket);
}

// Accept failures after which the next accept may well succeed.
bool IsTransientAcceptError(int err) {
  return err == EINTR || err == ECONNABORTED || err == EPROTO || err == EAGAIN || err == EWOULDBLOCK;
}

// Accept failures of exhausted descriptors or buffers: worth a retry after a pause.
bool IsExhaustionAcceptError(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

constexpr uint32_t kExhaustionPauseMs = 100;
constexpr uint32_t kSingleConnectionPauseMs = 1000;

}  // namespace

WSServer::WSServer() {
  if (::pipe2(m_WakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    m_WakePipe[0] = m_WakePipe[1] = -1;
  }
}

WSServer::~WSServer() {
  m_ShuttingDown = 1;
  JoinAllThreads();
  CloseListenSocket();
  for (int& fd : m_WakePipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

int WSServer::Listen(int port, int backlog, int family, uint32_t address) {
  if (m_Running.load()) return 4;
  CloseListenSocket();
  m_LocalAddress = sockaddr_in{};
  m_LocalAddress.sin_family = static_cast<sa_family_t>(family);
  m_LocalAddress.sin_port = htons(static_cast<uint16_t>(port));
  m_LocalAddress.sin_addr.s_addr = address;

  m_ListenErrno = 0;
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, m_Protocol);
  if (s < 0) {
    m_ListenErrno = errno;
    return 2;
  }
  const int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&m_LocalAddress), sizeof m_LocalAddress) != 0) {
    m_ListenErrno = errno;
    ::close(s);
    return 3;
  }
  if (::listen(s, backlog) != 0) {
    m_ListenErrno = errno;
    ::close(s);
    return 4;
  }
  // The accept thread polls first: a non-blocking socket keeps a connection that was
  // reset in between from blocking the accept.
  const int flags = ::fcntl(s, F_GETFL);
  if (flags >= 0) ::fcntl(s, F_SETFL, flags | O_NONBLOCK);
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  const int actual = ::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) == 0
                         ? ntohs(bound.sin_port)
                         : port;
  m_ListenSocket = s;
  m_Port = actual;
  return 0;
}

int WSServer::Listen(int port) { return Listen(port, 5, AF_INET, htonl(INADDR_ANY)); }

int WSServer::Listen(int port, int backlog) { return Listen(port, backlog, AF_INET, htonl(INADDR_ANY)); }

void WSServer::CloseListenSocket() {
  CloseSocket(m_ListenSocket);
  m_ListenSocket = -1;
}

int WSServer::StartAcceptThread() {
  if (m_Running.load() || m_ListenSocket < 0) return 1;
  m_AcceptThread.Join();  // an earlier run that ended by itself
  char drained[64];
  while (m_WakePipe[0] >= 0 && ::read(m_WakePipe[0], drained, sizeof drained) > 0) {
  }
  m_StopRequested = 0;
  m_Running = 1;
  if (!m_AcceptThread.Start([this] { return AcceptConnections(); })) {
    m_Running = 0;
    return 1;
  }
  return 0;
}

int WSServer::Stop() {
  if (!m_Running.load()) {
    m_AcceptThread.Join(0);
    return 0;
  }
  m_Running = 0;
  m_StopRequested = 1;
  if (m_WakePipe[1] < 0 || ::write(m_WakePipe[1], "S", 1) != 1) {
    ConnectAndClose(m_Port.load(), "127.0.0.1");
  }
  return m_AcceptThread.Join(kStopWaitMs) ? 0 : 1;
}

int WSServer::SetMaxConnections(int n) {
  if (n < 1 || n > kMaxConnectionsLimit) return -1;
  m_MaxConnections = n;
  return n;
}

bool WSServer::PauseUnlessStopped(uint32_t ms) {
  if (m_StopRequested.load()) return false;
  pollfd p{m_WakePipe[0], POLLIN, 0};
  if (m_WakePipe[0] >= 0) {
    int rc;
    do {
      rc = ::poll(&p, 1, static_cast<int>(ms));
    } while (rc < 0 && errno == EINTR);
  } else {
    ::usleep(ms * 1000);
  }
  return !m_StopRequested.load();
}

uint32_t WSServer::AcceptConnections() {
  for (;;) {
    pollfd fds[2] = {{m_ListenSocket, POLLIN, 0}, {m_WakePipe[0], POLLIN, 0}};
    const int ready = ::poll(fds, m_WakePipe[0] >= 0 ? 2 : 1, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (m_StopRequested.load()) break;
    if (ready < 0 || (fds[0].revents & POLLNVAL) != 0) {
      GetLogger().LogLine("WSServer::AcceptConnections poll failed (%d); no more connections are accepted.",
                          errno);
      break;
    }
    if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) == 0) continue;

    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int s = ::accept4(m_ListenSocket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    const int err = errno;
    if (m_StopRequested.load()) {
      CloseSocket(s);
      break;
    }
    if (s < 0) {
      if (IsTransientAcceptError(err)) continue;
      if (IsExhaustionAcceptError(err)) {
        if (!PauseUnlessStopped(kExhaustionPauseMs)) break;
        continue;
      }
      GetLogger().LogLine("WSServer::AcceptConnections accept failed (%d); no more connections are accepted.",
                          err);
      break;
    }
    ReapEndedThreads();

    auto* record = new WSAcceptRecord;
    record->m_Socket = s;
    record->m_ListenSocket = m_ListenSocket;
    record->m_PeerAddress = peer;
    record->m_Server = this;
    // The count holds every connection accepted before this one, also those whose
    // thread has not got going yet.
    int prior = GetConnectionCount();
    if (prior >= GetMaxConnections()) {
      if (GetMaxConnections() == 1) {
        if (!PauseUnlessStopped(kSingleConnectionPauseMs)) {
          CloseSocket(s);
          delete record;
          break;
        }
        prior = GetConnectionCount();
        record->m_OverMaximum = prior >= GetMaxConnections() ? 1 : 0;
      } else {
        record->m_OverMaximum = 1;
      }
    }
    GetLogger().LogLine(
        " WSServer::AcceptConnections Has Set Max Connection flag to %s with %d sockets prior to this "
        "connection.",
        record->m_OverMaximum ? "TRUE " : "FALSE ", prior);
    if (!StartConnection(record)) {
      CloseSocket(s);
      delete record;
    }
  }
  m_Running = 0;
  m_StopRequested = 0;
  return 0;
}

bool WSServer::StartConnection(WSAcceptRecord* record) {
  std::lock_guard<std::mutex> lock(m_Lock);
  WSConnectionNode& node = m_Connections.emplace_front();
  node.m_Key = m_NextKey++;
  node.m_Socket = record->m_Socket;
  m_ConnectionCount.fetch_add(1);
  try {
    // The thread waits for this lock before it touches its node.
    node.m_Thread = std::thread(&WSServer::ConnectionThread, this, record, node.m_Key);
  } catch (const std::system_error&) {
    m_Connections.pop_front();
    m_ConnectionCount.fetch_sub(1);
    return false;
  }
  node.m_ThreadId = node.m_Thread.get_id();
  return true;
}

void WSServer::ConnectionThread(WSAcceptRecord* record, uint64_t key) {
  const int s = record->m_Socket;
  if (WSConnection* connection = CreateConnection()) {
    connection->m_Socket = s;
    connection->m_ListenSocket = record->m_ListenSocket;
    connection->m_PeerAddress = record->m_PeerAddress;
    connection->m_Server = this;
    {
      std::lock_guard<std::mutex> lock(m_Lock);
      for (WSConnectionNode& node : m_Connections) {
        if (node.m_Key == key) node.m_Connection = connection;
      }
    }
    connection->SetReceiveTimeout(kSocketTimeoutMs);
    connection->SetSendTimeout(kSocketTimeoutMs);
    if (record->m_OverMaximum) {
      connection->OnRefused();
    } else {
      connection->OnConnect();
    }
    {
      std::lock_guard<std::mutex> lock(m_Lock);
      for (WSConnectionNode& node : m_Connections) {
        if (node.m_Key == key) node.m_Connection = nullptr;
      }
    }
    DeleteConnection(connection);
  }
  CloseSocket(s);
  GetLogger().LogLine(" closing socket ->%4d (Num Still Connected = %d)\n", s, GetConnectionCount() - 1);
  delete record;
  RemoveConnection(key);
}

void WSServer::RemoveConnection(uint64_t key) {
  std::lock_guard<std::mutex> lock(m_Lock);
  for (auto it = m_Connections.begin(); it != m_Connections.end(); ++it) {
    if (it->m_Key != key) continue;
    m_EndedThreads.push_back(std::move(it->m_Thread));
    m_Connections.erase(it);
    m_ConnectionCount.fetch_sub(1);
    break;
  }
  m_ListChanged.notify_all();
}

void WSServer::ReapEndedThreads() {
  std::list<std::thread> ended;
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    ended.swap(m_EndedThreads);
  }
  for (std::thread& thread : ended) thread.join();
}

void WSServer::JoinAllThreads() {
  Stop();
  m_AcceptThread.Join();
  std::list<std::thread> ended;
  {
    std::unique_lock<std::mutex> lock(m_Lock);
    m_ListChanged.wait(lock, [this] { return m_Connections.empty(); });
    ended.swap(m_EndedThreads);
  }
  for (std::thread& thread : ended) thread.join();
}

int WSServer::CancelAllConnections() {
  std::lock_guard<std::mutex> lock(m_Lock);
  int n = 0;
  for (WSConnectionNode& node : m_Connections) {
    if (node.m_Connection != nullptr) node.m_Connection->CancelBlockingCall();
    ++n;
  }
  return n;
}

int WSServer::CountConnectionList() {
  std::lock_guard<std::mutex> lock(m_Lock);
  return static_cast<int>(m_Connections.size());
}

int ConnectAndClose(int port, const char* address) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return 1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, address, &to.sin_addr) != 1 ||
      ::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    ::close(s);
    return 2;
  }
  CloseSocket(s);
  return 0;
}
