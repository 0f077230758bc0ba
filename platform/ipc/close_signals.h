// SIGTERM and SIGINT as something a message loop can wait for.
//
// InstallCloseSignals makes a self-pipe (a local socket pair, close-on-exec) and
// sets SIGTERM and SIGINT to write one byte to it; it returns the end to watch for
// reading, or -1 when the pair could not be made (the signals then keep their
// default action). Call it once, from the main thread, before other threads start.
// TakeCloseSignal reads one byte from that end (after it was reported readable);
// true when a signal was taken. The handler itself is async-signal-safe (one write).
// No lock: the descriptors are written once at install and only read afterwards.
#pragma once

namespace platform::ipc {

int InstallCloseSignals();
bool TakeCloseSignal(int fd);

}  // namespace platform::ipc
