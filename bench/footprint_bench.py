"""Footprint of both programs under Wine: time from start to the first answered
request (KeloPrintService, next to the same server build answering a fixed text) or
to SERVICE_RUNNING (KeloUsbService), and private memory once idle.

Run by run_footprint_bench.sh, which sets the environment."""
import http.client
import os
import statistics
import subprocess
import sys
import time

REPEATS = int(os.environ.get('KELO_FOOTPRINT_REPEATS', '5'))
IDLE_SECONDS = float(os.environ.get('KELO_FOOTPRINT_IDLE', '5'))
SERVICE = 'Kelo Footprint Bench Service'


def private_mib(pid):
    total = 0
    with open('/proc/%d/smaps_rollup' % pid) as f:
        for line in f:
            if line.startswith(('Private_Clean:', 'Private_Dirty:')):
                total += int(line.split()[1])
    return total / 1024


def rss_mib(pid):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1]) / 1024
    return 0


def answers(port):
    try:
        conn = http.client.HTTPConnection('127.0.0.1', port, timeout=2)
        conn.request('POST', '/klapi/GetPrinters', body=b'')
        ok = conn.getresponse().status == 200
        conn.close()
        return ok
    except OSError:
        return False


def wine_pid(pattern):
    out = subprocess.run(['pgrep', '-f', pattern], capture_output=True, text=True).stdout.split()
    return int(out[0]) if out else None


def tray_like(exe, port, args):
    """Seconds to the first good answer, private and resident MiB after the idle time."""
    started = time.monotonic()
    proc = subprocess.Popen(['wine', exe, *args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    try:
        while not answers(port):
            if proc.poll() is not None or time.monotonic() - started > 60:
                raise RuntimeError(exe + ' did not answer')
            time.sleep(0.005)
        first = time.monotonic() - started
        time.sleep(IDLE_SECONDS)
        return first, private_mib(proc.pid), rss_mib(proc.pid)
    finally:
        proc.kill()
        proc.wait(10)


def wine_run(*args):
    return subprocess.run(['wine', *args], capture_output=True, text=True)


def service(exe_win, probe):
    wine_run('sc', 'create', SERVICE, 'binPath=', exe_win)
    try:
        started = time.monotonic()
        wine_run('net', 'start', SERVICE)
        if wine_run(probe, 'wait', SERVICE, '4', '30000').returncode != 0:
            raise RuntimeError('the service did not reach RUNNING')
        running = time.monotonic() - started
        time.sleep(IDLE_SECONDS)
        pid = wine_pid(r'KeloUsbService\.exe')
        memory = (private_mib(pid), rss_mib(pid)) if pid else (0, 0)
        wine_run(probe, 'control', SERVICE, '1')
        wine_run(probe, 'wait', SERVICE, '1', '15000')
        return (running,) + memory
    finally:
        wine_run('sc', 'delete', SERVICE)
        wine_run('reg', 'delete', 'HKLM\\Software\\' + SERVICE, '/f')


def row(name, samples, what):
    first = [s[0] * 1000 for s in samples]
    private = [s[1] for s in samples]
    rss = [s[2] for s in samples]
    print('%-22s %-12s %9.0f %9.0f %9.0f %12.1f %10.1f' % (
        name, what, statistics.median(first), min(first), max(first), statistics.median(private),
        statistics.median(rss)))
    return statistics.median(first), statistics.median(private)


def main():
    real, fixed, usb, probe = sys.argv[1:5]
    fixed_port = int(os.environ.get('KELO_BENCH_FIXED_PORT', '6781'))
    exe_win = subprocess.run(['winepath', '-w', usb], capture_output=True, text=True).stdout.strip()
    print('%-22s %-12s %9s %9s %9s %12s %10s' % ('program', 'until', 'median ms', 'min ms', 'max ms',
                                                  'private MiB', 'RSS MiB'))
    samples = {'real': [], 'fixed': [], 'usb': []}
    for _ in range(REPEATS):  # interleaved, so that drift hits both alike
        samples['real'].append(tray_like(real, 6780, []))
        samples['fixed'].append(tray_like(fixed, fixed_port, [str(fixed_port)]))
        samples['usb'].append(service(exe_win, probe))
    r = row('KeloPrintService', samples['real'], 'first answer')
    f = row('fixed_json_server', samples['fixed'], 'first answer')
    u = row('KeloUsbService', samples['usb'], 'RUNNING')
    print('ratio KeloPrintService/fixed_json_server: start %.2f, private memory %.2f' % (r[0] / f[0], r[1] / f[1]))
    print('ratio KeloUsbService/KeloPrintService: private memory %.2f' % (u[1] / r[1]))
    print('(%d starts each, interleaved; memory read %.0f s after the first answer or RUNNING, from '
          '/proc/<pid>/smaps_rollup of the Wine process: Wine reports no private bytes to Windows programs)'
          % (REPEATS, IDLE_SECONDS))


if __name__ == '__main__':
    main()
