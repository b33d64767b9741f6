#!/usr/bin/env python3
"""A ranking server that takes DELAY_MS to answer each request, for the online frame-rate
measurement (bench/online/run.sh). Answers every request with 200 and COUNT players on level 1;
prints its port, then on SIGTERM the number of requests it answered.
Usage: slow_server.py DELAY_MS [COUNT]"""
import http.server
import signal
import socketserver
import struct
import sys
import threading
import time

delay = int(sys.argv[1]) / 1000.0
count = int(sys.argv[2]) if len(sys.argv) > 2 else 8


def hex_float(v):
    return "%08x" % struct.unpack("<I", struct.pack("<f", v))[0]


# time, pin hash, level 1, steps, position (5, 5, 5 - k), view (0, 0, 1), up (0, 1, 0)
lines = []
for k in range(count):
    state = "00000000" "00000000" "00000001" "%08x" % k
    state += hex_float(5) + hex_float(5) + hex_float(5 - 0.1 * k) + hex_float(0) * 2 + hex_float(1)
    state += hex_float(0) + hex_float(1) + hex_float(0)
    lines.append(state + "slow%d" % k)
body = ("\r\n".join(lines) + "\r\n").encode()
answered = 0
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        global answered
        time.sleep(delay)
        try:
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):
            return  # the game has ended
        with lock:
            answered += 1

    def log_message(self, *args):
        pass


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


server = Server(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)


def stop(*_):
    print(answered, flush=True)
    sys.exit(0)


signal.signal(signal.SIGTERM, stop)
server.serve_forever()
