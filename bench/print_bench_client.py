"""Print benchmark client: posts one image as a data URL to the real program and to the
handler-only server, times the answers and the job's arrival in CUPS, prints medians."""
import argparse
import base64
import http.client
import json
import os
import re
import statistics
import subprocess
import sys
import threading
import time

HOST = '127.0.0.1'
JOB_NAME = re.compile(r'job-\d+\.prn$')
POLL_S = 0.002  # resolution of the job-file times


def job_names(job_dir):
    with os.scandir(job_dir) as entries:
        return {e.name for e in entries if JOB_NAME.match(e.name)}


class JobWatcher(threading.Thread):
    """Notes when the first job file that was not there at the start appears."""

    def __init__(self, job_dir, timeout):
        super().__init__(daemon=True)
        self.job_dir = job_dir
        self.before = job_names(job_dir)
        self.deadline = time.monotonic() + timeout
        self.name_found = None
        self.at = None

    def run(self):
        while time.monotonic() < self.deadline:
            new = job_names(self.job_dir) - self.before
            if new:
                self.at = time.monotonic()
                self.name_found = min(new)
                return
            time.sleep(POLL_S)


def post(port, queue, body, timeout):
    """Sends one PrintImage request; returns the seconds to the end of the answer."""
    conn = http.client.HTTPConnection(HOST, port, timeout=timeout)
    try:
        start = time.monotonic()
        conn.request('POST', '/klapi/PrintImage?printName=' + queue, body=body,
                     headers={'Content-Type': 'text/plain'})
        res = conn.getresponse()
        data = res.read()
        took = time.monotonic() - start
    finally:
        conn.close()
    try:
        answer = json.loads(data)
    except ValueError:
        answer = None
    if res.status != 200 or not isinstance(answer, dict) or answer.get('statusCode') != '10001':
        raise RuntimeError('port %d answered %d %r' % (port, res.status, data[:200]))
    return start, took


def wait_queue_idle(queue, timeout=30):
    """Waits until CUPS lists no job of the queue, so one job never waits behind another."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        out = subprocess.run(['lpstat', '-o', queue], capture_output=True, text=True).stdout
        if not out.strip():
            return
        time.sleep(0.02)
    raise RuntimeError('jobs of %s still pending after %d s' % (queue, timeout))


def print_real(args, body):
    """One print through the real program: (answer s, job s, job bytes)."""
    wait_queue_idle(args.queue)
    watcher = JobWatcher(args.job_dir, args.timeout)
    watcher.start()
    start, answered = post(args.real_port, args.queue, body, args.timeout)
    watcher.join()
    if watcher.at is None:
        raise RuntimeError('no job file in %s within %d s' % (args.job_dir, args.timeout))
    # The job files stay until the script's cleanup, which removes what the run added.
    size = os.path.getsize(os.path.join(args.job_dir, watcher.name_found))
    return answered, watcher.at - start, size


def data_url(png_path):
    with open(png_path, 'rb') as f:
        return b'data:image/png;base64,' + base64.b64encode(f.read())


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--real-port', type=int, default=6780)
    parser.add_argument('--handler-port', type=int, required=True)
    parser.add_argument('--queue', default='KeloTest300')
    parser.add_argument('--job-dir', required=True)
    parser.add_argument('--repeats', type=int, default=3)
    parser.add_argument('--warmup', help='PNG printed once on each server first, not counted')
    parser.add_argument('--timeout', type=int, default=120)
    parser.add_argument('png')
    args = parser.parse_args()

    if args.warmup:
        warm = data_url(args.warmup)
        print_real(args, warm)
        post(args.handler_port, args.queue, warm, args.timeout)

    body = data_url(args.png)
    totals, answers, handlers, job_sizes = [], [], [], []
    # Alternating, so that a slow spell of the shared machine hits both.
    for _ in range(args.repeats):
        answered, total, size = print_real(args, body)
        answers.append(answered * 1000)
        totals.append(total * 1000)
        job_sizes.append(size)
        handlers.append(post(args.handler_port, args.queue, body, args.timeout)[1] * 1000)

    total = statistics.median(totals)
    handler = statistics.median(handlers)
    # One line of values for the table, one of the single samples.
    print('%d %.1f %.1f %.1f %.3f %d' % (len(body), total, statistics.median(answers), handler, handler / total,
                                        statistics.median(job_sizes)))
    print('total %s | answer %s | handler %s' % tuple(' '.join('%.0f' % v for v in values)
                                                      for values in (totals, answers, handlers)))


if __name__ == '__main__':
    try:
        main()
    except (RuntimeError, OSError) as error:
        print('print_bench_client: %s' % error, file=sys.stderr)
        sys.exit(1)
