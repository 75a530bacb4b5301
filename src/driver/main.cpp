// QK's entry point: one run over the process's arguments.
#include <memory>

#include "driver/driver.h"

int main(int argc, char** argv) {
  // The run state is a few kilobytes; it lives on the heap so that the
  // stack stays small on every platform.
  auto run = std::make_unique<qk::Run>();
  return qk::run_qk(*run, argc, argv);
}
