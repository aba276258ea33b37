/* launch: runs a command and writes its CPU time (user and system, in
 * microseconds) and peak resident memory (KiB) to a file. It is static and
 * small because a forked child counts the pages it inherits in its peak:
 * forked from here they are a few, not a whole interpreter's. For a command
 * that starts others the figures cover the whole tree; the peak is that of its
 * largest process. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 3) {
        fputs("usage: launch STATFILE COMMAND [ARG...]\n", stderr);
        return 2;
    }
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
    FILE *f = fopen(argv[1], "w");
    if (!f) {
        perror(argv[1]);
        return 1;
    }
    fprintf(f, "%ld %ld %ld\n", ru.ru_utime.tv_sec * 1000000L + ru.ru_utime.tv_usec,
            ru.ru_stime.tv_sec * 1000000L + ru.ru_stime.tv_usec, ru.ru_maxrss);
    fclose(f);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
