// pmsensor: takes one reading from the particulate-matter sensor and prints it.
#include "PMSensorDriver.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#ifndef PMSENSOR_DEVICE
#define PMSENSOR_DEVICE "/dev/ttyAMA0"
#endif

// perror, then close the descriptor: a failed set-up leaves nothing open.
static int32_t configureFailed(int fd)
{
    perror("Error configuring serial port");
    close(fd);
    return -1;
}

int32_t pmSensorInit()
{
    const int fd = open(PMSENSOR_DEVICE, O_RDWR);
    if (fd < 0) {
        perror("Error opening serial port");
        return -1;
    }

    struct termios tty;
    memset(&tty, 0, sizeof tty);
    if (tcgetattr(fd, &tty) != 0)
        return configureFailed(fd);

    if (cfsetospeed(&tty, B9600) != 0 || cfsetispeed(&tty, B9600) != 0)
        return configureFailed(fd);
    tty.c_cflag |= CS8;                             // 8 data bits (CS8 fills CSIZE)
    tty.c_cflag &= ~PARENB;                         // no parity
    tty.c_cflag &= ~CSTOPB;                         // one stop bit
    tty.c_iflag &= ~(INLCR | ICRNL);                // no CR/NL translation
    tty.c_iflag &= ~(IXON | IXANY | IXOFF);         // no software flow control
    tty.c_iflag &= ~(ISTRIP | IGNCR | PARMRK);      // keep bit 7, every 0x0D, single 0xFF
    tty.c_oflag &= ~OPOST;                          // output unprocessed
    tty.c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE); // non-canonical, no echo or signals
    tty.c_cc[VMIN] = 1;                             // a read returns once one byte is there

    // Drop what came in before this run; the next frame starts after it.
    (void)tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &tty) != 0)
        return configureFailed(fd);
    return fd;
}

int32_t pmSensorData(int32_t fd, float pair[2])
{
    int32_t slot[10];
    for (int32_t &s : slot) {
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
        s = byte;
    }
    // Bytes 2-3 and 4-5 hold the raw counts, low byte first, ten per unit.
    pair[0] = static_cast<float>((slot[3] * 256 + slot[2]) / 10.0);
    pair[1] = static_cast<float>((slot[5] * 256 + slot[4]) / 10.0);
    return 1;
}

int main()
{
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
