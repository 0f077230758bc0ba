// Window handles and thread message queues in the manner of the original platform,
// with no toolkit inside.
//
// A window handle names a message handler owned by the thread that created it.
// Messages posted to a handle from any thread wait in the owner thread's FIFO and
// are dispatched only on the owner thread, in the order they were posted, while it
// pumps (PumpMessagesAndWait, PumpUntil, RunMessageLoop, or a toolkit driver's own
// loop). Timers deliver WM_TIMER to their window while the owner pumps. A quit
// request (PostQuitMessage) is sticky: nested pumps return when they see it and
// leave it pending for the outermost loop.
//
// The registry and each thread's queue own their mutexes; handlers are always
// called with no lock of this layer held, so a handler may post, send, create or
// destroy windows.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "platform/sync/event.h"

namespace platform::window {

using WindowHandle = uintptr_t;  // 0 is no window
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

constexpr uint32_t WM_QUIT = 0x0012;
constexpr uint32_t WM_TIMER = 0x0113;
constexpr uint32_t WM_APP = 0x8000;

using MessageHandler = std::function<LRESULT(uint32_t message, WPARAM wparam, LPARAM lparam)>;

// Binds a toolkit's event loop to the calling thread's queue. The toolkit keeps
// running its own events while this layer's waits sleep, and its loop dispatches
// this layer's messages when it is the outermost loop.
class PumpDriver {
 public:
  virtual ~PumpDriver() = default;
  // Owner thread: handles the toolkit's pending events without blocking.
  virtual void ProcessToolkitEvents() = 0;
  // Owner thread: sleeps until toolkit input, a Wake, or ms (kInfinite) passes.
  virtual void WaitForToolkitInput(uint32_t ms) = 0;
  // Any thread, possibly with this layer's locks held: makes a sleeping
  // WaitForToolkitInput return, and has the toolkit's own loop call
  // DispatchPending soon. Must not call back into this layer.
  virtual void Wake() = 0;
};

// Installs (or, with nullptr, removes) the calling thread's driver. The driver must
// outlive its installation.
void InstallDriver(PumpDriver* driver);

// Creates a window owned by the calling thread.
WindowHandle CreateWindowHandle(MessageHandler handler);
// Destroys a window: later posts to it fail, its queued messages and timers are
// dropped. A handler running at that moment finishes. Any thread.
void DestroyWindowHandle(WindowHandle window);
bool IsWindow(WindowHandle window);

// Queues a message for the window's owner thread. False when the window is gone.
bool PostMessage(WindowHandle window, uint32_t message, WPARAM wparam, LPARAM lparam);
// Calls the handler. On the owner thread it is a direct call; from another thread
// the message is queued and the caller waits until the owner has dispatched it.
// Returns 0 when the window is gone (or goes before the message is dispatched).
LRESULT SendMessage(WindowHandle window, uint32_t message, WPARAM wparam, LPARAM lparam);

// Sets (or resets) timer id of the window: WM_TIMER with wparam id every ms while the
// owner pumps. Returns id, or 0 when the window is gone or not owned by this thread.
uintptr_t SetTimer(WindowHandle window, uintptr_t id, uint32_t ms);
bool KillTimer(WindowHandle window, uintptr_t id);

// The calling thread's quit request.
void PostQuitMessage(int exit_code);
bool QuitPending(int* exit_code = nullptr);
// Clears the quit request; only the outermost loop does this.
void ClearQuit();

// Dispatches every message queued for the calling thread and every due timer.
// Returns false when a quit request is pending. Messages are never dropped for a
// quit: like the original platform's queue, the quit is seen once the posted
// messages have been handled.
bool DispatchPending();

// What PumpMessagesAndWait returns for a quit request.
constexpr int kPumpQuit = -1;

// Dispatches the queue, then waits for one of the events or for new input, over and
// over. Returns the lowest index of a signalled event (consuming an auto-reset one),
// kPumpQuit when a quit request is pending (it stays pending), or kWaitTimeout when
// ms passed (kInfinite: no limit).
int PumpMessagesAndWait(std::span<Event* const> events, uint32_t ms = kInfinite);

// Dispatches and waits until done() is true (checked after every dispatch and wake).
// Returns false when a quit request ended the wait (it stays pending).
bool PumpUntil(const std::function<bool()>& done);

// Waits ms while the calling thread keeps serving its messages, timers and toolkit
// events (paint above all); the whole ms also when a quit request is pending (it
// stays pending), the time measured on the platform tick count.
void PumpFor(uint32_t ms);

// Runs the calling thread's outermost loop until a quit request; clears and returns
// its exit code. For threads without a toolkit driver.
int RunMessageLoop();

// How many pumps are running on the calling thread (0 in the outermost loop).
int PumpDepth();

// Milliseconds until the calling thread's next timer is due (0 when one is due
// now), or kInfinite when it has no timer. For drivers that run their own loop.
uint32_t MsUntilNextTimer();

}  // namespace platform::window
