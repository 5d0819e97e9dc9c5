/* The least that any wrapper does: start the program named by the first
   argument with the rest of the arguments, wait for it and pass its exit
   status on. */
#include <errno.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

extern char **environ;

int main(int argc, char **argv) {
  if (argc < 2) {
    fputs("usage: bench_spawn_only program [argument ...]\n", stderr);
    return 2;
  }
  pid_t pid;
  int err = posix_spawnp(&pid, argv[1], NULL, NULL, argv + 1, environ);
  if (err != 0) {
    fprintf(stderr, "bench_spawn_only: %s: %s\n", argv[1], strerror(err));
    return 1;
  }
  int status;
  while (waitpid(pid, &status, 0) == -1) {
    if (errno != EINTR) {
      perror("bench_spawn_only: waitpid");
      return 1;
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
