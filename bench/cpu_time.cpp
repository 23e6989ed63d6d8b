// Runs a command and prints the CPU time (user + system, in seconds, from
// the kernel's accounting of the finished child) it took; the command's own
// output goes to /dev/null. Exit status: the command's.
// Usage: cpu_time COMMAND [ARGS...]
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: cpu_time COMMAND [ARGS...]\n");
    return 2;
  }
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  struct rusage use;
  if (pid < 0 || wait4(pid, &status, 0, &use) != pid) return 125;
  double seconds = use.ru_utime.tv_sec + use.ru_utime.tv_usec / 1e6 + use.ru_stime.tv_sec + use.ru_stime.tv_usec / 1e6;
  printf("%.6f\n", seconds);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 126;
}
