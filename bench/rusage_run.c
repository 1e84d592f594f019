/* rusage_run OUTFILE COMMAND [ARGS...]: runs COMMAND and writes to OUTFILE
   "exit user_us sys_us maxrss_kib" for it.

   A child's peak RSS starts from its parent's size at fork and survives
   exec, so measured straight from the (large) Python benchmark every Wine
   process would report Python's peak. Forked from this small program the
   figure is the command's own. */
#define _GNU_SOURCE
#include <stdio.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

static long long timeval_micros(const struct timeval *t) {
  return (long long)t->tv_sec * 1000000LL + t->tv_usec;
}

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: rusage_run OUTFILE COMMAND [ARGS...]\n");
    return 125;
  }
  const pid_t child = fork();
  if (child < 0) return 126;
  if (child == 0) {
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) < 0) return 126;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  FILE *out = fopen(argv[1], "w");
  if (out == NULL) return 126;
  fprintf(out, "%d %lld %lld %ld\n", code, timeval_micros(&usage.ru_utime),
          timeval_micros(&usage.ru_stime), usage.ru_maxrss);
  return fclose(out) == 0 ? code : 126;
}
