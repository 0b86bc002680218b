"""Holds COUNT connections to HOST:PORT, sending one header byte a second
on each for SECONDS; prints how many the server had closed after one second
and at the end."""
import socket
import sys
import time

host, port, count, seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
socks = []
for _ in range(count):
    s = socket.create_connection((host, port), timeout=5)
    s.setblocking(False)
    socks.append(s)
request = b"GET / HTTP/1.1\r\nHost: x\r\n"
open_ = set(range(count))
closed_after_one = None
started = time.time()
def closed(s):
    try:
        return s.recv(1024) == b""
    except BlockingIOError:
        return False
    except OSError:
        return True


for second in range(seconds + 1):
    open_ = {i for i in open_ if not closed(socks[i])}
    if second == 1:
        closed_after_one = count - len(open_)
    if second == seconds:
        break
    for i in list(open_):
        try:
            socks[i].send(request[second % len(request):second % len(request) + 1])
        except OSError:
            open_.discard(i)
    time.sleep(max(0.0, started + second + 1 - time.time()))
print(closed_after_one, count - len(open_))
