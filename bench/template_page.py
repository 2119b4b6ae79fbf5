#!/usr/bin/env python3
"""Time per request of the template page of a demo server binary: an ordinary
browser request, and a request of about 1.4 KB whose path (nested loop
blocks) and headers are full of template markers. Prints one table row per
kind: milliseconds of wall time and of server CPU per request.
Usage: template_page.py DEMOSERVER TEMPLATE_DIR LABEL"""
import os, re, socket, subprocess, sys, time

server_binary, templates, label = sys.argv[1], sys.argv[2], sys.argv[3]

ORDINARY = (b"GET /template HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\n"
            b"Accept: text/html,application/xhtml+xml\r\nAccept-Language: de-DE,de;q=0.9,en;q=0.8\r\n"
            b"Accept-Encoding: gzip, deflate\r\nConnection: keep-alive\r\nCache-Control: max-age=0\r\n\r\n")
markers = b"{loop%20header}" * 6 + b"{header.value}" + b"{end%20header}" * 6
HOSTILE = b"GET /template/" + markers + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n" + b"".join(
    b"X-%d: {header%d.value}{loop header}{header.name}{end header}\r\n" % (i, i + 1) for i in range(20)) + b"\r\n"


def cpu_seconds(pid):
    fields = open('/proc/%d/stat' % pid).read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def per_request(port, pid, request, least=3, seconds=3.0):
    """Sends the request at least `least` times and for at least `seconds`."""
    sock = socket.create_connection(('127.0.0.1', port))
    start_cpu, start = cpu_seconds(pid), time.perf_counter()
    count = 0
    while count < least or time.perf_counter() - start < seconds:
        count += 1
        sock.sendall(request)
        data = b''
        while True:
            data += sock.recv(65536)
            head, sep, rest = data.partition(b'\r\n\r\n')
            length = re.search(rb'Content-Length: (\d+)', head)
            if sep and length and len(rest) >= int(length.group(1)):
                break
    wall = (time.perf_counter() - start) / count
    cpu = (cpu_seconds(pid) - start_cpu) / count
    sock.close()
    return wall, cpu


server = subprocess.Popen([server_binary, '--templates', templates], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
port = int(re.search(rb':(\d+)/', server.stdout.readline()).group(1))
try:
    per_request(port, server.pid, ORDINARY, seconds=0.5)  # warm-up
    for name, request in (('ordinary', ORDINARY), ('%d bytes of markers' % len(HOSTILE), HOSTILE)):
        wall, cpu = per_request(port, server.pid, request)
        print('| %s | %s | %.3f | %.3f |' % (label, name, wall * 1000, cpu * 1000))
finally:
    server.terminate()
    server.wait()
