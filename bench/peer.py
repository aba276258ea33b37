# What a user would write instead of pmsensor, with pyserial: open the port at
# 9600 8N1, drop earlier input, read ten bytes, decode and print.
import sys

import serial

with serial.Serial(sys.argv[1], 9600, bytesize=8, parity="N", stopbits=1) as port:
    port.reset_input_buffer()
    frame = port.read(10)
print("PM2.5:%f PM10:%f" % ((frame[3] * 256 + frame[2]) / 10, (frame[5] * 256 + frame[4]) / 10))
