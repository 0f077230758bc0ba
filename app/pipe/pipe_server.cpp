#include "app/pipe/pipe_server.h"

#include <cstring>
#include <vector>

#include "core/log/logger.h"
#include "platform/ipc/message_pipe.h"
#include "platform/net/wait.h"
#include "platform/text/format.h"

namespace {

thread_local platform::Event* t_CurrentStopEvent = nullptr;

// Publishes the server's stop event to the callbacks of this thread for its lifetime.
class CurrentStopScope {
 public:
  explicit CurrentStopScope(platform::Event* stop) { t_CurrentStopEvent = stop; }
  ~CurrentStopScope() { t_CurrentStopEvent = nullptr; }
  CurrentStopScope(const CurrentStopScope&) = delete;
  CurrentStopScope& operator=(const CurrentStopScope&) = delete;
};

}  // namespace

// One connected client: its pipe end and the reply buffer of its conversation.
class CPipeConnection {
 public:
  CPipeConnection(std::unique_ptr<platform::ipc::PipeConnection> pipe, void* userData, PipeRequestCallback callback,
                  int timeoutMs)
      : m_Pipe(std::move(pipe)), m_UserData(userData), m_Callback(callback), m_TimeoutMs(timeoutMs) {}
  CPipeConnection(const CPipeConnection&) = delete;
  CPipeConnection& operator=(const CPipeConnection&) = delete;

  int Fd() const { return m_Pipe->Fd(); }

  // Reads the waiting request and writes its reply. False when the conversation is
  // over: the client closed, sent more than 4096 bytes, or the reply could not be
  // written in time.
  bool OnReadable() {
    std::string request;
    switch (m_Pipe->Read(&request, kPipeBufferSize, 0)) {
      case platform::ipc::PipeConnection::ReadResult::kMessage:
        break;
      case platform::ipc::PipeConnection::ReadResult::kTimeout:
        return true;  // woken without a message: nothing to do
      case platform::ipc::PipeConnection::ReadResult::kTooLong:
        GetLogger().LogLine("Pipe request of more than %d bytes refused.", static_cast<int>(kPipeBufferSize));
        return false;
      case platform::ipc::PipeConnection::ReadResult::kClosed:
        return false;
    }
    // The request text ends at its first NUL; the string's own terminator ends a
    // request of a full 4096 bytes.
    const std::string text = request.substr(0, std::strlen(request.c_str()));
    m_Reply[0] = '\0';
    if (m_Callback) m_Callback(m_UserData, text.c_str(), m_Reply, kPipeBufferSize);
    m_Reply[kPipeBufferSize - 1] = '\0';
    m_ReplyLength = std::strlen(m_Reply) + 1;
    return m_Pipe->Write(std::string_view(m_Reply, m_ReplyLength), static_cast<uint32_t>(m_TimeoutMs));
  }

 private:
  std::unique_ptr<platform::ipc::PipeConnection> m_Pipe;
  char m_Reply[kPipeBufferSize] = {};
  size_t m_ReplyLength = 0;
  void* const m_UserData;
  const PipeRequestCallback m_Callback;
  const int m_TimeoutMs;
};

std::string EncodeNumberAsLetters(unsigned long number) {
  std::string letters;
  do {
    const int digit = static_cast<int>(number % 10);
    letters += digit == 0 ? 'J' : static_cast<char>('A' + digit - 1);
    number /= 10;
  } while (number != 0);
  return letters;
}

std::string PipeNameForProcess(unsigned long pid) { return EncodeNumberAsLetters(pid) + kPipeNameSuffix; }

std::string FullPipeName(const std::string& name) {
  std::string full = kPipeNamePrefix + name;
  if (full.size() > kMaxFullPipeName) full.resize(kMaxFullPipeName);
  return full;
}

platform::Event* CurrentPipeStopEvent() { return t_CurrentStopEvent; }

// ---------------------------------------------------------------------------------
// CPipeServerThread

CPipeServerThread::~CPipeServerThread() {
  if (m_StopEvent && !m_StopEvent->IsSet()) Stop();
  m_Thread.reset();
}

bool CPipeServerThread::Start(const std::string& pipeName) {
  if (IsRunning()) {
    // One server per object: it keeps answering on its name.
    if (pipeName == m_PipeName) return true;
    platform::SetLastError(170);  // ERROR_BUSY
    return false;
  }
  if (m_Thread) {
    // A server that ended (stopped, or its loop failed): join it before the next.
    if (m_StopEvent) m_StopEvent->Set();
    m_Thread->Join();
    m_Thread.reset();
  }
  m_PipeName = pipeName;
  m_StopEvent = std::make_unique<platform::Event>(platform::Event::Mode::kManualReset, false);
  m_Thread = std::make_unique<platform::WorkerThread>();
  if (!m_Thread->Start([this] { return PipeServerThreadProc(this); })) {
    m_Thread.reset();
    platform::SetLastError(8);  // ERROR_NOT_ENOUGH_MEMORY: no thread to be had
    return false;
  }
  return true;
}

bool CPipeServerThread::Stop() {
  if (!m_StopEvent) return false;
  m_StopEvent->Set();
  if (!m_Thread) return false;
  m_Thread->Join(platform::kInfinite);
  return m_Thread->ExitCode() == 1;
}

uint32_t PipeServerThreadProc(CPipeServerThread* thread) {
  CPipeServer server(thread->m_StopEvent.get(), &thread->m_PipeName, thread->m_Secure);
  if (thread->m_Timeout != 0) server.SetTimeout(thread->m_Timeout);
  server.SetUserData(thread->m_Owner);
  server.SetCallback(thread->m_Callback);
  return server.Run() ? 1 : 0;
}

// ---------------------------------------------------------------------------------
// CPipeServer

// The state of one Run: the listener and every connection. Lives on the server
// thread's stack; nothing here is shared with another thread.
class CPipeServer::Loop {
 public:
  explicit Loop(CPipeServer& server) : m_Server(server), m_FullName(FullPipeName(*server.m_PipeName)) {}

  // False while the name cannot be had; logs the first failure of a series.
  bool EnsureListening() {
    if (m_Listener.IsListening()) return true;
    if (m_Listener.Listen(m_FullName)) {
      if (m_ListenFailed) GetLogger().LogLine("Pipe Server listening on %s.", m_FullName.c_str());
      m_ListenFailed = false;
      return true;
    }
    if (!m_ListenFailed) {
      GetLogger().LogLine("Pipe Server cannot take the name %s (error %u); retrying every second.",
                          m_FullName.c_str(), platform::GetLastError());
    }
    m_ListenFailed = true;
    return false;
  }

  // One wait: the listener while there is room, and every connection, ended at once
  // by the stop event through its wake. A listener still missing bounds the wait to
  // the retry period.
  void WaitAndServe(platform::net::StopWake& wake) {
    const bool listening = EnsureListening();
    std::vector<platform::net::WaitHandle> handles;
    const bool accepting = listening && m_Connections.size() < kMaxPipeConnections;
    if (accepting) handles.push_back({.socket = m_Listener.Fd()});
    const size_t first_connection = handles.size();
    for (const auto& connection : m_Connections) handles.push_back({.socket = connection->Fd()});

    const uint32_t timeout = listening ? platform::kInfinite : kPipeNameRetryMs;
    const platform::net::WaitResult result = m_Server.m_Wait(handles, timeout, &wake);
    if (result == platform::net::WaitResult::kError) {
      // A failed poll fails again at once: pause (a stop ends the pause) so that the
      // thread does not spin, and say so once for a series of failures.
      if (!m_WaitFailed) {
        GetLogger().LogLine("Pipe Server wait failed (error %u); retrying every %u ms.", platform::GetLastError(),
                            static_cast<unsigned>(kPipeWaitRetryMs));
      }
      m_WaitFailed = true;
      m_Server.m_StopEvent->Wait(kPipeWaitRetryMs);
      return;
    }
    m_WaitFailed = false;
    if (result != platform::net::WaitResult::kReady) return;  // stopped, or time-out (retry the name)
    if (m_Server.m_StopEvent->IsSet()) return;

    // Serve the connections that were ready, newest accepts after them.
    std::vector<CPipeConnection*> ended;
    for (size_t i = first_connection; i < handles.size(); ++i) {
      if (!handles[i].Reported()) continue;
      CPipeConnection* connection = m_Connections[i - first_connection].get();
      if (!connection->OnReadable()) ended.push_back(connection);
    }
    for (CPipeConnection* connection : ended) Close(connection);
    if (accepting && handles[0].readable) AcceptWaiting();
  }

  void CloseAll() {
    m_Connections.clear();
    m_Listener.Close();
  }

 private:
  void AcceptWaiting() {
    while (m_Connections.size() < kMaxPipeConnections) {
      std::unique_ptr<platform::ipc::PipeConnection> pipe = m_Listener.Accept();
      if (!pipe) return;
      platform::ipc::PeerCredentials peer;
      if (!pipe->GetPeer(&peer) || !platform::ipc::IsTrustedPeer(peer)) {
        GetLogger().LogLine("Pipe client refused: process %d of user %u.", static_cast<int>(peer.pid),
                            static_cast<unsigned>(peer.uid));
        continue;  // closed as it goes out of scope
      }
      m_Connections.push_back(std::make_unique<CPipeConnection>(std::move(pipe), m_Server.m_UserData,
                                                                m_Server.m_Callback, m_Server.m_Timeout));
    }
  }

  void Close(CPipeConnection* connection) {
    for (auto it = m_Connections.begin(); it != m_Connections.end(); ++it) {
      if (it->get() == connection) {
        m_Connections.erase(it);
        return;
      }
    }
  }

  CPipeServer& m_Server;
  const std::string m_FullName;
  platform::ipc::PipeListener m_Listener;
  bool m_ListenFailed = false;
  bool m_WaitFailed = false;
  std::vector<std::unique_ptr<CPipeConnection>> m_Connections;
};

CPipeServer::CPipeServer(platform::Event* stopEvent, const std::string* pipeName, bool secure)
    : m_StopEvent(stopEvent), m_Secure(secure), m_PipeName(pipeName) {}

CPipeServer::~CPipeServer() = default;

bool CPipeServer::Run() {
  // Setting the stop event wakes the wait at once; the wake detaches from the event
  // when Run returns.
  platform::net::StopWake wake(*m_StopEvent);
  if (!wake.IsValid()) return false;
  const CurrentStopScope current(m_StopEvent);

  Loop loop(*this);
  while (!m_StopEvent->IsSet()) loop.WaitAndServe(wake);
  loop.CloseAll();
  return true;
}
