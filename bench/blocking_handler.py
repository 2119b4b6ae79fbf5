#!/usr/bin/env python3
"""What a request handler that blocks costs the other connections: one
connection asks /block?ms=MS again and again while COUNT other kept-alive
connections each send a command every 10 ms; prints, per connection, its
answers' p50 and maximum. The connections are spread over the server's I/O
threads, so some share the blocked loop and some do not.
Usage: blocking_handler.py PORT [MS] [COUNT] [SECONDS]"""
import http.client, statistics, sys, threading, time

port = int(sys.argv[1])
ms = int(sys.argv[2]) if len(sys.argv) > 2 else 200
count = int(sys.argv[3]) if len(sys.argv) > 3 else 4
seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 5
stop = time.time() + seconds
results = {}


def blocker():
    conn = http.client.HTTPConnection('127.0.0.1', port, timeout=30)
    while time.time() < stop:
        conn.request('GET', '/block?ms=%d' % ms)
        conn.getresponse().read()


def commands(index):
    conn = http.client.HTTPConnection('127.0.0.1', port, timeout=30)
    conn.connect()
    latencies = []
    while time.time() < stop:
        sent = time.perf_counter()
        conn.request('GET', '/?comando=probe')
        conn.getresponse().read()
        latencies.append((time.perf_counter() - sent) * 1000)
        time.sleep(0.01)
    results[index] = latencies


block = threading.Thread(target=blocker)
block.start()
time.sleep(0.2)
threads = [threading.Thread(target=commands, args=(i,)) for i in range(count)]
for t in threads:
    t.start()
    time.sleep(0.05)
for t in threads + [block]:
    t.join()
for index in sorted(results):
    values = results[index]
    print('connection %d: %d commands, p50 %.2f ms, max %.1f ms' % (index, len(values), statistics.median(values),
                                                                   max(values)))
