// QK's entry point: one run over the process's arguments.
#include <memory>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#endif

#include "driver/driver.h"

int main(int argc, char** argv) {
#ifdef _WIN32
  // QK prints exact bytes (texts may hold CR and LF of their own); the C
  // runtime's text mode would turn each "\n" into CR LF.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  // The run state is a few kilobytes; it lives on the heap so that the
  // stack stays small on every platform.
  auto run = std::make_unique<qk::Run>();
  return qk::run_qk(*run, argc, argv);
}
