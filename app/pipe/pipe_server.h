// The management pipe's server: a thread of its own (CPipeServerThread) that serves
// the launcher's requests on a local message pipe (platform/ipc) and answers each
// with one callback (PipeRequestCallback; the application's is OnPipeCommand).
//
// Wire: each request is one message of at most 4096 bytes; its text is the bytes up
// to the first NUL (all of them without one). The callback writes the reply into a
// 4096-byte buffer as a NUL-terminated text; the server sends that text and its NUL
// as one message. A connection may carry any number of requests, one at a time.
//
// CPipeServer (on the server thread) keeps every connection it accepted and closes
// them all when it stops. A request over 4096 bytes, a failed read or a reply that
// cannot be written within the time-out ends only its own connection. Peers that do
// not run as this process's user or as root are refused at connect time (the
// secure flag is kept for the caller's sake; the kernel's peer check applies
// always, since an abstract socket has no permissions of its own). At most 255
// connections are served at once; further clients wait in the listen queue. When
// the name cannot be taken (another process holds it), the server tries again every
// second until it gets it or is stopped. When the wait itself fails (poll reports an
// error), the server pauses for kPipeWaitRetryMs, or until it is stopped, before it
// waits again: a lasting failure costs a few calls a second, never a spinning thread.
//
// Threads: Set*, Start and Stop are for one owner thread (the UI thread). The
// callback, and everything the server does, runs on the server thread; the callback
// may wait for other threads, and should give up when CurrentPipeStopEvent() is
// signalled so that Stop is never held up by it. The stop event owns its lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "platform/net/wait.h"
#include "platform/sync/event.h"
#include "platform/thread/worker_thread.h"

// The request callback: user data, request text, reply buffer and its size (4096).
// The server clears the first reply byte before each call.
using PipeRequestCallback = void (*)(void* userData, const char* request, char* reply, size_t replySize);

inline constexpr size_t kPipeBufferSize = 4096;
inline constexpr char kPipeNamePrefix[] = "\\\\.\\pipe\\";
inline constexpr char kPipeNameSuffix[] = "_QuillonAppVirureday";
inline constexpr size_t kMaxFullPipeName = 255;
inline constexpr int kPipeDefaultTimeoutMs = 2000;
inline constexpr size_t kMaxPipeConnections = 255;
inline constexpr uint32_t kPipeNameRetryMs = 1000;
inline constexpr uint32_t kPipeWaitRetryMs = 200;

// The decimal digits of number in reverse order, 1..9 as "A".."I" and 0 as "J":
// 1205 gives "EJBA".
std::string EncodeNumberAsLetters(unsigned long number);
// The pipe name (without the prefix) of a process: EncodeNumberAsLetters(pid) +
// "_QuillonAppVirureday".
std::string PipeNameForProcess(unsigned long pid);
// "\\.\pipe\" + name, cut to 255 characters: the name the socket is bound to.
std::string FullPipeName(const std::string& name);

// On the server thread, while the server runs: its stop event (so that a callback
// waiting for another thread can give up at once). nullptr on every other thread.
platform::Event* CurrentPipeStopEvent();

class CPipeServerThread;
uint32_t PipeServerThreadProc(CPipeServerThread* thread);

class CPipeServerThread {
 public:
  CPipeServerThread() = default;
  CPipeServerThread(const CPipeServerThread&) = delete;
  CPipeServerThread& operator=(const CPipeServerThread&) = delete;
  // Stops a running server (see Stop), then joins.
  virtual ~CPipeServerThread();

  // Stored for the next Start.
  void SetSecure(bool secure) { m_Secure = secure; }
  // Milliseconds a reply may wait for room in the pipe; 0 keeps 2000.
  void SetTimeout(int milliseconds) { m_Timeout = milliseconds; }
  void SetOwner(void* owner) { m_Owner = owner; }
  void SetRequestCallback(PipeRequestCallback callback) { m_Callback = callback; }

  // Starts the server thread on the name (without the "\\.\pipe\" prefix). While a
  // server runs, a second Start with the same name keeps it and answers true; with
  // another name it answers false. False also when the thread cannot be created.
  bool Start(const std::string& pipeName);
  // Signals the stop event and waits (without limit: every wait of the server
  // is bounded) for the thread. True when the thread ended with exit code 1 (a
  // regular stop); false when it was never started or its loop failed.
  bool Stop();
  // True while the server thread runs.
  bool IsRunning() const { return m_Thread && m_Thread->Running(); }
  const std::string& GetPipeName() const { return m_PipeName; }

 private:
  friend uint32_t PipeServerThreadProc(CPipeServerThread* thread);

  std::unique_ptr<platform::WorkerThread> m_Thread;
  std::unique_ptr<platform::Event> m_StopEvent;  // manual reset, created by Start
  bool m_Secure = false;
  int m_Timeout = 0;
  std::string m_PipeName;
  void* m_Owner = nullptr;
  PipeRequestCallback m_Callback = nullptr;
};

// The server loop; a value on the server thread's stack (see PipeServerThreadProc).
class CPipeServer {
 public:
  // The stop event and the name are borrowed and must outlive Run.
  CPipeServer(platform::Event* stopEvent, const std::string* pipeName, bool secure);
  CPipeServer(const CPipeServer&) = delete;
  CPipeServer& operator=(const CPipeServer&) = delete;
  ~CPipeServer();

  void SetTimeout(int milliseconds) { m_Timeout = milliseconds; }
  void SetUserData(void* userData) { m_UserData = userData; }
  void SetCallback(PipeRequestCallback callback) { m_Callback = callback; }
  bool IsSecure() const { return m_Secure; }

  // The wait on the listener and the connections; platform::net::WaitAnyReadable
  // unless a test puts another in (before Run).
  using WaitFunction =
      std::function<platform::net::WaitResult(std::span<platform::net::WaitHandle>, uint32_t, platform::net::StopWake*)>;
  void SetWaitForTesting(WaitFunction wait) { m_Wait = std::move(wait); }

  // Serves until the stop event is signalled: true then (every connection closed);
  // false when its wake-up descriptor cannot be created.
  bool Run();

 private:
  class Loop;

  platform::Event* const m_StopEvent;
  const bool m_Secure;
  int m_Timeout = kPipeDefaultTimeoutMs;
  const std::string* const m_PipeName;
  void* m_UserData = nullptr;
  PipeRequestCallback m_Callback = nullptr;
  WaitFunction m_Wait = platform::net::WaitAnyReadable;
};
