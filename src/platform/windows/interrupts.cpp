// Interrupts during a rewrite. Ctrl-C, Ctrl-Break or closing the console
// halfway through an in-place edit would leave the file torn, so while the
// file is written a console control handler swallows them and remembers
// that one came; releasing ends the process the way the default handler
// would have, once the file is consistent again. The handler runs on a
// thread of its own, hence the atomics.
#include <windows.h>

#include <atomic>

#include "platform/platform.h"

namespace qk::platform {

namespace {

std::atomic<bool> held{false};
std::atomic<bool> pending{false};
HANDLE released = nullptr;  // signalled when the hold ends
bool installed = false;

// The exit status of a process ended by Ctrl-C (STATUS_CONTROL_C_EXIT).
constexpr UINT kControlCExit = 0xC000013A;

BOOL WINAPI on_control(DWORD event) {
  if (!held.load()) return FALSE;
  pending.store(true);
  if (!held.load()) return FALSE;
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // Closing the console, logging off or shutting down ends the process as
  // soon as this handler returns: wait (as long as the system allows) for
  // the rewrite to finish first.
  if (released) WaitForSingleObject(released, INFINITE);
  return FALSE;
}

}  // namespace

void hold_interrupts() {
  if (!installed) {
    released = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    installed = SetConsoleCtrlHandler(on_control, TRUE) != 0;
  }
  if (released) ResetEvent(released);
  held.store(true);
}

void release_interrupts() {
  held.store(false);
  if (released) SetEvent(released);
  if (pending.exchange(false)) ExitProcess(kControlCExit);
}

}  // namespace qk::platform
