// WSServer: a multi-threaded IPv4 TCP server. A listening socket, one accept thread,
// and one thread per accepted connection, served by an object of a class derived from
// WSConnection that the derived server creates (CreateConnection) and destroys
// (DeleteConnection), both on the connection's own thread.
//
// What it promises:
// - Every thread it starts is joined, none is detached: the accept thread by Stop (or
//   the destructor), each connection thread by the accept thread once it has ended, or
//   by JoinAllThreads.
// - A connection is registered (it counts in GetConnectionCount and in the maximum
//   test) from the moment it is accepted, before its thread starts, and unregisters
//   itself as the very last thing its thread does with the server. A count of 0
//   therefore means that no connection thread will touch the server again.
// - Accept errors that are transient on Linux (ECONNABORTED, EINTR, EPROTO, and
//   descriptor or buffer exhaustion: EMFILE, ENFILE, ENOBUFS, ENOMEM, after a short
//   pause) do not end the accept thread; any other accept error does.
// - A derived server's destructor must call JoinAllThreads before its own members go,
//   since connection threads call its virtual operations.
//
// Every socket call goes through platform/net: the listener, the accept with its
// stop wake-up, and each connection's socket.
//
// Locking: one mutex (the server's own) guards the connection list, the list of
// ended threads and the count's changes; it is held only for list operations and
// never while a connection runs. GetConnectionCount, the maximum and the flags are
// atomics read without it. A connection's own calls take no server lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <string>
#include <thread>

#include "app/server/ws_connection.h"
#include "platform/net/listener.h"
#include "platform/net/socket.h"  // kAddressFamilyIPv4 and kAnyAddress for the callers of Listen
#include "platform/net/wait.h"
#include "platform/sync/event.h"
#include "platform/sync/mutex.h"
#include "platform/sync/thread_annotations.h"
#include "platform/thread/worker_thread.h"

// What the accept thread hands to a new connection thread.
struct WSAcceptRecord {
  int m_Socket = -1;
  int m_ListenSocket = -1;
  platform::net::SocketAddress m_PeerAddress;
  int m_OverMaximum = 0;
  WSServer* m_Server = nullptr;
};

// One registered connection.
struct WSConnectionNode {
  uint64_t m_Key = 0;                   // the node's own number
  WSConnection* m_Connection = nullptr;  // null until created, and again once deleted
  std::thread::id m_ThreadId;
  int m_Socket = -1;
  std::thread m_Thread;
};

class WSServer {
 public:
  static constexpr int kDefaultMaxConnections = 20;
  static constexpr int kMaxConnectionsLimit = 32000;
  static constexpr int kSocketTimeoutMs = 30000;  // send and receive time-out of every connection
  static constexpr uint32_t kStopWaitMs = 5000;

  WSServer();
  WSServer(const WSServer&) = delete;
  WSServer& operator=(const WSServer&) = delete;
  // Sets the shutting-down flag, stops the accept thread, waits for every connection
  // thread and closes the listening socket.
  virtual ~WSServer();

  // Creates the listening socket, binds and opens it, with SO_REUSEADDR: 0 listening,
  // 2 the socket call failed, 3 bind failed, 4 listen failed (1, the Winsock start-up, cannot
  // fail here). A failure closes the socket it made. address is in network order.
  // Port 0 binds an ephemeral port (GetPort tells which). Refused with 4 while the
  // accept thread runs; a socket left from an earlier Listen is closed first.
  int Listen(int port, int backlog, int family, uint32_t address);
  int Listen(int port);               // backlog 5, IPv4, any local address
  int Listen(int port, int backlog);  // IPv4, any local address
  void SetProtocol(int protocol) { m_Protocol = protocol; }

  // 1 when the accept thread already runs or cannot be started (or nothing listens);
  // else starts it and returns 0.
  int StartAcceptThread();
  // Stops accepting: 0 when the accept thread was not running or has ended within
  // 5000 ms; 1 when it has not (it is joined later, at the latest by the destructor).
  int Stop();

  // n for 1 <= n <= 32,000 (the new maximum); else -1, the maximum unchanged.
  int SetMaxConnections(int n);
  int GetMaxConnections() const { return m_MaxConnections.load(); }
  // Registered connections (accepted and not yet ended), read without the lock.
  int GetConnectionCount() const { return m_ConnectionCount.load(); }
  // The listening port, -1 until Listen succeeds.
  int GetPort() const { return m_Port.load(); }
  // The errno of the last Listen that failed at its socket, bind or listen step (0
  // otherwise).
  int GetListenErrno() const { return m_ListenErrno; }

  // CancelBlockingCall on every registered connection (their threads then end and
  // unregister themselves). Returns how many there were.
  int CancelAllConnections() EXCLUDES(m_Lock);
  // The number of registered connections, under the lock.
  int CountConnectionList() EXCLUDES(m_Lock);

  // Stops accepting, then waits until the accept thread and every connection thread
  // have ended and joins them all. A derived destructor calls it (after telling its
  // connections to finish) before its own members go. Safe to call more than once,
  // from any thread but the server's own.
  void JoinAllThreads() EXCLUDES(m_Lock);

  // Set by the owner (or the destructors) to tell the connections to finish.
  std::atomic<int> m_ShuttingDown{0};

 protected:
  // A new connection object, or nullptr. Called on the connection's thread.
  virtual WSConnection* CreateConnection() = 0;
  // Destroys an object from CreateConnection, on the same thread.
  virtual void DeleteConnection(WSConnection* connection) = 0;

 private:
  uint32_t AcceptConnections();
  void ConnectionThread(WSAcceptRecord* record, uint64_t key);
  // Registers an accepted socket and starts its thread; false when the thread could
  // not be started (nothing stays registered).
  bool StartConnection(WSAcceptRecord* record) EXCLUDES(m_Lock);
  // Unregisters the node: its thread moves to the ended ones. The caller's last use
  // of the server.
  void RemoveConnection(uint64_t key) EXCLUDES(m_Lock);
  // Joins the threads that have ended.
  void ReapEndedThreads() EXCLUDES(m_Lock);
  // Sleeps up to ms unless a stop is requested; false when it was.
  bool PauseUnlessStopped(uint32_t ms);
  void CloseListenSocket();

  int m_ListenSocket = -1;
  // Set by Stop; the wake makes it end the accept thread's wait at once.
  platform::Event m_StopEvent{platform::Event::Mode::kManualReset};
  platform::net::StopWake m_StopWake{m_StopEvent};
  std::atomic<int> m_Running{0};
  std::atomic<int> m_MaxConnections{kDefaultMaxConnections};
  std::atomic<int> m_ConnectionCount{0};
  int m_Protocol = 0;
  std::atomic<int> m_Port{-1};
  int m_ListenErrno = 0;  // written and read by the thread that calls Listen

  platform::Mutex m_Lock;
  platform::CondVar m_ListChanged;  // a node was removed
  std::list<WSConnectionNode> m_Connections GUARDED_BY(m_Lock);  // newest at the head
  std::list<std::thread> m_EndedThreads GUARDED_BY(m_Lock);
  uint64_t m_NextKey GUARDED_BY(m_Lock) = 1;

  platform::WorkerThread m_AcceptThread;
};

// Opens a TCP connection to the dotted IPv4 address and port and closes it at once:
// 0 done, 1 no socket could be had, 2 connect failed.
int ConnectAndClose(int port, const char* address);
