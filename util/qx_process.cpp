#include "util/qx_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/sync/mutex.h"

extern char** environ;

namespace qx {

// SplitCommandLine(commandLine, arguments): one pass with a quoted flag.
// Backslashes are counted; at a double quote 2n of them give n and the quote its
// meaning, 2n+1 give n and a literal quote; elsewhere they are literal. Inside a
// quoted part "" is a literal quote. Blanks and TABs outside quotes end an
// argument; a quoted part makes an argument even when it is empty.
size_t SplitCommandLine(const qxString& commandLine, std::vector<qxString>& arguments) {
  arguments.clear();
  const std::string& text = commandLine.str();
  std::string current;
  bool inArgument = false;
  bool quoted = false;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\\') {
      size_t n = 0;
      while (i < text.size() && text[i] == '\\') {
        ++n;
        ++i;
      }
      inArgument = true;
      if (i < text.size() && text[i] == '"') {
        current.append(n / 2, '\\');
        if (n % 2 == 1) {
          current += '"';
          ++i;
        }
      } else {
        current.append(n, '\\');
      }
      continue;
    }
    if (c == '"') {
      inArgument = true;
      if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
        current += '"';
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    if ((c == ' ' || c == '\t') && !quoted) {
      if (inArgument) {
        arguments.emplace_back(current);
        current.clear();
        inArgument = false;
      }
      ++i;
      continue;
    }
    current += c;
    inArgument = true;
    ++i;
  }
  if (inArgument) arguments.emplace_back(current);
  return arguments.size();
}

}  // namespace qx

namespace {

constexpr long kRepaintIntervalNs = 10 * 1000 * 1000;

// Programs let go of while still running; reaped as soon as they end.
struct LetGo {
  platform::Mutex lock;
  std::vector<pid_t> pids GUARDED_BY(lock);
};

LetGo& LetGoList() {
  static LetGo list;
  return list;
}

void ReapLetGo() {
  LetGo& list = LetGoList();
  platform::MutexLock guard(list.lock);
  for (size_t i = 0; i < list.pids.size();) {
    int status = 0;
    const pid_t r = waitpid(list.pids[i], &status, WNOHANG);
    if (r == 0) {
      ++i;
    } else {
      list.pids[i] = list.pids.back();
      list.pids.pop_back();
    }
  }
}

void AddLetGo(pid_t pid) {
  LetGo& list = LetGoList();
  platform::MutexLock guard(list.lock);
  list.pids.push_back(pid);
}

// Attributes and arguments of one spawn, released when it is done.
class SpawnSetup {
 public:
  SpawnSetup() {
    m_Ok = posix_spawnattr_init(&m_Attr) == 0;
    if (!m_Ok) return;
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    m_Ok = posix_spawnattr_setsigmask(&m_Attr, &none) == 0 &&
           posix_spawnattr_setsigdefault(&m_Attr, &defaults) == 0 &&
           posix_spawnattr_setflags(&m_Attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
  }
  ~SpawnSetup() { posix_spawnattr_destroy(&m_Attr); }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  bool Ok() const { return m_Ok; }
  const posix_spawnattr_t* Attr() const { return &m_Attr; }

 private:
  posix_spawnattr_t m_Attr{};
  bool m_Ok = false;
};

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 0;
}

}  // namespace

// Start(program, commandLine, wait):
// 1. Let go of a previous program; an empty path answers false.
// 2. argv is the path, then the arguments split from the command line.
// 3. posix_spawn; a failure throws with the path and the command line.
// 4. With wait, WaitWithMessages. True.
bool qxProcess::Start(const qxString& program, const qxString& commandLine, bool wait) {
  CloseHandles();
  if (program.IsEmpty()) return false;
  std::vector<qxString> arguments;
  qx::SplitCommandLine(commandLine, arguments);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (qxString& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  SpawnSetup setup;
  pid_t pid = 0;
  const int error =
      setup.Ok() ? posix_spawn(&pid, program.c_str(), nullptr, setup.Attr(), argv.data(), environ)
                 : EINVAL;
  if (error != 0 || pid <= 0) {
    throw qxException("Failed to start application (%s) with command line (%s).", program.c_str(),
                      commandLine.c_str());
  }
  m_ProcessId = pid;
  m_Exited = false;
  m_ExitCode = 0;
  if (wait) WaitWithMessages(pid);
  return true;
}

bool qxProcess::Reap(bool block) {
  if (m_ProcessId <= 0) return false;
  if (m_Exited) return true;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(m_ProcessId, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  m_Exited = true;
  // Somebody else collected it (SIGCHLD ignored, for example): the code is lost.
  m_ExitCode = r == m_ProcessId ? ExitCodeOf(status) : 0;
  return true;
}

int qxProcess::GetExitCode() { return Reap(false) ? m_ExitCode : 0; }

bool qxProcess::HasExited() { return Reap(false); }

void qxProcess::CloseHandles() {
  if (m_ProcessId > 0 && !Reap(false)) AddLetGo(m_ProcessId);
  m_ProcessId = 0;
  m_Exited = false;
  m_ExitCode = 0;
  ReapLetGo();
}

bool qxProcess::WaitWithMessages(pid_t pid) {
  if (pid <= 0 || pid != m_ProcessId) return false;
  if (!m_RepaintHook) return Reap(true);
  while (!Reap(false)) {
    m_RepaintHook();
    const timespec pause{0, kRepaintIntervalNs};
    nanosleep(&pause, nullptr);
  }
  return true;
}
