"""The native agent next to the Wine build, in one run: GetPrinters throughput and
latency (the native load client, and Debian's wrk at 32 connections), PrintImage time to the job file in CUPS (the job
polling of print_bench_client.py), and each program's idle and peak memory.

Both programs own 127.0.0.1:6780, so they take turns on it (native, wine, wine,
native by default: drift over the run hits both alike). Each turn is one fresh
process: start, idle, GetPrinters rows, prints, peak, SIGTERM.

Run by run_native_vs_wine_bench.sh, which builds, takes the lock and prepares CUPS."""
import argparse
import http.client
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from print_bench_client import data_url, print_real  # noqa: E402  (the same job polling)

HOST = '127.0.0.1'
PORT = 6780  # fixed in both programs


def status_value(pid, key):
    """A kB line of /proc/<pid>/status, in MiB."""
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith(key + ':'):
                return int(line.split()[1]) / 1024
    raise RuntimeError('no %s for pid %d' % (key, pid))


def get_printers():
    """(status, body) of one POST /klapi/GetPrinters, or (0, b'') without an answer."""
    try:
        conn = http.client.HTTPConnection(HOST, PORT, timeout=2)
        conn.request('POST', '/klapi/GetPrinters', body=b'')
        res = conn.getresponse()
        body = res.read()
        conn.close()
        return res.status, body
    except OSError:
        return 0, b''


class Turn:
    """One program's process for one turn on the port; owned, ended by its pid."""

    def __init__(self, name, command, env, log_path):
        self.name = name
        self.log_path = log_path
        with open(log_path, 'wb') as log:
            self.proc = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, env=env,
                                         start_new_session=True)

    def wait_ready(self, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError('%s ended before answering (%d); its output: %s' % (
                    self.name, self.proc.returncode, open(self.log_path, errors='replace').read()[-2000:]))
            status, _ = get_printers()
            if status == 200:
                return
            time.sleep(0.02)
        raise RuntimeError('%s did not answer within %d s' % (self.name, timeout))

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        """SIGTERM, then the exit code (None if it had to be killed after 10 s)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                return self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
                return None
        return self.proc.returncode


def load_rows(client, warmup, duration, connections, name):
    """Rows of the load client for one target: {connections: (req/s, p50, p99, max, errors, starved)}."""
    out = subprocess.run([client, '--warmup', str(warmup), '--duration', str(duration), '--connections',
                          connections, '--ack', 'delayed', '%s=%d' % (name, PORT)],
                         capture_output=True, text=True, check=True).stdout
    rows = {}
    for line in out.splitlines():
        fields = line.split()
        if len(fields) == 9 and fields[0].isdigit() and fields[1] == name:
            rows[int(fields[0])] = (float(fields[2]), float(fields[3]), float(fields[4]), float(fields[5]),
                                    int(fields[6]), int(fields[8]))
    notes = [line for line in out.splitlines() if line.startswith('note:')]
    return rows, notes


WRK_SCRIPT = 'wrk.method = "POST"\nwrk.body = ""\nwrk.headers["Content-Length"] = "0"\n'


def milliseconds(text):
    """wrk's 850.00us, 31.21ms or 1.02s in ms."""
    match = re.fullmatch(r'([0-9.]+)(us|ms|s|m)', text)
    if not match:
        raise RuntimeError('wrk printed a time it cannot be read from: %r' % text)
    return float(match.group(1)) * {'us': 0.001, 'ms': 1, 's': 1000, 'm': 60000}[match.group(2)]


def wrk_row(script, connections, duration):
    """One wrk run on GetPrinters: (req/s, p50, p99, max ms, non-2xx and socket errors)."""
    out = subprocess.run(['wrk', '-t2', '-c%d' % connections, '-d%ds' % duration, '--latency', '-s', script,
                          'http://%s:%d/klapi/GetPrinters' % (HOST, PORT)],
                         capture_output=True, text=True, check=True).stdout
    found = {}
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 2 and fields[0] in ('50%', '99%'):
            found[fields[0]] = milliseconds(fields[1])
        elif fields[:1] == ['Latency'] and len(fields) >= 4:
            found['max'] = milliseconds(fields[3])
        elif fields[:1] == ['Requests/sec:']:
            found['rate'] = float(fields[1])
    errors = sum(int(n) for n in re.findall(r'(?:connect|read|write|timeout) (\d+)', out))
    match = re.search(r'Non-2xx or 3xx responses: (\d+)', out)
    errors += int(match.group(1)) if match else 0
    if set(found) != {'50%', '99%', 'max', 'rate'}:
        raise RuntimeError('wrk printed no figures: %s' % out)
    return found['rate'], found['50%'], found['99%'], found['max'], errors


def ratio(a, b):
    return a / b if b else float('nan')


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--native', required=True, help='kelo-print-agent')
    parser.add_argument('--wine-exe', required=True, help='KeloPrintService.exe')
    parser.add_argument('--load-client', required=True)
    parser.add_argument('--queue', required=True)
    parser.add_argument('--job-dir', required=True)
    parser.add_argument('--work', required=True, help='scratch folder (logs, images, the native XDG_RUNTIME_DIR)')
    parser.add_argument('--turns', default='native wine wine native')
    parser.add_argument('--warmup', type=float, default=2)
    parser.add_argument('--duration', type=float, default=4)
    parser.add_argument('--connections', default='1,8,32')
    parser.add_argument('--repeats', type=int, default=5)
    parser.add_argument('--idle', type=float, default=5)
    parser.add_argument('--wrk-runs', type=int, default=3, help='wrk runs per turn at --wrk-connections')
    parser.add_argument('--wrk-connections', type=int, default=32)
    parser.add_argument('--wrk-duration', type=int, default=5)
    parser.add_argument('--timeout', type=int, default=120)
    parser.add_argument('images', nargs='+', help='PNG files; the first is also the warm-up print')
    args = parser.parse_args()
    args.real_port = PORT  # what print_real posts to

    runtime_dir = os.path.join(args.work, 'xdg-runtime')
    os.makedirs(runtime_dir, mode=0o700, exist_ok=True)
    native_env = dict(os.environ, XDG_RUNTIME_DIR=runtime_dir)
    commands = {'native': ([args.native], native_env), 'wine': (['wine', args.wine_exe], dict(os.environ))}
    bodies = [data_url(png) for png in args.images]
    warm = bodies[0]
    turns = args.turns.split()
    counts = [int(c) for c in args.connections.split(',')]

    if args.wrk_runs and shutil.which('wrk') is None:
        raise RuntimeError('wrk is missing (apt-get install wrk)')
    wrk_script = os.path.join(args.work, 'get_printers.lua')
    with open(wrk_script, 'w') as f:
        f.write(WRK_SCRIPT)
    wrk = {name: [] for name in commands}
    load = {name: {c: [] for c in counts} for name in commands}
    prints = {name: {i: [] for i in range(len(bodies))} for name in commands}
    idle_rss = {name: [] for name in commands}
    peak_hwm = {name: [] for name in commands}
    exits = {name: [] for name in commands}
    answers = {}
    process_names = {}
    notes = []

    for index, name in enumerate(turns):
        command, env = commands[name]
        turn = Turn(name, command, env, os.path.join(args.work, '%s-%d.log' % (name, index)))
        try:
            turn.wait_ready()
            with open('/proc/%d/cmdline' % turn.proc.pid, 'rb') as f:
                process_names[name] = os.path.basename(f.read().split(b'\0')[0].decode(errors='replace'))
            answers.setdefault(name, get_printers()[1])
            time.sleep(args.idle)
            idle_rss[name].append(status_value(turn.proc.pid, 'VmRSS'))

            rows, row_notes = load_rows(args.load_client, args.warmup, args.duration, args.connections, name)
            notes += ['turn %d (%s): %s' % (index + 1, name, n) for n in row_notes]
            for c in counts:
                load[name][c].append(rows[c])
            for _ in range(args.wrk_runs):
                wrk[name].append(wrk_row(wrk_script, args.wrk_connections, args.wrk_duration))

            print_real(args, warm)  # not counted: the first print loads what printing needs
            for i, body in enumerate(bodies):
                for _ in range(args.repeats):
                    answered, total, size = print_real(args, body)
                    prints[name][i].append((total * 1000, answered * 1000, size))
            peak_hwm[name].append(status_value(turn.proc.pid, 'VmHWM'))
            if not turn.alive():
                raise RuntimeError('%s ended during its turn' % name)
            if os.path.getsize(turn.log_path) == 0:
                raise RuntimeError('%s wrote no diagnostic lines: did another server answer?' % name)
        finally:
            exits[name].append(turn.stop())
        print('turn %d of %d: %s done' % (index + 1, len(turns), name), file=sys.stderr)

    report(args, dict(turns=turns, counts=counts, load=load, wrk=wrk, prints=prints, idle_rss=idle_rss, peak_hwm=peak_hwm,
                      exits=exits, answers=answers, process_names=process_names, notes=notes))


def report(args, r):
    """The tables: each program's figures and native/wine below them."""
    turns, counts, load, prints = r['turns'], r['counts'], r['load'], r['prints']
    idle_rss, peak_hwm, exits, answers = r['idle_rss'], r['peak_hwm'], r['exits'], r['answers']
    process_names, notes = r['process_names'], r['notes']
    per = {name: turns.count(name) for name in ('native', 'wine')}
    print('== answers')
    same = answers.get('native') == answers.get('wine')
    print('GetPrinters bodies %s: native %d bytes, wine %d bytes' % (
        'identical' if same else 'DIFFER', len(answers.get('native', b'')), len(answers.get('wine', b''))))
    print('processes measured: native %s, wine %s (the pid started; Wine\'s wineserver and services not counted)'
          % (process_names.get('native'), process_names.get('wine')))

    print('== GetPrinters: POST, keep-alive, delayed ACKs, %g s warm-up + %g s measured per row; '
          'mean of %d native and %d wine turns (max: the larger; errors, starved: summed)' % (args.warmup, args.duration, per['native'],
                                                                      per['wine']))
    print('%5s  %-12s %10s %9s %9s %9s %7s %8s' % ('conns', 'program', 'req/s', 'p50 ms', 'p99 ms', 'max ms',
                                                  'errors', 'starved'))
    for c in counts:
        means = {}
        for name in ('native', 'wine'):
            samples = load[name][c]
            means[name] = (statistics.mean(s[0] for s in samples), statistics.mean(s[1] for s in samples),
                           statistics.mean(s[2] for s in samples), max(s[3] for s in samples),
                           sum(s[4] for s in samples), sum(s[5] for s in samples))
            print('%5d  %-12s %10.1f %9.3f %9.3f %9.3f %7d %8d' % ((c, name) + means[name]))
        n, w = means['native'], means['wine']
        print('%5d  %-12s %9.3fx %8.3fx %8.3fx %8.3fx' % (c, 'native/wine', ratio(n[0], w[0]), ratio(n[1], w[1]),
                                                        ratio(n[2], w[2]), ratio(n[3], w[3])))

    wrk = r['wrk']
    if any(wrk.values()):
        print('== GetPrinters by wrk (Debian\'s), %d connections, 2 threads, %d s per run, %d runs per turn; '
              'every run, then the means and native/wine' % (args.wrk_connections, args.wrk_duration, args.wrk_runs))
        print('%-12s %4s %10s %9s %9s %9s %7s' % ('program', 'run', 'req/s', 'p50 ms', 'p99 ms', 'max ms', 'errors'))
        means = {}
        for name in ('native', 'wine'):
            for i, row in enumerate(wrk[name]):
                print('%-12s %4d %10.1f %9.2f %9.2f %9.2f %7d' % ((name, i + 1) + row))
            means[name] = tuple(statistics.mean(row[k] for row in wrk[name]) for k in range(4))
        for name in ('native', 'wine'):
            print('%-12s %4s %10.1f %9.2f %9.2f %9.2f' % ((name, 'mean') + means[name]))
        n, w = means['native'], means['wine']
        print('%-12s %4s %9.3fx %8.3fx %8.3fx %8.3fx' % ('native/wine', '', ratio(n[0], w[0]), ratio(n[1], w[1]),
                                                       ratio(n[2], w[2]), ratio(n[3], w[3])))

    print('== PrintImage on %s: ms from sending the request to the job file in CUPS (total) and to the '
          'HTTP answer; median of %d per turn, all turns together' % (args.queue, args.repeats))
    print('%-10s %9s  %-12s %9s %9s %9s %10s' % ('image', 'png_bytes', 'program', 'total', 'answer', 'min tot',
                                                 'job_bytes'))
    for i, png in enumerate(args.images):
        edge = os.path.basename(png).split('_')[-1].split('.')[0]
        med = {}
        for name in ('native', 'wine'):
            samples = prints[name][i]
            med[name] = (statistics.median(s[0] for s in samples), statistics.median(s[1] for s in samples),
                         min(s[0] for s in samples), statistics.median(s[2] for s in samples))
            print('%-10s %9d  %-12s %9.1f %9.1f %9.1f %10.0f' % (('%sx%s' % (edge, edge), os.path.getsize(png), name)
                                                                  + med[name]))
        print('%-10s %9s  %-12s %8.3fx %8.3fx %8.3fx %9.3fx' % ('', '', 'native/wine', ratio(med['native'][0],
              med['wine'][0]), ratio(med['native'][1], med['wine'][1]), ratio(med['native'][2], med['wine'][2]),
              ratio(med['native'][3], med['wine'][3])))

    print('== memory, MiB from /proc/<pid>/status: idle = VmRSS %g s after the first answer (median of '
          'turns); peak = VmHWM at the end of the turn, after all its requests (largest of turns)' % args.idle)
    print('%-12s %10s %10s' % ('program', 'idle RSS', 'peak HWM'))
    mem = {}
    for name in ('native', 'wine'):
        mem[name] = (statistics.median(idle_rss[name]), max(peak_hwm[name]))
        print('%-12s %10.1f %10.1f' % ((name,) + mem[name]))
    print('%-12s %9.3fx %9.3fx' % ('native/wine', ratio(mem['native'][0], mem['wine'][0]),
                                   ratio(mem['native'][1], mem['wine'][1])))

    print('== single samples')
    for name in ('native', 'wine'):
        print('%s GetPrinters req/s per turn: %s' % (name, '; '.join(
            '%d conns %s' % (c, ' '.join('%.0f' % s[0] for s in load[name][c])) for c in counts)))
        for i, png in enumerate(args.images):
            print('%s %s total ms: %s' % (name, os.path.basename(png),
                                          ' '.join('%.0f' % s[0] for s in prints[name][i])))
        print('%s idle RSS MiB per turn: %s; peak HWM MiB per turn: %s; exit codes after SIGTERM: %s' % (
            name, ' '.join('%.1f' % v for v in idle_rss[name]), ' '.join('%.1f' % v for v in peak_hwm[name]),
            ' '.join(str(e) for e in exits[name])))
    for note in notes:
        print('note: %s' % note)


if __name__ == '__main__':
    try:
        main()
    except (RuntimeError, OSError, subprocess.CalledProcessError) as error:
        print('native_vs_wine_bench: %s' % error, file=sys.stderr)
        sys.exit(1)
