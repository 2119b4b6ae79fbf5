#!/usr/bin/env python3
"""Sends COUNT commands at RATE per second over one kept-alive HTTPS
connection to the client's server, then reads from the stand-in when the
page ran commandJson2 for each, and prints p50, p99 and the maximum, and
the same of the HTTP answers (the part that is the server's).
Usage: command_latency.py HOST PORT STANDIN_URL COUNT RATE"""
import http.client, json, ssl, sys, time, urllib.request

host, port, standin = sys.argv[1], int(sys.argv[2]), sys.argv[3]
count, rate = int(sys.argv[4]), float(sys.argv[5])
context = ssl.create_default_context()
run = '%x' % int(time.time() * 1000)

connection = http.client.HTTPSConnection(host, port, context=context, timeout=30)
sent = {}
answered = []
start = time.time() + 0.1
for i in range(count):
    delay = start + i / rate - time.time()
    if delay > 0:
        time.sleep(delay)
    key = '%s-%d' % (run, i)
    sent[key] = time.time() * 1000.0
    connection.request('GET', '/?comando=latency&n=' + key)
    response = connection.getresponse()
    body = response.read()
    answered.append(time.time() * 1000.0 - sent[key])
    if response.status != 200 or json.loads(body).get('n') != key:
        sys.exit('bad answer %r' % body)
connection.close()

received = {}
for _ in range(60):
    with urllib.request.urlopen(standin + '/recorded', context=context) as reply:
        for record in json.load(reply):
            key = record['command'].get('n')
            if key in sent:
                received[key] = record['at']
    if len(received) == count:
        break
    time.sleep(1)
if len(received) != count:
    sys.exit('the page received %d of %d commands' % (len(received), count))

def summary(values):
    values = sorted(values)
    def percentile(p):
        return values[min(len(values) - 1, int(len(values) * p / 100.0))]
    return 'p50 %.2f ms, p99 %.2f ms, max %.2f ms' % (percentile(50), percentile(99), values[-1])
print('  commands %d, %s' % (count, summary(received[key] - sent[key] for key in sent)))
print('  their HTTP answers, %s' % summary(answered))
