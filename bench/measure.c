// Runs one command and reports what /usr/bin/time reports, with microseconds
// instead of its hundredths: wall time on the monotonic clock, user and system
// CPU time, and peak resident memory, all from wait4() as time(1) takes them.
// For a command that starts others (a shell pipeline), CPU time is their sum
// and peak memory that of the largest process.
//
//   measure RESULT_FILE COMMAND [ARGS...]
//
// Appends "wall_s user_s sys_s maxrss_kib exit_status" as one line to
// RESULT_FILE. The command's standard streams are those of measure.
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double seconds(struct timeval tv) { return (double)tv.tv_sec + (double)tv.tv_usec / 1e6; }

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: measure RESULT_FILE COMMAND [ARGS...]\n");
    return 2;
  }
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    return 2;
  }
  if (pid == 0) {
    execvp(argv[2], argv + 2);
    perror(argv[2]);
    _exit(127);
  }
  int status;
  struct rusage ru;
  while (wait4(pid, &status, 0, &ru) < 0) {
    if (errno != EINTR) {
      perror("wait4");
      return 2;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  double wall = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  FILE* f = fopen(argv[1], "a");
  if (!f) {
    perror(argv[1]);
    return 2;
  }
  fprintf(f, "%.6f %.6f %.6f %ld %d\n", wall, seconds(ru.ru_utime), seconds(ru.ru_stime), ru.ru_maxrss,
          code);
  if (fclose(f) != 0) {
    perror(argv[1]);
    return 2;
  }
  return code;
}
