// Runs one command the way the benchmark needs and measures it:
//
//   measure DIR OUT COMMAND [ARG...]
//
// The command runs in DIR, in a new session (no controlling terminal, so
// korendezo does not wait for a key), with standard input from /dev/null
// and standard output to the file OUT. Prints "SECONDS MAXRSS_KB STATUS
// CPU_SECONDS": wall time from fork to exit, the peak resident set size
// that wait4 reports (the same figure as /usr/bin/time's), the exit status,
// and user plus system time, which other load on the machine disturbs less.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: measure DIR OUT COMMAND [ARG...]\n");
    return 2;
  }
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) {
    std::perror("measure: fork");
    return 1;
  }
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
        chdir(argv[1]) != 0 || setsid() < 0) {
      std::perror("measure: child set-up");
      _exit(127);
    }
    close(in);
    close(out);
    execv(argv[3], argv + 3);
    std::perror("measure: exec");
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  std::memset(&usage, 0, sizeof usage);
  if (wait4(pid, &status, 0, &usage) != pid) {
    std::perror("measure: wait4");
    return 1;
  }
  auto stop = std::chrono::steady_clock::now();
  double seconds = std::chrono::duration<double>(stop - start).count();
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
               usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
  std::printf("%.6f %ld %d %.6f\n", seconds,
              static_cast<long>(usage.ru_maxrss), code, cpu);
  return 0;
}
