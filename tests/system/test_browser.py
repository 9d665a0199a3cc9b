"""The example label page in headless Chromium, driven over the W3C WebDriver protocol,
against the agent under test (the real program under Wine, or the native agent): listing, resolution, a printed label compared dot
for dot with the page's canvas and its barcode read back, the failures the page shows,
and the client library's canvas helpers in a page and a worker."""
import base64
import functools
import glob
import http.client
import http.server
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

import kelo_system as ks
from test_print import all_jobs, difference, gray_pixels, job_files, label_pixels, render, wait_for_new_jobs

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PAGE_DIR = os.path.join(ROOT, 'examples', 'label-printing')
QUEUE = 'KeloTest203'
QUEUE_DPI = 203
MISSING = 'Kelo Missing #1 & 50%'  # needs URL encoding in a query
LABEL_TEXT = 'Kelo-4711 #B'
# What the page serves besides its own files, installed by scripts/setup.sh.
MODULES = ('node_modules/kelo-label-agent/index.js', 'node_modules/bwip-js/dist/bwip-js.mjs')
ELEMENT = 'element-6066-11e4-a52e-4f735466cecf'  # the key of a web element reference


def free_port():
    with socket.socket() as s:
        s.bind((ks.HOST, 0))
        return s.getsockname()[1]


def listing(query=''):
    status, _, data = ks.request('POST', '/klapi/GetPrinters' + query)
    assert status == 200, status
    return [p['name'] for p in json.loads(data)['resultInfo']['printers']]


def is_browser(pid):
    """Whether pid is still one of Chromium's processes (a pid can be reused once it ended)."""
    try:
        with open('/proc/%d/cmdline' % pid, 'rb') as f:
            return b'chromium' in f.read().split(b'\0')[0]
    except OSError:
        return False


class WebDriverError(Exception):
    pass


class WebDriver:
    """The few W3C WebDriver commands the test needs, spoken to chromedriver directly."""

    def __init__(self, port):
        self.port = port
        self.base = None

    def call(self, method, path, body=None, timeout=60):
        conn = http.client.HTTPConnection(ks.HOST, self.port, timeout=timeout)
        try:
            data = None if body is None else json.dumps(body).encode()
            conn.request(method, path, body=data,
                         headers={'Content-Type': 'application/json; charset=utf-8'} if data else {})
            res = conn.getresponse()
            raw = res.read()
        finally:
            conn.close()
        answer = json.loads(raw) if raw else {}
        value = answer.get('value') if isinstance(answer, dict) else None
        if res.status != 200:
            message = value.get('message', '') if isinstance(value, dict) else raw[:500]
            raise WebDriverError('%s %s: HTTP %d %s' % (method, path, res.status, message))
        return value

    def ready(self):
        try:
            return bool(self.call('GET', '/status', timeout=2).get('ready'))
        except (OSError, WebDriverError, ValueError):
            return False

    def start_session(self, capabilities):
        value = self.call('POST', '/session', {'capabilities': {'alwaysMatch': capabilities}})
        self.base = '/session/' + value['sessionId']
        return value['capabilities']

    def end_session(self):
        if self.base:
            base, self.base = self.base, None
            self.call('DELETE', base, timeout=30)

    def cmd(self, method, path, body=None):
        return self.call(method, self.base + path, body)

    def go(self, url):
        self.cmd('POST', '/url', {'url': url})

    def script(self, source, *args):
        # Execute script awaits a returned promise.
        return self.cmd('POST', '/execute/sync', {'script': source, 'args': list(args)})

    def element(self, css):
        return self.cmd('POST', '/element', {'using': 'css selector', 'value': css})[ELEMENT]

    def click(self, css):
        self.cmd('POST', '/element/%s/click' % self.element(css), {})

    def type_into(self, css, text):
        element = self.element(css)
        self.cmd('POST', '/element/%s/clear' % element, {})
        self.cmd('POST', '/element/%s/value' % element, {'text': text})

    def screenshot(self, path):
        with open(path, 'wb') as f:
            f.write(base64.b64decode(self.cmd('GET', '/screenshot')))

    def log(self, kind):
        # Chromedriver's own command: the W3C protocol has no logs.
        return self.cmd('POST', '/se/log', {'type': kind})


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    # Module scripts load only with a JavaScript type, whatever /etc/mime.types says.
    extensions_map = {'.js': 'text/javascript', '.mjs': 'text/javascript'}

    def log_message(self, *args):
        pass


class LabelPageInChromium(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        ks.require_tools('chromium', 'chromedriver', 'gs', 'convert', 'zbarimg')
        missing = [m for m in MODULES if not os.path.isfile(os.path.join(PAGE_DIR, m))]
        if missing:
            raise RuntimeError('the page lacks %s: run scripts/setup.sh' % ', '.join(missing))
        if ks.port_open():
            raise RuntimeError('something already listens on 127.0.0.1:6780')
        cls.work = tempfile.mkdtemp(prefix='kelo-browser-')
        cls.shots = os.path.join(ks.artifacts_dir(), 'browser')
        os.makedirs(cls.shots, exist_ok=True)
        cls.service = cls.pages = cls.driver_proc = None
        cls.browser_pids = []
        try:
            cls.service = ks.start_print_service()
            cls.image_dir = cls.service.image_dir
            cls.stored_before = set(glob.glob(os.path.join(cls.image_dir, 'tempKL_*.JPG')))
            # The page on another loopback port: a different origin from the agent's,
            # so every call is cross-origin and preflighted.
            cls.pages = http.server.ThreadingHTTPServer(
                (ks.HOST, 0), functools.partial(QuietHandler, directory=PAGE_DIR))
            threading.Thread(target=cls.pages.serve_forever, daemon=True).start()
            cls.page_url = 'http://%s:%d/index.html' % (ks.HOST, cls.pages.server_address[1])
            cls.start_browser()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def start_browser(cls):
        port = free_port()
        cls.driver_log = os.path.join(cls.work, 'chromedriver.log')
        cls.driver_proc = subprocess.Popen(
            ['chromedriver', '--port=%d' % port, '--log-path=' + cls.driver_log],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.driver = WebDriver(port)
        if not ks.wait_until(cls.driver.ready, 20, 0.1):
            raise RuntimeError('chromedriver did not become ready')
        profile = os.path.join(cls.work, 'profile')
        cls.driver.start_session({
            'browserName': 'chrome',
            'goog:chromeOptions': {
                'binary': shutil.which('chromium'),
                # A device pixel ratio of 2: the canvas must stay in printer dots anyway.
                'args': ['--headless=new', '--no-sandbox', '--user-data-dir=' + profile, '--disable-gpu',
                         '--disable-dev-shm-usage', '--no-first-run', '--no-proxy-server',
                         '--force-device-scale-factor=2', '--window-size=900,900'],
            },
            'goog:loggingPrefs': {'performance': 'ALL'},  # the network events, for the preflights
            'timeouts': {'script': 30000, 'pageLoad': 30000, 'implicit': 0},
        })
        cls.browser_pids = ks.descendants(cls.driver_proc.pid)

    @classmethod
    def tearDownClass(cls):
        if cls.driver_proc is not None:
            try:
                cls.driver.end_session()  # chromedriver ends the browser it started
            except (OSError, WebDriverError):
                pass
            for pid in reversed(cls.browser_pids + ks.descendants(cls.driver_proc.pid)):
                if is_browser(pid):
                    try:
                        os.kill(pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
            cls.driver_proc.terminate()
            try:
                cls.driver_proc.wait(10)
            except subprocess.TimeoutExpired:
                cls.driver_proc.kill()
                cls.driver_proc.wait(10)
        if cls.pages is not None:
            cls.pages.shutdown()
            cls.pages.server_close()
        if cls.service is not None:
            cls.service.stop()
            for path in set(glob.glob(os.path.join(cls.image_dir, 'tempKL_*.JPG'))) - cls.stored_before:
                os.unlink(path)
        shutil.rmtree(cls.work, ignore_errors=True)

    def wait_for(self, source, timeout=20, what=None):
        value = ks.wait_until(lambda: self.driver.script(source), timeout, 0.05)
        self.assertTrue(value, what or source)
        return value

    def open_page(self, query=''):
        self.driver.go(self.page_url + query)
        self.wait_for("return document.getElementById('printers').dataset.state === 'loaded'"
                      " && document.getElementById('resolution').dataset.state !== 'loading'",
                      what='the printer list did not load')

    def page_printers(self):
        return self.driver.script("return [...document.querySelectorAll('#printers option')].map(o => o.value)")

    def choose(self, name):
        self.driver.click('#printers option[value="%s"]' % name)
        self.assertEqual(self.driver.script("return document.getElementById('printers').value"), name)
        return self.wait_for("const r = document.getElementById('resolution');"
                             " return r.dataset.state === 'known' || r.dataset.state === 'failed' ?"
                             " {state: r.dataset.state, text: r.textContent, x: r.dataset.xdpi, y: r.dataset.ydpi}"
                             " : null", what='no resolution shown')

    def print_and_wait(self):
        self.driver.click('#print')
        return self.wait_for("const o = document.getElementById('outcome');"
                             " return o.dataset.status === 'ok' || o.dataset.status === 'failed' ?"
                             " {status: o.dataset.status, text: o.textContent} : null",
                             timeout=60, what='no print outcome shown')

    def canvas(self):
        info = self.driver.script("const c = document.getElementById('preview');"
                                  " return {w: c.width, h: c.height, url: c.toDataURL('image/png')}")
        if info['w'] == 0 or info['h'] == 0:
            return info['w'], info['h'], b''
        prefix = 'data:image/png;base64,'
        self.assertTrue(info['url'].startswith(prefix))
        return info['w'], info['h'], base64.b64decode(info['url'][len(prefix):])

    def preflights_to_agent(self):
        """{url: HTTP status} of the preflights to the agent in the browser's network log
        since the last call."""
        sent, status = {}, {}
        for entry in self.driver.log('performance'):
            message = json.loads(entry['message'])['message']
            params = message.get('params', {})
            if message.get('method') == 'Network.requestWillBeSent':
                request = params['request']
                if request['method'] == 'OPTIONS' and params.get('initiator', {}).get('type') == 'preflight' and \
                        request['url'].startswith('http://%s:%d/klapi/' % (ks.HOST, ks.PORT)):
                    sent[params['requestId']] = request['url']
            elif message.get('method') == 'Network.responseReceived':
                status[params['requestId']] = params['response']['status']
        return {url: status.get(rid) for rid, url in sent.items()}

    def test_list_follows_the_agent_with_and_without_the_supported_filter(self):
        self.open_page()
        everything, supported = listing(), listing('?onlySupported=1')
        self.assertIn(QUEUE, everything)
        self.assertNotEqual(everything, supported)  # otherwise the toggle proves nothing
        self.assertEqual(self.page_printers(), everything)

        self.driver.click('#only-supported')
        self.wait_for("return document.getElementById('only-supported').checked &&"
                      " document.getElementById('printers').dataset.state === 'loaded'")
        self.assertEqual(self.page_printers(), supported)

        self.driver.click('#only-supported')
        self.wait_for("return !document.getElementById('only-supported').checked &&"
                      " document.getElementById('printers').dataset.state === 'loaded'")
        self.assertEqual(self.page_printers(), everything)

    def test_label_prints_dot_for_dot_at_the_printer_resolution(self):
        self.open_page()
        self.preflights_to_agent()  # drop what earlier loads logged
        status, _, data = ks.request('POST', '/klapi/GetPrinterResolution?printName=' + QUEUE)
        self.assertEqual(status, 200)
        direct = json.loads(data)['resultInfo']
        self.assertEqual((direct['xDPI'], direct['yDPI']), (QUEUE_DPI, QUEUE_DPI), direct)

        shown = self.choose(QUEUE)
        self.assertEqual(shown['state'], 'known', shown['text'])
        self.assertEqual((int(shown['x']), int(shown['y'])), (direct['xDPI'], direct['yDPI']))
        self.assertIn('%d × %d dpi' % (direct['xDPI'], direct['yDPI']), shown['text'])

        # 60 x 25 mm at 203 dpi: 479.5 and 199.8 dots, rounded.
        self.driver.type_into('#width-mm', '60')
        self.driver.type_into('#height-mm', '25')
        self.driver.type_into('#label-text', LABEL_TEXT)
        width, height, png = self.canvas()
        self.assertEqual((width, height), (480, 200))
        source = os.path.join(self.work, 'canvas.png')
        with open(source, 'wb') as f:
            f.write(png)
        _, _, dots = gray_pixels(source)
        self.assertEqual(set(dots), {0, 255}, 'a thermal label is black dots on white')
        black = sum(1 for v in dots if v < 128)
        self.assertGreater(black, width * height // 20, 'the label is nearly blank')
        self.assertGreater(width * height - black, width * height // 3, 'the label is nearly black')

        stored_before = set(glob.glob(os.path.join(self.image_dir, 'tempKL_*.JPG')))
        before = job_files(QUEUE)
        outcome = self.print_and_wait()
        self.driver.screenshot(os.path.join(self.shots, 'printed.png'))
        self.assertEqual(outcome, {'status': 'ok', 'text': 'Printed on %s.' % QUEUE})
        # text/plain and no header of the library's own: the browser sends every call at once.
        self.assertEqual(self.preflights_to_agent(), {})

        # What the page posted is exactly the canvas's PNG.
        stored = set(glob.glob(os.path.join(self.image_dir, 'tempKL_*.JPG'))) - stored_before
        self.assertEqual(len(stored), 1)
        with open(stored.pop(), 'rb') as f:
            self.assertEqual(f.read(), png)

        jobs = wait_for_new_jobs(QUEUE, before, 1)
        self.assertEqual(len(jobs), 1)
        prn = jobs.pop()
        page = render(prn, QUEUE_DPI, os.path.join(self.work, 'printed.png'))
        shutil.copy(page, os.path.join(self.shots, 'job.png'))
        printed = label_pixels(self, page, (width, height))
        largest, over = difference(printed, gray_pixels(source))
        # Every dot as on the canvas. One level of slack: Wine's PostScript driver writes
        # the white of an image as 254 of 255 (the paper around it stays 255).
        self.assertLessEqual(largest, 1, '%d dots differ from the canvas by more than 8 levels' % over)
        # Nothing else on the page: not scaled, not repeated.
        pw, ph, full = gray_pixels(page, rotate=ks.AGENT.page_turn)
        self.assertTrue(pw >= width and ph >= height, (pw, ph))
        rest = [full[y * pw + width:(y + 1) * pw] for y in range(height)] + [full[height * pw:]]
        self.assertGreaterEqual(min((min(r) for r in rest if r), default=255), 250, 'marks outside the label')
        # The printed page, as a scanner would read it.
        scanned = subprocess.run(['zbarimg', '--quiet', '--raw', '-Sdisable', '-Scode128.enable', page],
                                 capture_output=True, text=True, timeout=60)
        self.assertEqual(scanned.stdout.splitlines(), [LABEL_TEXT], scanned.stderr)

    def test_an_agent_that_does_not_answer_is_shown_with_the_local_network_access_hint(self):
        closed = 'http://%s:%d' % (ks.HOST, free_port())
        self.driver.go(self.page_url + '?agent=' + urllib.parse.quote(closed, safe=''))
        shown = self.wait_for("const o = document.getElementById('outcome');"
                              " return document.getElementById('printers').dataset.state === 'failed' ?"
                              " o.textContent : null", what='the page did not give up on the agent')
        self.assertTrue(shown.startswith('Cannot list printers: The label agent at %s does not answer' % closed), shown)
        self.assertIn('Local Network Access', shown)
        self.assertEqual(self.page_printers(), [])
        self.assertTrue(self.driver.script("return document.getElementById('print').disabled"))

    def test_library_canvas_helpers_in_a_page_and_a_worker(self):
        self.open_page()
        # One pixel per case: [fill, threshold, printed black?]. Transparency is paper.
        cases = [
            ('rgba(0, 0, 0, 0)', 128, False),
            ('rgb(255, 0, 0)', 128, True),  # luminance 76
            ('rgb(0, 0, 0)', 128, True),
            ('rgb(127, 127, 127)', 128, True),
            ('rgb(128, 128, 128)', 128, False),
            ('rgb(127, 127, 127)', 100, False),
            ('rgba(0, 0, 0, 0.4)', 128, False),  # 153 over white
            ('rgba(0, 0, 0, 0.6)', 128, True),  # 102 over white
            ('rgb(255, 255, 255)', 256, True),
        ]
        pixels = self.driver.script(
            "const { toMonochrome } = await import('kelo-label-agent');"
            " return arguments[0].map(([fill, threshold]) => {"
            "   const c = document.createElement('canvas'); c.width = 1; c.height = 1;"
            "   const ctx = c.getContext('2d'); ctx.fillStyle = fill; ctx.fillRect(0, 0, 1, 1);"
            "   return [...toMonochrome(c, threshold).getContext('2d').getImageData(0, 0, 1, 1).data]; });",
            [[fill, threshold] for fill, threshold, _ in cases])
        for (fill, threshold, black), rgba in zip(cases, pixels):
            self.assertEqual(rgba, [0, 0, 0, 255] if black else [255, 255, 255, 255], (fill, threshold))

        # In a worker there is no document: an OffscreenCanvas in dots, printed as PNG.
        stored_before = set(glob.glob(os.path.join(self.image_dir, 'tempKL_*.JPG')))
        worker = self.driver.script(
            "const source = `import { LabelAgent, labelCanvas, toMonochrome } from '${arguments[0]}';"
            " onmessage = async ({ data: queue }) => {"
            "   const c = labelCanvas(20, 10, { xDpi: 203, yDpi: 300 });"
            "   const ctx = c.getContext('2d'); ctx.fillStyle = '#444'; ctx.fillRect(3, 5, 40, 30);"
            "   toMonochrome(c);"
            "   const gray = [...ctx.getImageData(0, 0, c.width, c.height).data].filter((_, i) => i % 4 === 0);"
            "   let outcome = 'printed';"
            "   try { await new LabelAgent().print(queue, c); } catch (e) { outcome = e.code + ': ' + e.message; }"
            "   postMessage({ kind: c.constructor.name, width: c.width, height: c.height, gray, outcome }); };`;"
            " const w = new Worker(URL.createObjectURL(new Blob([source], { type: 'text/javascript' })),"
            "                      { type: 'module' });"
            " const answer = new Promise((resolve, reject) => { w.onmessage = (m) => resolve(m.data);"
            "   w.onerror = (e) => reject(new Error(e.message)); });"
            " w.postMessage(arguments[1]);"
            " try { return await answer; } finally { w.terminate(); }",
            urllib.parse.urljoin(self.page_url, MODULES[0]), QUEUE)
        self.assertEqual(worker['outcome'], 'printed')
        # 20 x 10 mm: 159.8 dots across at 203 dpi, 118.1 down at 300 dpi.
        self.assertEqual((worker['kind'], worker['width'], worker['height']), ('OffscreenCanvas', 160, 118))
        self.assertEqual(sum(1 for v in worker['gray'] if v == 0), 40 * 30)
        stored = set(glob.glob(os.path.join(self.image_dir, 'tempKL_*.JPG'))) - stored_before
        self.assertEqual(len(stored), 1)
        path = stored.pop()
        with open(path, 'rb') as f:
            self.assertEqual(f.read(8), b'\x89PNG\r\n\x1a\n')
        self.assertEqual(gray_pixels(path), (160, 118, bytes(worker['gray'])))

    def test_failures_show_the_agents_answer(self):
        self.open_page()
        self.assertEqual(self.choose(QUEUE)['state'], 'known')
        # A printer that vanished after the page asked for its resolution.
        self.driver.script("const s = document.getElementById('printers');"
                           " s.add(new Option(arguments[0], arguments[0])); s.value = arguments[0];", MISSING)
        _, _, png = self.canvas()
        before = all_jobs()
        logged_before = len(self.service.output())
        outcome = self.print_and_wait()
        self.driver.screenshot(os.path.join(self.shots, 'failed.png'))
        # The page named the printer exactly, characters that need encoding included.
        self.assertIn(('printName = ' + MISSING).encode(), self.service.output()[logged_before:])
        query = '?printName=' + urllib.parse.quote(MISSING, safe='')
        _, _, data = ks.request('POST', '/klapi/PrintImage' + query,
                                body=b'data:image/png;base64,' + base64.b64encode(png),
                                headers={'Content-Type': 'text/plain'})
        answer = json.loads(data)
        self.assertEqual(answer['statusCode'], '10002')
        self.assertEqual(outcome, {'status': 'failed', 'text': 'Print failed: ' + answer['resultInfo']})
        time.sleep(0.5)
        self.assertEqual(all_jobs() - before, set())

        # Choosing it asks for its resolution, which fails: nothing to print.
        self.driver.script("document.getElementById('printers')"
                           ".dispatchEvent(new Event('change'))")
        shown = self.wait_for("const r = document.getElementById('resolution');"
                              " return r.dataset.state === 'failed' ? r.textContent : null")
        _, _, data = ks.request('POST', '/klapi/GetPrinterResolution' + query)
        answer = json.loads(data)
        self.assertEqual(answer['statusCode'], '10002')
        self.assertEqual(shown, 'unknown: ' + answer['resultInfo'])
        self.assertTrue(self.driver.script("return document.getElementById('print').disabled"))
        self.assertEqual(self.canvas()[:2], (0, 0))


if __name__ == '__main__':
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
