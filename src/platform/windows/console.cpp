// One key from the console, for the pause and the paged help. On a console
// _getch reads a key without echo and without Enter; from a pipe or file
// one byte is read, and end of input counts as the key so that batch
// scripts and CI never hang.
#include <conio.h>
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"

namespace qk::platform {

void wait_for_key() {
  std::fflush(stdout);
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode;
  if (input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode)) {
    int key = _getch();
    // Arrow and function keys arrive as a prefix and a code; both belong
    // to the one key press, and a leftover would answer the next pause.
    if (key == 0 || key == 0xE0) _getch();
    return;
  }
  char byte;
  DWORD got;
  if (input != nullptr && input != INVALID_HANDLE_VALUE) ReadFile(input, &byte, 1, &got, nullptr);
}

}  // namespace qk::platform
