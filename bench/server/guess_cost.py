#!/usr/bin/env python3
# What judging a PIN hash costs a request: the mean time of an owner's request on its kept
# connection, and of a wrong PIN hash on a new connection from a new address (on PostgreSQL
# judged in the database, on the budgets the instances share; on SQLite in memory).
# Usage: guess_cost.py PORT RIGHT WRONG, RIGHT and WRONG files of 40 request targets each
# for the same nicknames, with their own PIN and with another (orlith-bench-requests).
import socket, sys, time
port = int(sys.argv[1])
right = open(sys.argv[2]).read().split()
wrong = open(sys.argv[3]).read().split()
def ask(target, src, sock=None):
    s = sock or socket.create_connection(("127.0.0.1", port), source_address=(src, 0))
    s.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n%s\r\n" % (target, "" if sock else "Connection: close\r\n")).encode())
    data = b""
    while b"\r\n\r\n" not in data: data += s.recv(65536)
    head, _, body = data.partition(b"\r\n\r\n")
    n = int([l for l in head.split(b"\r\n") if l.lower().startswith(b"content-length")][0].split(b":")[1])
    while len(body) < n: body += s.recv(65536)
    if not sock: s.close()
    return int(head[9:12])
# register the owners from one address each, keep one connection for owner 0
owner = socket.create_connection(("127.0.0.1", port), source_address=("127.6.0.1", 0))
st = [ask(t, "127.6.%d.%d" % (1 + i // 250, i % 250 + 1)) for i, t in enumerate(right[:40])]
assert ask(right[0], None, owner) == 200, st
t0 = time.perf_counter(); n = 400
for i in range(n): ask(right[0], None, owner)
own = (time.perf_counter() - t0) / n
t0 = time.perf_counter(); statuses = {}
for i in range(n):
    s = ask(wrong[i % 40], "127.7.%d.%d" % (i // 250, i % 250 + 1)); statuses[s] = statuses.get(s, 0) + 1
guess = (time.perf_counter() - t0) / n
print("owner on its connection %.3f ms; a guess on a new connection %.3f ms %s" % (own * 1000, guess * 1000, statuses))
