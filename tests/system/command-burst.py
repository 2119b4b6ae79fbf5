#!/usr/bin/env python3
"""Sends COUNT commands over CONNECTIONS kept-alive HTTPS connections to the
client's own server and checks every answer. Prints 'ok N' or the first bad
answer. Usage: command-burst.py HOST PORT COUNT CONNECTIONS"""
import http.client, json, ssl, sys, threading, urllib.parse

host, port, count, connections = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
context = ssl.create_default_context()
errors = []
done = [0]
lock = threading.Lock()


def worker(index):
    conn = http.client.HTTPSConnection(host, port, context=context, timeout=30)
    for i in range(index, count, connections):
        value = 'v%d "\\ </script> \u2028 %d' % (i, index)
        query = urllib.parse.urlencode({'comando': 'burst', 'n': str(i), 'v': value})
        conn.request('GET', '/?' + query)
        response = conn.getresponse()
        body = response.read()
        try:
            got = json.loads(body)
            ok = got == {'comando': 'burst', 'n': str(i), 'status': True, 'v': value}
        except ValueError:
            ok = False
        with lock:
            if not ok and len(errors) < 3:
                errors.append(body[:200])
            done[0] += 1
    conn.close()


threads = [threading.Thread(target=worker, args=(k,)) for k in range(connections)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print('ok %d' % done[0] if not errors and done[0] == count else 'bad %s' % errors)
