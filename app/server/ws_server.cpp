#include "app/server/ws_server.h"

#include <system_error>
#include <utility>

#include "core/log/logger.h"
#include "platform/net/socket.h"

namespace net = platform::net;

namespace {

void ShutAndClose(int socket) {
  if (socket < 0) return;
  net::Shutdown(socket, net::SD_BOTH);
  net::CloseSocket(socket);
}

constexpr uint32_t kExhaustionPauseMs = 100;
constexpr uint32_t kSingleConnectionPauseMs = 1000;

}  // namespace

WSServer::WSServer() = default;

WSServer::~WSServer() {
  m_ShuttingDown = 1;
  JoinAllThreads();
  CloseListenSocket();
}

int WSServer::Listen(int port, int backlog, int family, uint32_t address) {
  if (m_Running.load()) return 4;
  CloseListenSocket();
  m_ListenErrno = 0;
  const net::ListenResult opened =
      net::OpenListener(family, address, net::PortToNetworkOrder(static_cast<uint16_t>(port)), backlog, m_Protocol);
  if (opened.socket == net::INVALID_SOCKET) {
    m_ListenErrno = opened.os_error;
    switch (opened.failed) {
      case net::ListenStep::kSocket: return 2;
      case net::ListenStep::kBind: return 3;
      default: return 4;
    }
  }
  const int actual = net::LocalPort(opened.socket);
  m_ListenSocket = opened.socket;
  m_Port = actual >= 0 ? actual : port;
  return 0;
}

int WSServer::Listen(int port) { return Listen(port, 5, net::kAddressFamilyIPv4, net::kAnyAddress); }

int WSServer::Listen(int port, int backlog) { return Listen(port, backlog, net::kAddressFamilyIPv4, net::kAnyAddress); }

void WSServer::CloseListenSocket() {
  ShutAndClose(m_ListenSocket);
  m_ListenSocket = -1;
}

int WSServer::StartAcceptThread() {
  if (m_Running.load() || m_ListenSocket < 0) return 1;
  m_AcceptThread.Join();  // an earlier run that ended by itself
  m_StopEvent.Reset();
  if (m_StopWake.IsValid()) m_StopWake.Drain();
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
  m_StopEvent.Set();
  // Without its wake-up the accept thread's wait ends only by a connection.
  if (!m_StopWake.IsValid()) ConnectAndClose(m_Port.load(), "127.0.0.1");
  return m_AcceptThread.Join(kStopWaitMs) ? 0 : 1;
}

int WSServer::SetMaxConnections(int n) {
  if (n < 1 || n > kMaxConnectionsLimit) return -1;
  m_MaxConnections = n;
  return n;
}

bool WSServer::PauseUnlessStopped(uint32_t ms) {
  if (m_StopEvent.IsSet()) return false;
  m_StopEvent.Wait(ms);
  return !m_StopEvent.IsSet();
}

uint32_t WSServer::AcceptConnections() {
  for (;;) {
    const net::AcceptResult accepted = net::AcceptWithin(m_ListenSocket, platform::kInfinite, &m_StopWake);
    if (accepted.status == net::AcceptStatus::kStopped) break;
    if (accepted.status == net::AcceptStatus::kWaitFailed) {
      GetLogger().LogLine("WSServer::AcceptConnections poll failed (%d); no more connections are accepted.",
                          accepted.os_error);
      break;
    }
    if (m_StopEvent.IsSet()) {
      ShutAndClose(accepted.socket);
      break;
    }
    const int s = accepted.socket;
    if (accepted.status == net::AcceptStatus::kTryAgain || accepted.status == net::AcceptStatus::kTimedOut) {
      continue;
    }
    if (accepted.status == net::AcceptStatus::kExhausted) {
      if (!PauseUnlessStopped(kExhaustionPauseMs)) break;
      continue;
    }
    if (accepted.status != net::AcceptStatus::kAccepted) {
      GetLogger().LogLine("WSServer::AcceptConnections accept failed (%d); no more connections are accepted.",
                          accepted.os_error);
      break;
    }
    ReapEndedThreads();

    auto* record = new WSAcceptRecord;
    record->m_Socket = s;
    record->m_ListenSocket = m_ListenSocket;
    record->m_PeerAddress = accepted.peer;
    record->m_Server = this;
    // The count holds every connection accepted before this one, also those whose
    // thread has not got going yet.
    int prior = GetConnectionCount();
    if (prior >= GetMaxConnections()) {
      if (GetMaxConnections() == 1) {
        if (!PauseUnlessStopped(kSingleConnectionPauseMs)) {
          ShutAndClose(s);
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
      ShutAndClose(s);
      delete record;
    }
  }
  m_Running = 0;
  m_StopEvent.Reset();
  return 0;
}

bool WSServer::StartConnection(WSAcceptRecord* record) {
  platform::MutexLock lock(m_Lock);
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
      platform::MutexLock lock(m_Lock);
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
      platform::MutexLock lock(m_Lock);
      for (WSConnectionNode& node : m_Connections) {
        if (node.m_Key == key) node.m_Connection = nullptr;
      }
    }
    DeleteConnection(connection);
  }
  ShutAndClose(s);
  GetLogger().LogLine(" closing socket ->%4d (Num Still Connected = %d)\n", s, GetConnectionCount() - 1);
  delete record;
  RemoveConnection(key);
}

void WSServer::RemoveConnection(uint64_t key) {
  platform::MutexLock lock(m_Lock);
  for (auto it = m_Connections.begin(); it != m_Connections.end(); ++it) {
    if (it->m_Key != key) continue;
    m_EndedThreads.push_back(std::move(it->m_Thread));
    m_Connections.erase(it);
    m_ConnectionCount.fetch_sub(1);
    break;
  }
  m_ListChanged.NotifyAll();
}

void WSServer::ReapEndedThreads() {
  std::list<std::thread> ended;
  {
    platform::MutexLock lock(m_Lock);
    ended.swap(m_EndedThreads);
  }
  for (std::thread& thread : ended) thread.join();
}

void WSServer::JoinAllThreads() {
  Stop();
  m_AcceptThread.Join();
  std::list<std::thread> ended;
  {
    platform::MutexLock lock(m_Lock);
    while (!m_Connections.empty()) m_ListChanged.Wait(m_Lock);
    ended.swap(m_EndedThreads);
  }
  for (std::thread& thread : ended) thread.join();
}

int WSServer::CancelAllConnections() {
  platform::MutexLock lock(m_Lock);
  int n = 0;
  for (WSConnectionNode& node : m_Connections) {
    if (node.m_Connection != nullptr) node.m_Connection->CancelBlockingCall();
    ++n;
  }
  return n;
}

int WSServer::CountConnectionList() {
  platform::MutexLock lock(m_Lock);
  return static_cast<int>(m_Connections.size());
}

int ConnectAndClose(int port, const char* address) {
  const net::SOCKET s = net::OpenStreamSocket();
  if (s == net::INVALID_SOCKET) return 1;
  uint32_t to = 0;
  if (!net::ParseIPv4(address, &to) ||
      net::StartConnect(s, to, net::PortToNetworkOrder(static_cast<uint16_t>(port))) != 0) {
    net::CloseSocket(s);
    return 2;
  }
  ShutAndClose(s);
  return 0;
}
