"""The agent under test against callers a hostile or busy page can be: idle and
trickling connections, lying lengths and framings, endless headers, huge uploads,
decompression bombs, crafted queue names, many prints, and a port that another
process holds."""
import base64
import functools
import glob
import http.client
import itertools
import json
import os
import select
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest
import zlib

import kelo_system as ks

# The bound the program states for its private memory above idle.
MEMORY_BOUND = 512 * 1024 * 1024
# How long a new caller may wait for its listing while others attack.
FRESH_LISTING_S = 1.0
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


@functools.lru_cache(maxsize=None)
def png_bomb(inflated=1 << 30):
    """A 1x1 8-bit RGB PNG whose IDAT inflates to `inflated` bytes of zeros (1 MB deflated
    per GiB): the header promises 4 bytes of pixel rows."""
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))

    deflate, zeros = zlib.compressobj(9), bytes(1 << 20)
    idat = b''.join(deflate.compress(zeros) for _ in range(inflated // len(zeros))) + deflate.flush()
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', 1, 1, 8, 2, 0, 0, 0)) +
            chunk(b'IDAT', idat) + chunk(b'IEND', b''))


def data_url(image_bytes, media='image/jpeg'):
    return ('data:%s;base64,' % media).encode() + base64.b64encode(image_bytes)


def job_files(queue=None):
    pattern = os.path.join(os.environ['KELO_JOB_DIR'], queue or '*', 'job-*.prn')
    return set(glob.glob(pattern))


def push(head, piece=b'', count=0, tail=b'', wait=5.0):
    """Sends head, count copies of piece and tail on a new connection as fast as the
    server takes them, reading all the while; returns (what came back, bytes sent,
    seconds until the server ended the connection or None)."""
    start = time.monotonic()
    answer, sent = b'', 0
    pieces = itertools.chain(itertools.repeat(piece, count), (tail,))
    out = memoryview(head)
    with socket.create_connection((ks.HOST, ks.PORT), timeout=wait) as s:
        s.setblocking(False)
        while (left := start + wait - time.monotonic()) > 0:
            readable, writable, _ = select.select([s], [s] if out else [], [], left)
            if readable:
                try:
                    data = s.recv(65536)
                except ConnectionResetError:
                    data = b''
                if not data:
                    return answer, sent, time.monotonic() - start
                answer += data
            if writable:
                try:
                    sent += (n := s.send(out))
                except (BrokenPipeError, ConnectionResetError):
                    out = None  # the server has gone; what it answered is still to be read
                    continue
                out = out[n:] or memoryview(next(pieces, b''))
    return answer, sent, None


def socket_buffers():
    """The most of one connection's bytes that the send and receive buffers can hold
    on loopback: a sender that got more out than this had them read."""
    total = 0
    for kind in ('wmem', 'rmem'):
        with open('/proc/sys/net/ipv4/tcp_%s' % kind) as f:
            total += int(f.read().split()[2])
    return total


def read_answer(sock):
    """One answer's head and body from a blocking socket; OSError when it closes first."""
    data = b''
    while b'\r\n\r\n' not in data:
        chunk = sock.recv(4096)
        if not chunk:
            raise ConnectionResetError('closed before an answer')
        data += chunk
    head, body = data.split(b'\r\n\r\n', 1)
    length = int(next((line.split(b':')[1] for line in head.split(b'\r\n')
                       if line.lower().startswith(b'content-length:')), b'0'))
    while len(body) < length:
        chunk = sock.recv(4096)
        if not chunk:
            raise ConnectionResetError('closed within an answer')
        body += chunk
    return head, body


class HostileCallers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if ks.port_open():
            raise RuntimeError('something already listens on 127.0.0.1:6780')
        cls.service = ks.start_print_service()

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()

    def assertServedOn(self, watch, what):
        """The agent still runs, answered every fresh listing in time and stayed within its memory."""
        print('%s: %s' % (what, watch.summary()), file=sys.stderr)
        self.assertTrue(self.service.running(), 'the agent ended')
        self.assertLess(watch.worst, FRESH_LISTING_S, watch.listings)
        self.assertLess(watch.growth, MEMORY_BOUND)
        self.assertLess(ks.listing_seconds(), FRESH_LISTING_S, 'a listing afterwards')

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
            times = [ks.listing_seconds() for _ in range(3)]
            self.assertLess(max(times), 0.5, times)
        finally:
            for conn in idle:
                conn.close()

    def test_a_new_request_is_served_beside_64_connections_that_trickle_requests(self):
        """64 connections that are never idle: each sends a listing request 3 bytes at a
        time over about 3 s, reads the answer and starts the next (on a new connection
        when the server ends one)."""
        request = b'POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n'
        pieces = [request[i:i + 3] for i in range(0, len(request), 3)]
        stop = threading.Event()
        tallies = [dict(connections=0, answers=0, ended=0) for _ in range(64)]

        def trickle(tally):
            sock = None
            while not stop.is_set():
                try:
                    if sock is None:
                        sock = socket.create_connection((ks.HOST, ks.PORT), timeout=10)
                        tally['connections'] += 1
                    for piece in pieces:
                        sock.sendall(piece)
                        if stop.wait(3.0 / len(pieces)):
                            break
                    else:
                        head, _ = read_answer(sock)
                        tally['answers'] += 1
                        if b'\r\nconnection: close' in head.lower():
                            sock.close()
                            sock = None
                except OSError:
                    tally['ended'] += 1
                    if sock:
                        sock.close()
                    sock = None
            if sock:
                sock.close()

        threads = [threading.Thread(target=trickle, args=(t,)) for t in tallies]
        with ks.Watch(self.service.pid) as watch:
            for t in threads:
                t.start()
            time.sleep(10)
            stop.set()
            for t in threads:
                t.join()
        totals = {key: sum(t[key] for t in tallies) for key in tallies[0]}
        self.assertServedOn(watch, '64 trickling connections (%s)' % totals)
        self.assertGreaterEqual(totals['connections'], 64)

    def test_refused_requests_end_before_their_bytes_are_read(self):
        """Each is refused from its head or its first lines: answered (or dropped) and
        closed at once, though its sender goes on sending as fast as it can."""
        filler = b'a' * 0x10000
        chunk = b'10000\r\n' + b'A' * 0x10000 + b'\r\n'
        cases = (
            # name, connections, head, piece, copies of the piece, tail, status (None: 400 or none)
            ('200 MB announced to a plain route', 1,
             b'POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nContent-Length: 209715200\r\n\r\n',
             filler, 3200, b'', 413),
            ('64 MiB + 1 announced to PrintImage', 1,
             b'POST /klapi/PrintImage HTTP/1.1\r\nHost: a\r\nContent-Length: 67108865\r\n\r\n',
             filler, 1024, b'a', 413),
            ('60 MiB in chunks that also say Content-Length: 0, 8 at once', 8,
             b'POST /klapi/PrintImage HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\nContent-Length: 0\r\n\r\n',
             chunk, 960, b'0\r\n\r\n', 400),
            ('a header line of 64 MiB', 1, b'POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nX-Filler: ',
             filler, 1024, b'\r\n\r\n', None),
            ('20,000 headers', 1, b'POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\n',
             b'X-Filler: a\r\n' * 1000, 20, b'\r\n', None),
        )
        for name, connections, head, piece, copies, tail, status in cases:
            with self.subTest(name):
                total = len(head) + copies * len(piece) + len(tail)
                results = [None] * connections

                def send(i):
                    results[i] = push(head, piece, copies, tail)

                threads = [threading.Thread(target=send, args=(i,)) for i in range(connections)]
                with ks.Watch(self.service.pid) as watch:
                    for t in threads:
                        t.start()
                    for t in threads:
                        t.join()
                self.assertServedOn(watch, '%s: answered %s, closed after %s s, sent %s of %d bytes' % (
                    name, sorted({r[0].split(b'\r\n', 1)[0].decode() or 'nothing' for r in results}),
                    [None if r[2] is None else round(r[2], 3) for r in results], [r[1] for r in results], total))
                for answer, sent, closed_after in results:
                    if answer or status is not None:
                        self.assertTrue(answer.startswith(b'HTTP/1.1 %d ' % (status or 400)), answer[:100])
                        self.assertIn(ks.error_page(status or 400).encode(), answer)
                        self.assertEqual(answer.count(b'HTTP/1.1 '), 1, answer)
                    self.assertIsNotNone(closed_after, 'the connection was left open')
                    self.assertLess(closed_after, 1.0)
                    if total > socket_buffers():
                        self.assertLess(sent, total, 'the server read it all')

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
        stored = glob.glob(os.path.join(self.service.image_dir, 'tempKL_*.JPG'))
        self.assertLessEqual(len(stored), 10, stored)

    def print_at_once(self, body, count):
        """Posts body to KeloTest300 from count connections at once, watched; returns
        (each answer's JSON, or the bytes or error that came instead, the Watch, seconds)."""
        answers = [None] * count

        def upload(i):
            try:
                data = ks.request('POST', '/klapi/PrintImage?printName=KeloTest300', body=body, timeout=300)[2]
                answers[i] = json.loads(data)
            except ValueError:
                answers[i] = data[:200]
            except OSError as error:
                answers[i] = repr(error)

        jobs_before = job_files('KeloTest300')
        threads = [threading.Thread(target=upload, args=(i,)) for i in range(count)]
        start = time.monotonic()
        with ks.Watch(self.service.pid) as watch:
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        elapsed = time.monotonic() - start
        # Every job comes out; the spooler may write them after the answers, and a later
        # test must not count them as its own.
        printed = sum(isinstance(a, dict) and a.get('statusCode') == '10001' for a in answers)
        self.assertTrue(ks.wait_until(lambda: len(job_files('KeloTest300') - jobs_before) >= printed, 60))
        return answers, watch, elapsed

    def test_concurrent_large_uploads_stay_within_the_memory_bound(self):
        body = data_url(padded_jpeg(46 * 1000 * 1000))
        self.assertGreater(len(body), 61 * 1000 * 1000)
        answers, watch, elapsed = self.print_at_once(body, 8)
        self.assertServedOn(watch, '8 uploads of %d bytes in %.1f s' % (len(body), elapsed))
        for answer in answers:
            self.assertEqual(answer.get('statusCode') if isinstance(answer, dict) else answer, '10001')

    def test_png_bombs_are_answered_within_the_memory_bound(self):
        """A 1x1 PNG whose pixel data inflates to 1 GiB, four at once: each is answered in
        JSON (printed as one pixel or refused), without the agent inflating it all."""
        body = data_url(png_bomb(), 'image/png')
        answers, watch, elapsed = self.print_at_once(body, 4)
        self.assertServedOn(watch, '4 PNGs of %d bytes inflating to 1 GiB each in %.1f s, answered %s' % (
            len(body), elapsed, answers))
        for answer in answers:
            self.assertIsInstance(answer, dict)
            self.assertIn(answer.get('statusCode'), ('10001', '10002'), answer)


class PortTakenAtStart(unittest.TestCase):
    def test_serves_once_another_process_frees_the_port(self):
        # An agent stopped just before (the class above) may hold the port until Wine has cleaned up after it.
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
            self.assertTrue(service.running(), 'the agent must keep running')
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
                holder.wait(10)
            holder.stdout.close()
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
