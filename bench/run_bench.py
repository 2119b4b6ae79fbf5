#!/usr/bin/env python3
"""Side-by-side HTTP benchmark on loopback: the quillon bench server, nginx
(one worker) and a minimal cpp-httplib server, measured with wrk.

Prints one Markdown table: requests per second, p50 and p99 latency and server
CPU microseconds per request, keep-alive and Connection: close, at several
connection counts, over plain HTTP and over TLS (the same certificate for
every server; with Connection: close each request makes its own handshake);
beside each cell its ratio to nginx's. Then each server's peak RSS. Every
cell is the median of several short runs.
"""
import argparse, os, re, shutil, signal, socket, statistics, subprocess, sys, tempfile, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BODY = '{"action":"open","status":true}'
FILES = [('1k.txt', 1024), ('60k.txt', 60 * 1024)]
TICKS = os.sysconf('SC_CLK_TCK')


def wait_port(port, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            with socket.create_connection(('127.0.0.1', port), 0.2):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError('port %d did not open' % port)


def cpu_ticks(pids):
    total = 0
    for pid in pids:
        with open('/proc/%d/stat' % pid) as f:
            fields = f.read().rsplit(')', 1)[1].split()
        total += int(fields[11]) + int(fields[12])
    return total


def peak_rss_kib(pids):
    total = 0
    for pid in pids:
        with open('/proc/%d/status' % pid) as f:
            m = re.search(r'VmHWM:\s+(\d+)', f.read())
        total += int(m.group(1)) if m else 0
    return total


def time_wait_count():
    out = subprocess.run(['ss', '-tan', 'state', 'time-wait'], capture_output=True, text=True).stdout
    return max(0, len(out.splitlines()) - 1)


def wait_for_ports(limit):
    """Closed connections stay in TIME_WAIT for a minute and use up the
    loopback port range; wait until enough ports are free again."""
    deadline = time.time() + 90
    while time_wait_count() > limit and time.time() < deadline:
        time.sleep(1)


def child_pids(pid):
    out = subprocess.run(['pgrep', '-P', str(pid)], capture_output=True, text=True).stdout.split()
    return [int(p) for p in out]


def to_ms(text):
    value, unit = re.match(r'([\d.]+)(\w+)', text).groups()
    return float(value) * {'us': 0.001, 'ms': 1.0, 's': 1000.0}[unit]


def run_wrk(url, connections, seconds, close):
    cmd = ['wrk', '-t', str(min(2, connections)), '-c', str(connections), '-d', '%ds' % seconds, '--latency', url]
    if close:
        cmd[1:1] = ['-H', 'Connection: close']
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=seconds + 30).stdout
    if 'Requests/sec' not in out or '99%' not in out or 'Non-2xx' in out:
        raise RuntimeError('wrk failed for %s:\n%s' % (url, out))
    rps = float(re.search(r'Requests/sec:\s+([\d.]+)', out).group(1))
    total = int(re.search(r'(\d+) requests in', out).group(1))
    p50 = to_ms(re.search(r'^\s*50%\s+(\S+)', out, re.M).group(1))
    p99 = to_ms(re.search(r'^\s*99%\s+(\S+)', out, re.M).group(1))
    return rps, total, p50, p99


class Server:
    tls = False  # serves only TLS (on its port)
    tls_port = None  # serves TLS beside plain HTTP, on this port

    def __init__(self, name, cmd, port, cpu_pids=None):
        self.name, self.cmd, self.port = name, cmd, port
        self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     preexec_fn=os.setsid)
        wait_port(port)
        time.sleep(0.3)
        self.pids = cpu_pids() if cpu_pids else [self.proc.pid]

    def stop(self):
        try:
            os.killpg(self.proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        self.proc.wait(10)


def start_servers(args, work):
    servers = []
    build = args.build
    servers.append(Server('quillon', [os.path.join(build, 'bench', 'benchserver'), '--port', '18180',
                                      '--docroot', os.path.join(work, 'docroot')], 18180))
    tls = Server('quillon', [os.path.join(build, 'bench', 'benchserver'), '--port', '18184', '--cert',
                             os.path.join(work, 'cert.pem'), '--key', os.path.join(work, 'key.pem')], 18184)
    tls.tls = True
    servers.append(tls)
    # Earlier builds of the bench server, measured in the same run (the same
    # build twice shows the run-to-run noise).
    for i, baseline in enumerate(args.baseline):
        port = 18190 + i
        program = os.path.join(baseline, 'bench', 'benchserver')
        servers.append(Server('baseline %d' % (i + 1), [program, '--port', str(port), '--docroot',
                                                         os.path.join(work, 'docroot')], port))
        # A baseline that knows TLS serves the TLS rows too.
        usage = subprocess.run([program, '--help'], capture_output=True, text=True).stderr
        if '--cert' in usage:
            tls = Server('baseline %d' % (i + 1), [program, '--port', str(port + 5), '--cert',
                                                    os.path.join(work, 'cert.pem'), '--key',
                                                    os.path.join(work, 'key.pem')], port + 5)
            tls.tls = True
            servers.append(tls)

    conf = os.path.join(work, 'nginx.conf')
    with open(conf, 'w') as f:
        f.write('''worker_processes 1;
daemon off;
pid %(w)s/nginx.pid;
error_log %(w)s/nginx-error.log;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_requests 100000000;
  open_file_cache max=1000 inactive=60s;
  client_body_temp_path %(w)s; proxy_temp_path %(w)s; fastcgi_temp_path %(w)s; uwsgi_temp_path %(w)s; scgi_temp_path %(w)s;
  server {
    listen 127.0.0.1:18183 ssl;
    ssl_certificate %(w)s/cert.pem;
    ssl_certificate_key %(w)s/key.pem;
    ssl_protocols TLSv1.2 TLSv1.3;
    location = / { default_type "application/json; charset=UTF-8"; return 200 '%(body)s'; }
  }
  server {
    listen 127.0.0.1:18181;
    location = / { default_type "application/json; charset=UTF-8"; return 200 '%(body)s'; }
    location /files/ { root %(docroot)s; }
  }
}
''' % {'w': work, 'body': BODY, 'docroot': os.path.join(work, 'docroot')})
    nginx = Server('nginx', ['nginx', '-c', conf], 18181)
    nginx.pids = child_pids(nginx.proc.pid) + [nginx.proc.pid]
    nginx.tls_port = 18183
    servers.append(nginx)

    servers.append(Server('cpp-httplib', [os.path.join(work, 'httplib_server'), '18182',
                                          os.path.join(work, 'docroot', 'files')], 18182))
    return servers


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', default=os.path.join(ROOT, 'build-bench'))
    parser.add_argument('--baseline', action='append', default=[],
                        help='build directory of an earlier bench server to measure beside it (repeatable)')
    parser.add_argument('--seconds', type=int, default=2)
    parser.add_argument('--runs', type=int, default=3)
    parser.add_argument('--connections', default='1,10,50,100')
    parser.add_argument('--file-connections', default='10,50')
    parser.add_argument('--tls-connections', default='10,50')
    parser.add_argument('--close-seconds', type=int, default=1)
    parser.add_argument('--skip-commands', action='store_true')
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix='torvane-bench-')
    os.makedirs(os.path.join(work, 'docroot', 'files'))
    for name, size in FILES:
        with open(os.path.join(work, 'docroot', 'files', name), 'wb') as f:
            f.write((b'0123456789abcdef' * (size // 16 + 1))[:size])
    subprocess.run(['g++', '-O2', '-std=c++17', os.path.join(ROOT, 'bench', 'httplib_server.cpp'),
                    '-o', os.path.join(work, 'httplib_server')]
                   + subprocess.run(['pkg-config', '--cflags', '--libs', 'cpp-httplib'], capture_output=True,
                                    text=True, check=True).stdout.split() + ['-lpthread'], check=True)
    # Connection: close runs leave one TIME_WAIT entry per request; use the
    # widest port range for them and restore the old one afterwards.
    range_file = '/proc/sys/net/ipv4/ip_local_port_range'
    with open(range_file) as f:
        old_range = f.read().strip()
    try:
        with open(range_file, 'w') as f:
            f.write('1024 65000')
    except OSError:
        pass
    with open(range_file) as f:
        low, high = map(int, f.read().split())
    port_limit = (high - low) * 2 // 3
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=127.0.0.1',
                    '-keyout', os.path.join(work, 'key.pem'), '-out', os.path.join(work, 'cert.pem')],
                   check=True, capture_output=True)
    servers = start_servers(args, work)
    connections = [int(c) for c in args.connections.split(',')]
    def measure(url, pids, c, close):
        samples = []
        for _ in range(args.runs):
            if close:
                wait_for_ports(port_limit)
            before = cpu_ticks(pids)
            seconds = args.close_seconds if close else args.seconds
            rps, total, p50, p99 = run_wrk(url, c, seconds, close)
            after = cpu_ticks(pids)
            cpu = (after - before) / TICKS * 1e6 / max(total, 1)
            samples.append((rps, p50, p99, cpu))
        return [statistics.median(s[i] for s in samples) for i in range(4)]

    def case(path, c, close, label, tls=False):
        """Every server that serves the case, then one row each with its
        ratios to nginx's requests per second and CPU per request."""
        rows = []
        for server in servers:
            if tls and server.tls_port:
                url = 'https://127.0.0.1:%d%s' % (server.tls_port, path)
            elif tls == server.tls:
                url = '%s://127.0.0.1:%d%s' % ('https' if tls else 'http', server.port, path)
            else:
                continue
            rows.append((server.name, measure(url, server.pids, c, close)))
        reference = dict(rows).get('nginx')
        for name, med in rows:
            ratios = '%.2f | %.2f' % (med[0] / reference[0], med[3] / reference[3]) if reference else '- | -'
            print('| %s | %s | %d | %.0f | %.3f | %.3f | %.1f | %s |' % (name, label, c, med[0], med[1], med[2],
                                                                         med[3], ratios))
            sys.stdout.flush()

    try:
        print('| server | request | conns | req/s | p50 ms | p99 ms | server CPU us/req | req/s x nginx '
              '| CPU x nginx |')
        print('|---|---|---:|---:|---:|---:|---:|---:|---:|')
        if not args.skip_commands:
            for close in (False, True):
                for c in connections:
                    case('/', c, close, 'command, close' if close else 'command, keep-alive')
        for c in [int(x) for x in args.tls_connections.split(',') if x]:
            case('/', c, False, 'command, TLS keep-alive', tls=True)
            case('/', c, True, 'command, TLS handshake per request', tls=True)
        for name, _ in FILES:
            for c in [int(x) for x in args.file_connections.split(',') if x]:
                case('/files/' + name, c, False, 'file %s, keep-alive' % name)
        print()
        print('| server | peak RSS MiB |')
        print('|---|---:|')
        for server in servers:
            print('| %s%s | %.1f |' % (server.name, ' (TLS)' if server.tls else '', peak_rss_kib(server.pids) / 1024))
    finally:
        for server in servers:
            server.stop()
        try:
            with open(range_file, 'w') as f:
                f.write(old_range)
        except OSError:
            pass
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
