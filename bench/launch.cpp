// kb_launch [--preload LIB] RESULT PROGRAM ARGS...: runs one program and writes, to RESULT, the
// wall time from just before the exec to its exit, the CPU time it used (user and system, its
// threads included), its peak resident memory and its exit status, as "name value" lines. The
// program's own output goes to RESULT.log. The time of the exec goes to the program as KB_T0_NS,
// for flipwatch.so, which LIB names when the program is to be watched (it is preloaded into the
// program only, never into this launcher).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static long now_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000L + t.tv_nsec;
}

static double ms(const timeval &t)
{
    return t.tv_sec * 1e3 + t.tv_usec / 1e3;
}

int main(int argc, char **argv)
{
    const char *preload = nullptr;
    int first = 1;
    if (argc > 2 && strcmp(argv[1], "--preload") == 0) {
        preload = argv[2];
        first = 3;
    }
    if (argc < first + 2) {
        fprintf(stderr, "usage: kb_launch [--preload LIB] RESULT PROGRAM ARGS...\n");
        return 2;
    }
    const char *result = argv[first];
    std::string log = std::string(result) + ".log";

    long t0 = now_ns();
    pid_t pid = fork();
    if (pid < 0)
        return 1;
    if (pid == 0) {
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
            _exit(127);
        setenv("KB_T0_NS", std::to_string(t0).c_str(), 1);
        if (preload)
            setenv("LD_PRELOAD", preload, 1);
        execvp(argv[first + 1], argv + first + 1);
        _exit(127);
    }
    int status = 0;
    rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid)
        return 1;
    long t1 = now_ns();

    FILE *out = fopen(result, "w");
    if (!out)
        return 1;
    fprintf(out, "wall_ms %.3f\n", (t1 - t0) / 1e6);
    fprintf(out, "user_ms %.3f\nsys_ms %.3f\n", ms(usage.ru_utime), ms(usage.ru_stime));
    fprintf(out, "cpu_ms %.3f\n", ms(usage.ru_utime) + ms(usage.ru_stime));
    fprintf(out, "maxrss_kb %ld\n", usage.ru_maxrss);
    fprintf(out, "status %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    fclose(out);
    return 0;
}
