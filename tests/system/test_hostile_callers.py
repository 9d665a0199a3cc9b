"""KeloPrintService under Wine against callers a hostile or busy page can be:
idle connections, lying lengths, huge uploads, crafted queue names, many prints,
and a port that another process holds."""
import base64
import glob
import http.client
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import kelo_system as ks

# The bound the program states for its private memory above idle.
MEMORY_BOUND = 512 * 1024 * 1024
# How often the program tries to bind again while the port is taken, and slack for Wine.
BIND_RETRY_S = 2.0


def small_jpeg(width=400, height=300):
    return subprocess.run(['convert', '-size', '%dx%d' % (width, height), 'gradient:white-black', 'jpeg:-'],
                          capture_output=True, check=True).stdout


def padded_jpeg(total_bytes):
    """A small JPEG grown to total_bytes by comment segments after its start marker:
    a large upload whose bitmap is small, so that the test measures uploads, not printing."""
    jpeg = small_jpeg()
    padding = bytearray()
    room = total_bytes - len(jpeg)
    while room > 4:
        payload = min(65533, room - 4)
        padding += b'\xff\xfe' + (payload + 2).to_bytes(2, 'big') + bytes([0x20]) * payload
        room -= payload + 4
    return jpeg[:2] + bytes(padding) + jpeg[2:]


def data_url(image_bytes, media='image/jpeg'):
    return ('data:%s;base64,' % media).encode() + base64.b64encode(image_bytes)


def job_files(queue=None):
    pattern = os.path.join(os.environ['KELO_JOB_DIR'], queue or '*', 'job-*.prn')
    return set(glob.glob(pattern))


def raw_exchange(payload, wait=3.0):
    """Sends bytes on a new connection; returns (what came back, seconds until it closed or None)."""
    start = time.monotonic()
    with socket.create_connection((ks.HOST, ks.PORT), timeout=wait) as s:
        s.sendall(payload)
        data = b''
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return data, time.monotonic() - start
                data += chunk
        except socket.timeout:
            return data, None


class HostileCallers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if ks.port_open():
            raise RuntimeError('something already listens on 127.0.0.1:6780')
        cls.service = ks.start_print_service()
        cls.program_dir = ks.program_dir()

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()

    def listing_time(self):
        start = time.monotonic()
        status, _, _ = ks.request('POST', '/klapi/GetPrinters', timeout=10)
        self.assertEqual(status, 200)
        return time.monotonic() - start

    def test_a_new_request_does_not_wait_behind_64_idle_connections(self):
        idle = []
        try:
            for i in range(64):
                conn = http.client.HTTPConnection(ks.HOST, ks.PORT, timeout=10)
                if i % 2 == 0:  # kept alive after an answer; the others never ask anything
                    conn.request('POST', '/klapi/GetPrinters', body=b'')
                    conn.getresponse().read()
                else:
                    conn.connect()
                idle.append(conn)
            time.sleep(0.3)
            times = [self.listing_time() for _ in range(3)]
            self.assertLess(max(times), 0.5, times)
        finally:
            for conn in idle:
                conn.close()

    def test_lengths_are_judged_before_reading(self):
        cases = (
            ('200 MB announced to a plain route',
             b'POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nContent-Length: 209715200\r\n\r\n', b'HTTP/1.1 413', 1.0),
            ('64 MiB + 1 announced to PrintImage',
             b'POST /klapi/PrintImage HTTP/1.1\r\nHost: a\r\nContent-Length: 67108865\r\n\r\n', b'HTTP/1.1 413', 1.0),
        )
        for name, payload, status, limit in cases:
            with self.subTest(name):
                data, closed_after = raw_exchange(payload)
                self.assertTrue(data.startswith(status), data[:100])
                self.assertIn(ks.error_page(413).encode(), data)
                self.assertIsNotNone(closed_after)
                self.assertLess(closed_after, limit)

    def test_a_post_without_length_is_answered_at_once(self):
        start = time.monotonic()
        with socket.create_connection((ks.HOST, ks.PORT), timeout=5) as s:
            s.sendall(b'POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\n\r\n')
            data = b''
            while b'\r\n\r\n' not in data or not data.rstrip().endswith(b'}'):
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
        self.assertLess(time.monotonic() - start, 0.5)
        self.assertTrue(data.startswith(b'HTTP/1.1 200'), data[:100])
        self.assertIn(b'"statusCode"', data)

    def test_crafted_names_open_nothing(self):
        body = data_url(small_jpeg(40, 30))
        names = (
            ('NUL inside a listed name', 'KeloTest203%00x'),
            ('an unlisted host', '%5C%5Cattacker.example%5Cp'),
            ('WebDAV', '%5C%5Chost%4080%5Cp'),
            ('a device', 'LPT1'),
            ('a device with an extension', 'nul.txt'),
            ('bytes no code page holds', '%FF%FE%FD'),
        )
        before = job_files()
        for label, name in names:
            with self.subTest(label):
                start = time.monotonic()
                _, _, data = ks.request('POST', '/klapi/PrintImage?printName=' + name, body=body, timeout=30)
                self.assertIn(b'"Failed to open printer"', data)
                status, _, data = ks.request('POST', '/klapi/GetPrinterResolution?printName=' + name, timeout=30)
                self.assertIn(b'"Failed to open printer"', data)
                self.assertLess(time.monotonic() - start, 2.0)
        time.sleep(1.0)
        self.assertEqual(job_files() - before, set())
        # The listed name still prints.
        before = job_files('KeloTest203')
        _, _, data = ks.request('POST', '/klapi/PrintImage?printName=KeloTest203', body=body, timeout=60)
        self.assertIn(b'"10001"', data)
        self.assertTrue(ks.wait_until(lambda: job_files('KeloTest203') - before, 30))

    def test_quick_prints_leave_at_most_ten_stored_images(self):
        body = data_url(small_jpeg(40, 30))
        for _ in range(15):
            _, _, data = ks.request('POST', '/klapi/PrintImage?printName=KeloTest300', body=body, timeout=60)
            self.assertIn(b'"10001"', data)
        stored = glob.glob(os.path.join(self.program_dir, 'tempKL_*.JPG'))
        self.assertLessEqual(len(stored), 10, stored)

    def test_concurrent_large_uploads_stay_within_the_memory_bound(self):
        body = data_url(padded_jpeg(46 * 1000 * 1000))
        self.assertGreater(len(body), 61 * 1000 * 1000)
        pid = self.service.pid
        idle = ks.private_bytes(pid)
        peak = [idle]
        answers = []
        done = threading.Event()

        def sample():
            while not done.is_set():
                try:
                    peak[0] = max(peak[0], ks.private_bytes(pid))
                except OSError:
                    return
                time.sleep(0.02)

        def upload():
            try:
                _, _, data = ks.request('POST', '/klapi/PrintImage?printName=KeloTest300', body=body, timeout=300)
                answers.append(data)
            except OSError as error:
                answers.append(repr(error).encode())

        sampler = threading.Thread(target=sample)
        sampler.start()
        uploads = [threading.Thread(target=upload) for _ in range(8)]
        start = time.monotonic()
        for t in uploads:
            t.start()
        for t in uploads:
            t.join()
        elapsed = time.monotonic() - start
        done.set()
        sampler.join()
        growth = peak[0] - idle
        print('8 uploads of %d bytes: %.1f s, private memory idle %.0f MiB, peak %.0f MiB (+%.0f MiB)' %
              (len(body), elapsed, idle / 2**20, peak[0] / 2**20, growth / 2**20), file=sys.stderr)
        self.assertEqual(len(answers), 8)
        for data in answers:
            self.assertIn(b'"10001"', data)
        self.assertLess(growth, MEMORY_BOUND)


class PortTakenAtStart(unittest.TestCase):
    def test_serves_once_another_process_frees_the_port(self):
        # A program killed just before (the class above) may hold the port until Wine has cleaned up after it.
        if not ks.wait_until(lambda: not ks.port_open(), 15):
            raise RuntimeError('something already listens on 127.0.0.1:6780')
        holder = subprocess.Popen([sys.executable, '-c', (
            'import socket, sys\n'
            's = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n'
            's.bind(("127.0.0.1", %d)); s.listen(4)\n'
            'print("held", flush=True); sys.stdin.readline()\n') % ks.PORT],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        service = None
        try:
            self.assertEqual(holder.stdout.readline().strip(), 'held')
            service = ks.start_print_service(wait_for_port=False)
            time.sleep(2 * BIND_RETRY_S + 1)
            self.assertTrue(service.running(), 'the tray program must keep running')
            holder.stdin.close()
            holder.wait(10)
            freed = time.monotonic()
            answered = ks.wait_until(lambda: ks.port_open() and self.lists(), BIND_RETRY_S + 3)
            print('served %.2f s after the port was freed' % (time.monotonic() - freed), file=sys.stderr)
            self.assertTrue(answered)
            self.assertLess(time.monotonic() - freed, BIND_RETRY_S + 3)
        finally:
            if holder.poll() is None:
                holder.kill()
            if service:
                service.stop()

    @staticmethod
    def lists():
        try:
            return ks.request('POST', '/klapi/GetPrinters', timeout=5)[0] == 200
        except OSError:
            return False


if __name__ == '__main__':
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
