// qxProcess: starts another program, optionally waits for it, and reports its exit
// code.
//
// The program is started with posix_spawn, never through a shell: its path is
// used as given (no search of PATH; a relative path is taken from the current
// folder) and the command-line text is split into the program's arguments by the
// rules of SplitCommandLine below; argv[0] is the path. The program inherits the
// environment, the current folder and every descriptor that is not close-on-exec
// (the library opens none that is not); its signal mask is emptied and SIGPIPE is
// back at its default.
//
// The wait calls an optional repaint hook about every 10 ms, so that a caller with
// windows can keep them painted; without a hook it blocks. A program still
// running when its object lets it go is reaped later by the next qxProcess call,
// so none stays a zombie for long. Not synchronised: an object belongs to one
// thread (the list of programs let go is guarded by its own mutex).
#pragma once

#include <sys/types.h>

#include <functional>
#include <vector>

#include "util/qx_string.h"

namespace qx {

// Splits a command-line text into arguments by the Microsoft C runtime's rules,
// the form such command lines are written in: blanks and TABs separate
// arguments; a double quote starts or ends a quoted part, in which blanks belong
// to the argument; "" inside a quoted part is one double quote; 2n backslashes
// before a double quote are n backslashes (the quote keeps its meaning), 2n+1 are
// n backslashes and a literal double quote; other backslashes are literal.
// Returns the number of arguments.
size_t SplitCommandLine(const qxString& commandLine, std::vector<qxString>& arguments);

}  // namespace qx

class qxProcess {
 public:
  // Called while WaitWithMessages waits, on the waiting thread.
  using RepaintHook = std::function<void()>;

  qxProcess() = default;
  qxProcess(const qxProcess&) = delete;
  qxProcess& operator=(const qxProcess&) = delete;
  ~qxProcess() { CloseHandles(); }

  // Lets go of a previous program, then starts program with the arguments of
  // commandLine; with wait, returns only when it has ended. False for an empty
  // path. Throws qxException("Failed to start application (%s) with command line
  // (%s).") when the program cannot be started (missing, not executable, ...).
  bool Start(const qxString& program, const qxString& commandLine, bool wait);
  // The exit code of an ended program (128 + the signal's number for one that a
  // signal ended); 0 without a program or while it runs.
  int GetExitCode();
  // True when a program was started and has ended.
  bool HasExited();
  // Lets go of the program (it keeps running).
  void CloseHandles();
  // Waits until the program pid has ended, calling the repaint hook meanwhile.
  // False for a pid that is not above 0 or not this object's program.
  bool WaitWithMessages(pid_t pid);

  void SetRepaintHook(RepaintHook hook) { m_RepaintHook = std::move(hook); }
  pid_t GetProcessId() const { return m_ProcessId; }

 private:
  // Collects the program's exit status when it has ended; with block, waits.
  bool Reap(bool block);

  pid_t m_ProcessId = 0;
  bool m_Exited = false;
  int m_ExitCode = 0;
  RepaintHook m_RepaintHook;
};
