# A Linux serial program nobody here wrote: pyserial on the terminal that tarnel-host pty made,
# writing to an echoing printer and reading the echo back with its own read time-outs.
# Usage: pyserial_client.py TERMINAL; exit status 0 when every check held.
import os
import random
import sys
import time

import serial


def fail(message):
    print("pyserial client: " + message, flush=True)
    sys.exit(1)


def read_exactly(port, count):
    data = port.read(count)
    if len(data) != count:
        fail("read %d of %d bytes before the %.1f s time-out" % (len(data), count, port.timeout))
    return data


def main():
    port = serial.Serial(sys.argv[1], baudrate=9600, bytesize=serial.EIGHTBITS,
                         parity=serial.PARITY_NONE, stopbits=serial.STOPBITS_ONE, timeout=10)
    greeting = b"hello through COM5\r\n"
    port.write(greeting)
    echoed = read_exactly(port, len(greeting))
    if echoed != greeting:
        fail("echo %r, wrote %r" % (echoed, greeting))

    # Nothing more is coming: a read gives up after pyserial's own time-out, empty.
    port.timeout = 0.3
    start = time.monotonic()
    extra = port.read(1)
    elapsed = time.monotonic() - start
    if extra or elapsed < 0.25:
        fail("idle read returned %r after %.2f s" % (extra, elapsed))

    # Binary data, every byte value, larger than the terminal's buffers.
    port.timeout = 10
    rng = random.Random(5)
    block = bytes(rng.randrange(256) for _ in range(50000))
    port.write(block)
    port.flush()
    if read_exactly(port, len(block)) != block:
        fail("binary echo differs")

    # New line settings go to the port before the bytes written after them. (Linux terminals
    # refuse other data bits and parity; rate and stop bits are theirs to set.)
    port.baudrate = 19200
    port.stopbits = serial.STOPBITS_TWO
    after = b"after 19200 8N2\n"
    port.write(after)
    if read_exactly(port, len(after)) != after:
        fail("echo after the new settings differs")
    port.close()
    print("pyserial client: ok", flush=True)


if __name__ == "__main__":
    main()
