// Signals during a rewrite. A signal that killed QK halfway through an
// in-place edit would leave the file torn, so every signal that ends a
// process by default and that can be held back is blocked while the file is
// written: the interrupts a user or a shell sends (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT), SIGPIPE from a closed console pipe, a CPU limit's SIGXCPU,
// timers and the user signals. One that arrived meanwhile is delivered when
// they are unblocked, once the file is consistent again; the rewrite they
// wait for is bounded, since no run writes more than the largest file QK
// accepts.
//
// SIGXFSZ is ignored instead, for the rest of the run (which writes no file
// after the rewrite): a write past a file-size limit then simply fails, and
// the run puts the original back as after any write fault.
// Faults of QK itself (SIGSEGV, SIGBUS, ...) and job control stay as they
// are.
#include <signal.h>

#include <initializer_list>

#include "platform/platform.h"

namespace qk::platform {

namespace {

sigset_t held_signals() {
  sigset_t set;
  sigfillset(&set);
  for (int sig : {SIGKILL, SIGSTOP, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT,
                  SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT, SIGCHLD, SIGWINCH, SIGURG})
    sigdelset(&set, sig);
  return set;
}

}  // namespace

void hold_interrupts() {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGXFSZ, &ignore, nullptr);
  sigset_t set = held_signals();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

void release_interrupts() {
  sigset_t set = held_signals();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace qk::platform
