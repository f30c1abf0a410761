// Runs a command several times, its standard output going to /dev/null, and
// prints one line per run: wall time in nanoseconds and peak resident memory
// in KiB. Being a small program itself, it adds little to what the kernel
// counts as the child's peak memory.
// A command that exits non-zero fails the measurement, unless --any-status
// comes first (quillmark-scan exits 1 when it finds a payload).
// usage: measure [--any-status] RUNS PROGRAM [ARGS...]

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

int main(int argc, char** argv) {
  const bool anyStatus = argc > 1 && std::strcmp(argv[1], "--any-status") == 0;
  if (anyStatus) {
    --argc;
    ++argv;
  }
  if (argc < 3) {
    (void)std::fputs("usage: measure [--any-status] RUNS PROGRAM [ARGS...]\n", stderr);
    return 2;
  }
  const long runs = std::strtol(argv[1], nullptr, 10);
  for (long run = 0; run < runs; ++run) {
    timespec start{};
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = fork();
    if (child == 0) {
      const int sink = open("/dev/null", O_WRONLY);
      if (sink < 0 || dup2(sink, 1) < 0) _exit(127);
      execv(argv[2], argv + 2);
      _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child) return 1;
    clock_gettime(CLOCK_MONOTONIC, &end);
    if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && !anyStatus)) {
      (void)std::fprintf(stderr, "%s failed\n", argv[2]);
      return 1;
    }
    const long long nanoseconds =
        (end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
    (void)std::printf("%lld %ld\n", nanoseconds, usage.ru_maxrss);
  }
  return 0;
}
