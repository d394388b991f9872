#!/usr/bin/python3
"""Peer for the serial benchmarks: a pyserial reader thread on a port.

  pyserial_peer.py latency <port> <count>
      Reads readings "+<a>.<b>\\r" and prints "<seq> <monotonic ns>" for each
      complete one, stamped when the read that completed it returned.
  pyserial_peer.py throughput <port> <bytes>
      Reads <bytes> bytes, checks that byte i is i % 251, prints
      "<first byte ns> <last byte ns> <ok>".

Prints "ready" once the reader thread runs. The reader is the usual pyserial
pattern: read(in_waiting or 1) in a loop on its own thread.
"""
import sys
import threading
import time

import serial


def main():
    mode, port, amount = sys.argv[1], sys.argv[2], int(sys.argv[3])
    ser = serial.Serial(port, 9600, timeout=0.5)
    out = []
    done = threading.Event()

    def latency_reader():
        line = b""
        seen = 0
        while seen < amount:
            data = ser.read(ser.in_waiting or 1)
            now = time.monotonic_ns()
            if not data:
                continue
            for b in data:
                if b != 13:
                    line += bytes([b])
                    continue
                text = line.decode("ascii", "replace")
                line = b""
                if text.startswith("+") and "." in text:
                    whole, frac = text[1:].split(".", 1)
                    out.append("%d %d" % (int(whole) * 10 + int(frac), now))
                    seen += 1
        done.set()

    def throughput_reader():
        got = 0
        ok = True
        first = None
        last = None
        while got < amount:
            data = ser.read(ser.in_waiting or 1)
            if not data:
                continue
            now = time.monotonic_ns()
            if first is None:
                first = now
            last = now
            for i, b in enumerate(data):
                if b != (got + i) % 251:
                    ok = False
                    break
            got += len(data)
        out.append("%d %d %d" % (first, last, 1 if ok and got == amount else 0))
        done.set()

    reader = latency_reader if mode == "latency" else throughput_reader
    t = threading.Thread(target=reader, daemon=True)
    t.start()
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    done.wait(timeout=amount * 0.05 + 60 if mode == "latency" else 120)
    sys.stdout.write("\n".join(out) + "\n")
    sys.stdout.flush()
    ser.close()


if __name__ == "__main__":
    main()
