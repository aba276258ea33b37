// pmsensor: takes one reading from the particulate-matter sensor and prints it.
#include "PMSensorDriver.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#ifndef PMSENSOR_DEVICE
#define PMSENSOR_DEVICE "/dev/ttyAMA0"
#endif

// The sensor sends each frame as one burst and is silent between frames. A
// frame is ten bytes with a silence this long after them: a silence before
// the tenth byte means the bytes so far were the tail of an earlier frame, and
// an eleventh byte before it means they were part of a longer burst (frames
// that waited in a buffer, delivered back to back), not a frame. 100 ms is
// about a hundred byte times at 9600 baud, far above the delivery latency of
// USB serial adapters and far below the pause of a sensor that sends once a
// second.
static const int frameSilenceMs = 100;
static const int32_t frameBytes = 10;

// perror, then close the descriptor: a failed set-up leaves nothing open.
static int32_t setUpFailed(const char *what, int fd)
{
    perror(what);
    close(fd);
    return -1;
}

int32_t pmSensorInit()
{
    // Never the run's controlling terminal: a run without one (a service, a
    // setsid) would otherwise take the port, be killed by SIGHUP when the line
    // hangs up, and hang the port up for every other reader when it ends.
    const int fd = open(PMSENSOR_DEVICE, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        perror("Error opening serial port");
        return -1;
    }
    // One reader at a time: two runs at once would share the bytes of a frame.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            errno = EBUSY;
        return setUpFailed("Error opening serial port", fd);
    }

    struct termios tty;
    memset(&tty, 0, sizeof tty);
    if (tcgetattr(fd, &tty) != 0)
        return setUpFailed("Error configuring serial port", fd);

    // Below, a break (the line held low: the sensor restarting, a loose wire)
    // or a byte with a framing or parity error is dropped, not read as a 0
    // inside a frame; INPCK too, since drivers clear the error mark without it.
    if (cfsetospeed(&tty, B9600) != 0 || cfsetispeed(&tty, B9600) != 0)
        return setUpFailed("Error configuring serial port", fd);
    tty.c_cflag |= CS8;                             // 8 data bits (CS8 fills CSIZE)
    tty.c_cflag &= ~PARENB;                         // no parity
    tty.c_cflag &= ~CSTOPB;                         // one stop bit
    tty.c_iflag &= ~(INLCR | ICRNL);                // no CR/NL translation
    tty.c_iflag &= ~(IXON | IXANY | IXOFF);         // no software flow control
    tty.c_iflag &= ~(ISTRIP | IGNCR | PARMRK);      // keep bit 7, every 0x0D, single 0xFF
    tty.c_iflag |= IGNBRK | INPCK | IGNPAR;         // a break or bad byte is dropped, not a 0
    tty.c_oflag &= ~OPOST;                          // output unprocessed
    tty.c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE); // non-canonical, no echo or signals
    tty.c_cc[VMIN] = 1;                             // a read returns once one byte is there

    if (tcsetattr(fd, TCSANOW, &tty) != 0)
        return setUpFailed("Error configuring serial port", fd);
    // Drop what came in before the settings took effect (the next frame starts
    // after it) and any echo of it the port's earlier settings queued for the
    // sensor and not yet sent.
    (void)tcflush(fd, TCIOFLUSH);
    return fd;
}

// Waits up to the frame silence for a byte: 1 when one is there (or the line
// has hung up, which the next read reports), 0 after a silence, -1 on error.
static int byteWithinSilence(int fd)
{
    struct pollfd line = {fd, POLLIN, 0};
    int n;
    do
        n = poll(&line, 1, frameSilenceMs);
    while (n < 0 && errno == EINTR);
    return n;
}

int32_t pmSensorData(int32_t fd, float pair[2])
{
    int32_t slot[frameBytes];
    int32_t count = 0; // bytes since the last silence, counted up to one past a frame
    for (;;) {
        if (count > 0) {
            const int ready = byteWithinSilence(fd);
            if (ready < 0) {
                perror("Error reading serial port");
                return -1;
            }
            if (ready == 0) {
                if (count == frameBytes)
                    break; // ten bytes between two silences: a frame
                count = 0; // a frame's tail, or a longer burst: count from the next byte
                continue;
            }
        }
        unsigned char byte = 0;
        ssize_t n;
        do
            n = read(fd, &byte, 1);
        while (n < 0 && errno == EINTR);
        if (n < 0) {
            perror("Error reading serial port");
            return -1;
        }
        if (n == 0) {
            // No errno here: a zero-byte read on a tty means the line hung up.
            (void)fputs("Error reading serial port: line hung up\n", stderr);
            return -1;
        }
        if (count < frameBytes)
            slot[count] = byte;
        if (count <= frameBytes)
            ++count;
    }
    // Bytes 2-3 and 4-5 hold the raw counts, low byte first, ten per unit.
    pair[0] = static_cast<float>((slot[3] * 256 + slot[2]) / 10.0);
    pair[1] = static_cast<float>((slot[5] * 256 + slot[4]) / 10.0);
    return 1;
}

// Descriptors 1 and 2 must not be free when the port is opened: open would
// hand the port one of them, and the reading or a message would go out on the
// line. False when standard output is closed: the reading could not be written
// anywhere, so the line is not touched at all. A closed standard error is held
// with /dev/null: messages are then lost, never sent to the sensor.
static bool holdStandardStreams()
{
    if (fcntl(STDOUT_FILENO, F_GETFD) == -1)
        return false;
    if (fcntl(STDERR_FILENO, F_GETFD) == -1) {
        const int null = open("/dev/null", O_WRONLY); // 2, or 0 if that is free too
        if (null < 0 || (null != STDERR_FILENO && dup2(null, STDERR_FILENO) < 0))
            return false;
        if (null != STDERR_FILENO)
            close(null);
    }
    return true;
}

int main()
{
    if (!holdStandardStreams()) {
        perror("Error writing reading");
        return 1;
    }
    const int32_t fd = pmSensorInit();
    if (fd == -1)
        return 1;
    float pair[2];
    if (pmSensorData(fd, pair) != 1)
        return 1;
    // A closed pipe on standard output is a failed write to report, not a
    // silent death by SIGPIPE.
    (void)signal(SIGPIPE, SIG_IGN);
    if (printf("PM2.5:%f PM10:%f\n", pair[0], pair[1]) < 0 || fflush(stdout) != 0) {
        perror("Error writing reading");
        return 1;
    }
    return 0;
}
