/* launch: runs a command and writes its CPU time (user and system, in
 * microseconds), peak resident memory (KiB) and wall time (nanoseconds) to a
 * file. It is static and small because a forked child counts the pages it
 * inherits in its peak: forked from here they are a few, not a whole
 * interpreter's. For a command that starts others the figures cover the whole
 * tree; the peak is that of its largest process. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 3) {
        fputs("usage: launch STATFILE COMMAND [ARG...]\n", stderr);
        return 2;
    }
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    int status;
    struct rusage ru;
    if (pid < 0 || wait4(pid, &status, 0, &ru) < 0) {
        perror("launch");
        return 1;
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    FILE *f = fopen(argv[1], "w");
    if (!f) {
        perror(argv[1]);
        return 1;
    }
    fprintf(f, "%ld %ld %ld %lld\n", ru.ru_utime.tv_sec * 1000000L + ru.ru_utime.tv_usec,
            ru.ru_stime.tv_sec * 1000000L + ru.ru_stime.tv_usec, ru.ru_maxrss,
            (t1.tv_sec - t0.tv_sec) * 1000000000LL + (t1.tv_nsec - t0.tv_nsec));
    fclose(f);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
