"""System tests of the agent's HTTP API (KeloPrintService.exe under Wine, or the native
kelo-print-agent: see kelo_system.AGENT), over HTTP from Linux."""
import http.client
import json
import re
import socket
import subprocess
import sys
import threading
import time
import unittest

import kelo_system as ks


def listing(query='', body=None, content_type=None, conn=None):
    headers = {'Content-Type': content_type} if content_type else {}
    status, hdrs, data = ks.request('POST', '/klapi/GetPrinters' + query, body=body, headers=headers, conn=conn)
    return status, hdrs, data


def names_of(data):
    answer = json.loads(data.decode('utf-8'))
    return [p['name'] for p in answer['resultInfo']['printers']]


def listeners():
    """(local address, pid) of each socket listening on the agent's port."""
    out = subprocess.run(['ss', '-Hltnp', 'sport = :%d' % ks.PORT], capture_output=True, text=True).stdout
    return [(line.split()[3], [int(p) for p in re.findall(r'pid=(\d+)', line)]) for line in out.splitlines()
            if line.strip()]


class PrintServiceApi(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if ks.port_open():
            raise RuntimeError('something already listens on 127.0.0.1:6780')
        cls.service = ks.start_print_service()

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()

    def assertCors(self, headers):
        for name, value in ks.CORS.items():
            self.assertEqual(headers.get(name), value, name)

    def assertNoCors(self, headers):
        for name in ks.CORS:
            self.assertNotIn(name, headers)

    def assertErrorPage(self, result, status):
        got_status, headers, body = result
        self.assertEqual(got_status, status)
        self.assertEqual(body.decode(), ks.error_page(status))
        self.assertEqual(headers.get('Content-Type'), 'text/html')

    def test_route_table(self):
        status, headers, body = ks.request('GET', '/')
        self.assertEqual((status, headers.get('Location')), (302, '/hi'))
        status, headers, body = ks.request('HEAD', '/')
        self.assertEqual((status, headers.get('Location')), (302, '/hi'))
        self.assertErrorPage(ks.request('GET', '/hi'), 404)
        for path in ks.API:
            status, headers, body = ks.request('OPTIONS', path, headers={
                'Origin': 'https://shop.example', 'Access-Control-Request-Method': 'POST',
                'Access-Control-Request-Headers': 'content-type'})
            self.assertEqual(status, 204, path)
            self.assertEqual(body, b'', path)
            self.assertCors(headers)
            result = ks.request('GET', path)
            self.assertErrorPage(result, 404)
            self.assertNoCors(result[1])
        for path in ('/klapi/GetPrinters/', '/KLAPI/GetPrinters', '/klapi/getprinters', '/klapi/Other'):
            result = ks.request('POST', path)
            self.assertErrorPage(result, 404)
            self.assertNoCors(result[1])
        self.assertErrorPage(ks.request('BREW', '/klapi/GetPrinters'), 400)

    def test_listing_and_filters(self):
        status, headers, data = listing()
        self.assertEqual(status, 200)
        self.assertEqual(headers.get('Content-Type'), 'application/json')
        self.assertCors(headers)
        answer = json.loads(data)
        self.assertEqual(list(answer), ['statusCode', 'resultInfo'])
        self.assertEqual(answer['statusCode'], '10001')
        listed = names_of(data)
        for queue in ('KELO', 'KeloTest203', 'KeloTest300'):
            self.assertIn(queue, listed)
        # Every CUPS queue reaches Wine's spooler as a queue of the same name; the
        # native agent lists CUPS's destinations in CUPS's order, instances left out.
        self.assertEqual(sorted(set(ks.cups_queues()) - set(listed)), [])
        if ks.AGENT.kind == 'native':
            self.assertEqual(listed, [q for q in ks.cups_queues() if '/' not in q])
        self.assertIn('\n\t"statusCode":\t"10001",\n', data.decode())

        supported = names_of(listing('?onlySupported=false')[2])
        self.assertIn('KELO', supported)
        self.assertTrue(set(supported) <= {'KELO', 'R52 Label Printer', 'KELO520'}, supported)
        self.assertEqual(names_of(listing('?onlySupported=')[2]), supported)
        self.assertEqual(names_of(listing('', b'onlySupported=1', 'application/x-www-form-urlencoded')[2]),
                         supported)
        self.assertEqual(names_of(listing('', b'onlySupported=1', 'text/plain')[2]), listed)
        self.assertEqual(names_of(listing('?onlyLocal=0&onlyOnline=0')[2]), listed)

    def test_diagnostic_lines(self):
        listing('?onlyLocal=1&onlySupported=1')
        lines = ks.wait_until(lambda: b'101===' in self.service.output(), 5) and self.service.output().splitlines()
        self.assertTrue(lines, 'no flag line written')
        start = lines.index(b'101===')
        count = next(line for line in lines[start:] if line.startswith(b'number '))
        self.assertGreaterEqual(int(count.split()[1]), 3)

    def test_concurrent_listings_get_their_own_answers(self):
        queries = ['', '?onlySupported=1', '?onlyOnline=1', '?onlyLocal=1&onlySupported=1',
                   '?onlyLocal=1', '?onlyOnline=1&onlySupported=1', '?onlyLocal=1&onlyOnline=1',
                   '?onlyLocal=1&onlyOnline=1&onlySupported=1']
        expected = {q: listing(q)[2] for q in queries}
        self.assertNotEqual(expected[''], expected['?onlySupported=1'])
        wrong, failed = [], []
        barrier = threading.Barrier(32)

        def client(i):
            conn = http.client.HTTPConnection(ks.HOST, ks.PORT, timeout=30)
            try:
                barrier.wait()
                for round_ in range(5):
                    q = queries[(i + round_) % len(queries)]
                    status, _, data = listing(q, conn=conn)
                    if status != 200 or data != expected[q]:
                        wrong.append((q, status, data[:80]))
            except Exception as e:  # noqa: BLE001 - reported below
                failed.append(repr(e))
            finally:
                conn.close()

        threads = [threading.Thread(target=client, args=(i,)) for i in range(32)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertEqual(failed, [])
        self.assertEqual(wrong, [])

    @ks.only_for('native', "the Wine build keeps listing a stopped or rejecting queue: Wine's spooler does not "
                           "carry CUPS's queue state into the queues' attributes")
    def test_only_online_drops_a_stopped_and_a_rejecting_queue(self):
        queue = 'KeloTest203'
        for stop, restore in (('cupsdisable', 'cupsenable'), ('cupsreject', 'cupsaccept')):
            with self.subTest(stop=stop):
                self.assertIn(queue, names_of(listing('?onlyOnline=1')[2]))
                subprocess.run([stop, queue], check=True)
                try:
                    self.assertNotIn(queue, names_of(listing('?onlyOnline=1')[2]))
                    self.assertIn(queue, names_of(listing()[2]))
                    self.assertIn('KeloTest300', names_of(listing('?onlyOnline=1')[2]))
                finally:
                    subprocess.run([restore, queue], check=True)
                self.assertIn(queue, names_of(listing('?onlyOnline=1')[2]))

    def test_a_refused_request_gets_exactly_one_answer(self):
        """Each request refused before routing is answered once; the connection then ends
        (waited for a second, so that an extra answer would be seen)."""
        cases = (
            ('unknown method', b'FOO /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nAccept: */*\r\nContent-Length: 0\r\n\r\n'),
            ('unknown method, no length', b'FOO /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nAccept: */*\r\n\r\n'),
            ('chunked and a length', b'POST /klapi/PrintImage HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n'
                                     b'Content-Length: 0\r\n\r\n5\r\ndata:\r\n0\r\n\r\n'),
        )
        for name, payload in cases:
            with self.subTest(name):
                with socket.create_connection((ks.HOST, ks.PORT), timeout=5) as s:
                    s.sendall(payload)
                    s.settimeout(1.0)
                    data, closed = b'', False
                    try:
                        while True:
                            chunk = s.recv(65536)
                            if not chunk:
                                closed = True
                                break
                            data += chunk
                    except socket.timeout:
                        pass
                self.assertTrue(data.startswith(b'HTTP/1.1 400 '), data[:100])
                self.assertEqual(data.count(b'HTTP/1.1 '), 1, data)
                self.assertTrue(closed, 'the connection ends after the answer')
        self.assertEqual(listing()[0], 200, 'and the agent serves on')

    def test_listens_only_on_ipv4_loopback(self):
        self.assertFalse(ks.port_open('::1', ks.PORT, socket.AF_INET6))
        self.assertEqual([address for address, _ in listeners()], ['127.0.0.1:%d' % ks.PORT])

    def test_second_instance_neither_takes_the_port_nor_disturbs_the_first(self):
        second = ks.start_print_service(wait_for_port=False)
        try:
            time.sleep(4)
            if ks.AGENT.kind == 'wine':
                self.assertTrue(second.running(), 'the second copy should keep running in the tray')
            held = listeners()
            self.assertEqual([address for address, _ in held], ['127.0.0.1:%d' % ks.PORT])
            if ks.AGENT.kind == 'native':
                # Under Wine another process (its server) is named as the socket's holder.
                self.assertEqual(held[0][1], [self.service.pid])
            for _ in range(5):
                status, _, data = listing()
                self.assertEqual(status, 200)
                self.assertIn('KELO', names_of(data))
        finally:
            second.stop()
        self.assertEqual(listing()[0], 200)


if __name__ == '__main__':
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
