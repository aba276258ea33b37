// pmsensor-sim: plays the particulate-matter sensor on a pseudo-terminal, so
// that pmsensor can be run and tried without hardware.
//
// It links PATH to the slave of a new pseudo-terminal and, like the sensor,
// sends a ten-byte frame at a steady rate without being asked, each byte at
// the pace of a 9600 baud line, so that a frame is on the line for 10.4 ms:
//
//   byte 0     0x5A, start of frame
//   byte 1     0x01, frame kind: measurement
//   bytes 2-3  PM2.5 count, low byte first, ten per unit
//   bytes 4-5  PM10 count, low byte first, ten per unit
//   bytes 6-7  frame number, low byte first
//   byte 8     sum of bytes 1 to 7, modulo 256
//   byte 9     0xA5, end of frame
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <getopt.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

static const char usage[] =
    "usage: pmsensor-sim [options] PATH\n"
    "Links PATH to a pseudo-terminal and sends sensor frames on it until stopped.\n"
    "  --pm25 VALUE     PM2.5 value to send, 0 to 6553.5 (default 12.3)\n"
    "  --pm10 VALUE     PM10 value to send, 0 to 6553.5 (default 45.6)\n"
    "  --vary           let both values drift slowly around the given ones\n"
    "  --interval MS    milliseconds between frames, 1 to 3600000 (default 1000)\n"
    "  --count N        stop after N frames (default 0: until SIGINT, SIGTERM or SIGHUP)\n"
    "  --qemu-mux       PATH is read by a QEMU chardev with mux=on: send each 0x01\n"
    "                   as 0x01 0x01, its escape, so that data never reads as a command\n"
    "  --breaks LIST    with --qemu-mux: where to send a break (Ctrl-A b), one frame\n"
    "                   after another, such as 4,2,10: before byte 0 to 9, or 10 for\n"
    "                   after the frame; SIGUSR2 turns the breaks on and off (off at start)\n"
    "On stopping it reports how many bytes readers wrote to the line, and exits 1\n"
    "if there were any: the sensor never expects a byte. SIGUSR1 reports the count\n"
    "so far.\n";

struct Options {
    long pm25 = 123, pm10 = 456; // counts: ten per unit
    bool vary = false;
    long intervalMs = 1000;
    long count = 0;
    bool qemuMux = false;
    int breaks[16] = {}; // positions, one frame after another
    int breakCount = 0;
    const char *path = nullptr;
};

static bool parseNumber(const char *text, double low, double high, double *value)
{
    char *end = nullptr;
    errno = 0;
    *value = strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && *value >= low && *value <= high;
}

static bool parseBreaks(const char *text, Options *o)
{
    o->breakCount = 0;
    for (const char *p = text;; ++p) {
        char *end = nullptr;
        errno = 0;
        const long at = strtol(p, &end, 10);
        if (errno != 0 || end == p || at < 0 || at > 10 || o->breakCount == 16)
            return false;
        o->breaks[o->breakCount++] = static_cast<int>(at);
        p = end;
        if (*p == '\0')
            return true;
        if (*p != ',')
            return false;
    }
}

static int checkArguments(int argc, char **argv, Options *o);

// Returns 0, or 2 after a message on a bad command line.
static int parseOptions(int argc, char **argv, Options *o)
{
    enum { PM25 = 256, PM10, VARY, INTERVAL, COUNT, QEMU_MUX, BREAKS, HELP };
    static const option longOptions[] = {{"pm25", required_argument, nullptr, PM25},
                                         {"pm10", required_argument, nullptr, PM10},
                                         {"vary", no_argument, nullptr, VARY},
                                         {"interval", required_argument, nullptr, INTERVAL},
                                         {"count", required_argument, nullptr, COUNT},
                                         {"qemu-mux", no_argument, nullptr, QEMU_MUX},
                                         {"breaks", required_argument, nullptr, BREAKS},
                                         {"help", no_argument, nullptr, HELP},
                                         {nullptr, 0, nullptr, 0}};
    opterr = 0; // getopt's own messages would name the program by its full path
    int c = 0;
    int which = 0;
    double v = 0;
    while ((c = getopt_long(argc, argv, "", longOptions, &which)) != -1) {
        const char *bad = nullptr;
        switch (c) {
        case PM25:
        case PM10:
            if (!parseNumber(optarg, 0, 6553.5, &v))
                bad = "a value from 0 to 6553.5";
            else
                (c == PM25 ? o->pm25 : o->pm10) = lround(v * 10);
            break;
        case VARY:
            o->vary = true;
            break;
        case INTERVAL:
            if (!parseNumber(optarg, 1, 3600000, &v) || v != floor(v))
                bad = "a whole number of milliseconds from 1 to 3600000";
            o->intervalMs = static_cast<long>(v);
            break;
        case COUNT:
            if (!parseNumber(optarg, 0, 1e9, &v) || v != floor(v))
                bad = "a whole number of frames";
            o->count = static_cast<long>(v);
            break;
        case QEMU_MUX:
            o->qemuMux = true;
            break;
        case BREAKS:
            if (!parseBreaks(optarg, o))
                bad = "up to 16 positions from 0 to 10, separated by commas";
            break;
        case HELP:
            (void)fputs(usage, stdout);
            exit(0);
        default:
            (void)fprintf(stderr, "pmsensor-sim: unknown option or missing value: '%s'\n%s",
                          argv[optind - 1], usage);
            return 2;
        }
        if (bad) {
            (void)fprintf(stderr, "pmsensor-sim: --%s takes %s, not '%s'\n",
                          longOptions[which].name, bad, optarg);
            return 2;
        }
    }
    return checkArguments(argc, argv, o);
}

// Returns 0, or 2 after a message: options that need another, and one PATH.
static int checkArguments(int argc, char **argv, Options *o)
{
    if (o->breakCount > 0 && !o->qemuMux) {
        (void)fputs("pmsensor-sim: --breaks needs --qemu-mux: a pseudo-terminal carries no break\n",
                    stderr);
        return 2;
    }
    if (optind != argc - 1) {
        (void)fputs("pmsensor-sim: give exactly one PATH\n", stderr);
        (void)fputs(usage, stderr);
        return 2;
    }
    o->path = argv[optind];
    return 0;
}

// The count for frame k: fixed, or drifting by up to a fifth over a minute.
static unsigned countFor(long base, const Options &o, long k)
{
    double c = static_cast<double>(base);
    if (o.vary)
        c *= 1.0 + 0.2 * sin(2 * M_PI * static_cast<double>(k) * static_cast<double>(o.intervalMs) /
                             60000.0);
    return static_cast<unsigned>(lround(fmin(fmax(c, 0), 65535)));
}

static void makeFrame(unsigned char f[10], unsigned pm25, unsigned pm10, unsigned number)
{
    const unsigned char body[] = {0x01,
                                  static_cast<unsigned char>(pm25 & 0xff),
                                  static_cast<unsigned char>(pm25 >> 8),
                                  static_cast<unsigned char>(pm10 & 0xff),
                                  static_cast<unsigned char>(pm10 >> 8),
                                  static_cast<unsigned char>(number & 0xff),
                                  static_cast<unsigned char>((number >> 8) & 0xff)};
    unsigned sum = 0;
    f[0] = 0x5a;
    for (size_t i = 0; i < sizeof body; ++i) {
        f[i + 1] = body[i];
        sum += body[i];
    }
    f[8] = static_cast<unsigned char>(sum & 0xff);
    f[9] = 0xa5;
}

// One byte on a 9600 baud 8N1 line: a start bit, eight data bits, a stop bit.
static const long long byteNs = 10 * 1000000000LL / 9600;

static long long monotonicNs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void sleepUntil(long long ns)
{
    const timespec t = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

// Moves *at on by step and returns it. After a pause (the emulator stopped
// with SIGSTOP, or a stalled machine) the schedule starts again from now, as a
// sensor's would, instead of catching up in a burst.
static long long schedule(long long *at, long long step)
{
    *at += step;
    const long long now = monotonicNs();
    if (*at < now - 2 * byteNs)
        *at = now;
    return *at;
}

// Sends one data byte, or with no byte a break. Through QEMU's mux 0x01 is
// the escape: a data 0x01 goes twice, a break as Ctrl-A b.
static bool send(int master, const unsigned char *byte, bool qemuMux)
{
    const unsigned char escaped[2] = {0x01, byte ? *byte : static_cast<unsigned char>('b')};
    const bool escape = !byte || (qemuMux && *byte == 0x01);
    if (write(master, escape ? escaped : escaped + 1, escape ? 2 : 1) < 0 && errno != EAGAIN) {
        perror("pmsensor-sim: cannot send a frame");
        return false;
    }
    return true;
}

// Bytes a reader wrote to the slave, which the sensor never asks for.
static long readerBytes(int master)
{
    long n = 0;
    char buf[256];
    ssize_t got;
    while ((got = read(master, buf, sizeof buf)) > 0)
        n += got;
    return n;
}

// Sends a frame at the line's pace, with a break before byte breakAt (10:
// after the frame; -1: none), counting what readers wrote meanwhile.
static bool sendFrame(int master, const unsigned char frame[10], int breakAt, bool qemuMux,
                      long long *at, long *received)
{
    for (int i = 0; i <= 10; ++i) {
        if (i == breakAt) {
            // A break holds the line low for at least a byte's time.
            if (!send(master, nullptr, qemuMux))
                return false;
            sleepUntil(schedule(at, byteNs));
        }
        if (i == 10)
            break;
        if (i > 0)
            sleepUntil(schedule(at, byteNs));
        if (!send(master, &frame[i], qemuMux))
            return false;
        *received += readerBytes(master);
    }
    return true;
}

// Points path at target, replacing only a symbolic link: a device or file
// already standing there is never touched.
static bool linkTo(const char *path, const char *target)
{
    struct stat st;
    if (lstat(path, &st) == 0 && !S_ISLNK(st.st_mode)) {
        (void)fprintf(
            stderr, "pmsensor-sim: %s exists and is not a symbolic link; not replacing it\n", path);
        return false;
    }
    char tmp[4096];
    (void)snprintf(tmp, sizeof tmp, "%s.%ld.tmp", path, static_cast<long>(getpid()));
    unlink(tmp);
    if (symlink(target, tmp) != 0 || rename(tmp, path) != 0) {
        (void)fprintf(stderr, "pmsensor-sim: cannot link %s to %s: %s\n", path, target,
                      strerror(errno));
        unlink(tmp);
        return false;
    }
    return true;
}

// Removes the link at the emulator's path if it still points at our terminal.
static void unlinkOurs(const Options &o, const char *target)
{
    char now[4096];
    const ssize_t n = readlink(o.path, now, sizeof now - 1);
    if (n >= 0) {
        now[n] = '\0';
        if (strcmp(now, target) == 0)
            unlink(o.path);
    }
}

int main(int argc, char **argv)
{
    Options o;
    if (const int bad = parseOptions(argc, argv, &o))
        return bad;

    // SIGINT, SIGTERM and SIGHUP are taken with sigtimedwait between frames, so the
    // wait for the next frame is also the wait for a stop; SIGUSR1 asks for
    // the count of bytes readers wrote so far, SIGUSR2 turns breaks on or off.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGUSR1);
    sigaddset(&signals, SIGUSR2);
    sigprocmask(SIG_BLOCK, &signals, nullptr);

    int master = -1;
    int slave = -1;
    char slaveName[256];
    if (openpty(&master, &slave, slaveName, nullptr, nullptr) != 0) {
        perror("pmsensor-sim: cannot open a pseudo-terminal");
        return 1;
    }
    // Raw until a reader sets the line up: nothing echoed back, no byte
    // changed. The slave stays open so that the line outlives each reader.
    termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    // A byte that finds the line's buffer full is lost, as on a real line.
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    if (!linkTo(o.path, slaveName))
        return 1;
    (void)printf("pmsensor-sim: sensor on %s (%s), PM2.5 %.1f PM10 %.1f%s, a frame every %ld ms\n",
                 o.path, slaveName, static_cast<double>(o.pm25) / 10,
                 static_cast<double>(o.pm10) / 10, o.vary ? " drifting" : "", o.intervalMs);
    (void)fflush(stdout);

    long long at = monotonicNs(); // when the next byte goes out
    long received = 0;
    bool stopped = false;
    bool breaking = false;
    for (long k = 0; !stopped && (o.count == 0 || k < o.count); ++k) {
        unsigned char frame[10];
        makeFrame(frame, countFor(o.pm25, o, k), countFor(o.pm10, o, k), static_cast<unsigned>(k));
        const int breakAt = breaking ? o.breaks[k % o.breakCount] : -1;
        stopped = !sendFrame(master, frame, breakAt, o.qemuMux, &at, &received);
        // The pause until the next frame is also the wait for signals.
        const long long until =
            schedule(&at, std::max(o.intervalMs * 1000000LL - 9 * byteNs, byteNs));
        while (!stopped) {
            const long long left = std::max(until - monotonicNs(), 0LL);
            const timespec wait = {static_cast<time_t>(left / 1000000000),
                                   static_cast<long>(left % 1000000000)};
            const int sig = sigtimedwait(&signals, nullptr, &wait);
            if (sig == SIGUSR1) {
                received += readerBytes(master);
                (void)fprintf(stderr,
                              "pmsensor-sim: bytes written to the line by readers so far: %ld\n",
                              received);
            } else if (sig == SIGUSR2) {
                breaking = !breaking && o.breakCount > 0;
            } else if (sig > 0) {
                stopped = true;
            } else if (errno != EINTR) {
                break; // the pause is over
            }
        }
    }
    received += readerBytes(master);
    unlinkOurs(o, slaveName);
    (void)fprintf(stderr, "pmsensor-sim: bytes written to the line by readers: %ld\n", received);
    return received == 0 ? 0 : 1;
}
