// Driver for the particulate-matter sensor on a serial line.
#ifndef PMSENSORDRIVER_H
#define PMSENSORDRIVER_H

#include <stdint.h>

// Opens the sensor's serial device, takes it for this process alone (an
// exclusive flock), and sets the line to 9600 baud 8N1, non-canonical input
// without echo, signal characters or software flow control, breaks and bytes
// received in error dropped, unprocessed output, reads of at least one byte.
// Returns the descriptor, or -1 after a message on standard error, with
// nothing left open.
int32_t pmSensorInit();

// Reads one frame, ten bytes with no silence of 100 ms between them and such a
// silence after them (fewer bytes before a silence are dropped as a frame's
// tail, more as a burst of old frames), and stores PM2.5
// in pair[0] and PM10 in pair[1]. Returns 1, or -1 after a message on
// standard error when a read fails or the line hangs up; pair is then left
// unwritten.
int32_t pmSensorData(int32_t fd, float pair[2]);

#endif
