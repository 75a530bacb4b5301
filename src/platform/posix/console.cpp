// One key from the console, for the pause and the paged help. On a terminal
// the line discipline is switched off for the read so no Enter is needed and
// nothing is echoed; from a pipe or file one byte is read, and end of input
// counts as the key so that scripts and CI never hang.
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

namespace qk::platform {

void wait_for_key() {
  std::fflush(stdout);
  char key;
  if (!isatty(STDIN_FILENO)) {
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
    return;
  }
  termios saved;
  if (tcgetattr(STDIN_FILENO, &saved) != 0) {
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
    return;
  }
  termios raw = saved;
  raw.c_lflag &= ~(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
  }
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

}  // namespace qk::platform
