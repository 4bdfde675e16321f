#include "UProcess.h"

#include <errno.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

int RunCommand(const char* const* argv) {
  if (!argv || !argv[0]) return -1;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    execvp(argv[0], const_cast<char* const*>(argv));
    // Same words as the shell would have used, so the caller's log reads alike.
    const char* msg = ": not found\n";
    if (write(2, argv[0], strlen(argv[0])) < 0 || write(2, msg, strlen(msg)) < 0) {
    }
    _exit(127);  // _exit: the parent's buffered stdout must not be written twice
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
