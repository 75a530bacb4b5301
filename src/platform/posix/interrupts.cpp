// Interrupts during a rewrite. A signal that killed QK halfway through an
// in-place edit would leave the file torn, so SIGINT, SIGTERM and SIGHUP are
// blocked while the file is written (and SIGPIPE, which a closed console
// pipe raises when the details are printed); one that arrived meanwhile is
// delivered when they are unblocked, once the file is consistent again.
#include <signal.h>

#include "platform/platform.h"

namespace qk::platform {

namespace {

sigset_t interrupt_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  // A closed console pipe must not kill the run between two writes either.
  sigaddset(&set, SIGPIPE);
  return set;
}

}  // namespace

void hold_interrupts() {
  sigset_t set = interrupt_set();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

void release_interrupts() {
  sigset_t set = interrupt_set();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace qk::platform
