"""Starting the real programs and talking to them, for the system tests.

The agent under test is chosen by KELO_AGENT: wine (the default, KeloPrintService.exe
under Wine) or native (kelo-print-agent, at KELO_PRINT_AGENT). The environment comes
from tests/harness/harness.sh (cupsd and its queues, KELO_JOB_DIR; WINEPREFIX, DISPLAY,
... for Wine) and from ctest (KELO_PRINT_SERVICE_EXE, KELO_REFERENCE_MENU_EXE, ...)."""
import functools
import glob
import http.client
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

HOST = '127.0.0.1'
PORT = 6780
API = ('/klapi/GetPrinters', '/klapi/PrintImage', '/klapi/GetPrinterResolution')
CORS = {
    'Access-Control-Allow-Origin': '*',
    'Access-Control-Allow-Methods': 'GET, OPTIONS, POST, HEAD',
    'Access-Control-Allow-Headers': 'Origin, X-Requested-With, Content-Type, Accept',
}


def error_page(status):
    return "<p>Error Status: <span style='color:red;'>%d</span></p>" % status


def artifacts_dir():
    path = os.environ.get('KELO_ARTIFACTS') or tempfile.mkdtemp(prefix='kelo-artifacts-')
    os.makedirs(path, exist_ok=True)
    return path


def port_open(host=HOST, port=PORT, family=socket.AF_INET):
    try:
        with socket.socket(family, socket.SOCK_STREAM) as s:
            s.settimeout(0.5)
            s.connect((host, port))
            return True
    except OSError:
        return False


def wait_until(predicate, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return predicate()


class Program:
    """A process started by a test in a session of its own; owned by that test, which
    ends it by its id."""

    def __init__(self, argv, env=None, stdout_path=None, stderr=subprocess.DEVNULL):
        self.stdout_path = stdout_path or tempfile.mktemp(prefix='kelo-stdout-')
        self._stdout = open(self.stdout_path, 'wb')
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self._stdout, stderr=stderr,
                                     env=env, start_new_session=True)
        self.cleanups = []  # run once the process has ended
        self.exit_code = None

    @property
    def pid(self):
        return self.proc.pid

    def running(self):
        return self.proc.poll() is None

    def wait(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def output(self):
        self._stdout.flush()
        with open(self.stdout_path, 'rb') as f:
            return f.read()

    def end(self):
        os.kill(self.proc.pid, signal.SIGKILL)
        return self.proc.wait(10)

    def stop(self):
        """Ends the process if it still runs and removes what it was given; returns its exit code."""
        self.exit_code = self.end() if self.running() else self.proc.returncode
        self._stdout.close()
        if os.path.exists(self.stdout_path):
            os.unlink(self.stdout_path)
        while self.cleanups:
            self.cleanups.pop()()
        return self.exit_code


class WineProgram(Program):
    """A Windows program started under Wine."""

    def __init__(self, exe, args=(), lang=None, stdout_path=None, env=None):
        env = dict(env or os.environ)
        if lang:
            env['LANG'] = lang
            env['LC_ALL'] = lang
            env['LOCPATH'] = os.environ.get('KELO_LOCPATH', '')
        super().__init__(['wine', exe, *args], env, stdout_path)
        self.exe = exe

    @property
    def pid(self):
        """The process that runs the program. In a 64-bit prefix Wine starts a 32-bit
        program from start.exe, in a process of its own that is not its child."""
        pid = self.proc.pid
        try:
            with open('/proc/%d/comm' % pid) as f:
                if f.read().strip() != 'start.exe':
                    return pid
        except OSError:
            return pid
        name = os.path.basename(self.exe).encode()
        for entry in os.listdir('/proc'):
            if not entry.isdigit() or int(entry) == pid:
                continue
            try:
                with open('/proc/%s/cmdline' % entry, 'rb') as f:
                    cmdline = f.read()
            except OSError:
                continue
            if name in cmdline and b'start.exe' not in cmdline:
                return int(entry)
        return pid


class NativeProgram(Program):
    """The native agent; SIGTERM is its graceful stop."""

    def __init__(self, exe, env):
        # Its stderr (libcups, say) joins the diagnostic lines, in order.
        super().__init__([exe], env, stderr=subprocess.STDOUT)

    def end(self):
        os.kill(self.proc.pid, signal.SIGTERM)
        code = self.wait(10)
        return super().end() if code is None else code


def listening(program, wait_for_port, what):
    if wait_for_port and not wait_until(port_open, 30):
        output = program.output()[-2000:]
        program.stop()
        raise RuntimeError('%s did not start listening on %s:%d; it wrote %r' % (what, HOST, PORT, output))
    return program


def wine_reg(*args):
    return subprocess.run(['wine', 'reg', *args], capture_output=True, text=True)


class WineAgent:
    """KeloPrintService.exe under Wine, printing through Wine's spooler to CUPS."""
    kind = 'wine'
    # Landscape pages come out turned by -90 degrees (Wine's PostScript driver), on
    # the queue's default page size.
    page_turn = 90
    exact_page = False
    # The driver turns colours to grey by Rec. 601 luma.
    grey_by_ghostscript = False
    DATA_KEY = r'HKLM\Software\KELO'

    def start(self, lang=None, wait_for_port=True, data_dir=None):
        restore = self.use_data_dir(data_dir) if data_dir else None
        program = WineProgram(os.environ['KELO_PRINT_SERVICE_EXE'], lang=lang)
        if restore:
            program.cleanups.append(restore)
        program.image_dir = program_dir()
        return listening(program, wait_for_port, 'KeloPrintService')

    def use_data_dir(self, unix_dir):
        """Points the machine's settings at unix_dir; returns what puts the previous value back."""
        def current():
            for line in wine_reg('query', self.DATA_KEY, '/v', 'Data Directory').stdout.splitlines():
                if 'Data Directory' in line:
                    return line.split('REG_SZ', 1)[1].strip()
            return None

        def put(value):
            if value is None:
                wine_reg('delete', self.DATA_KEY, '/v', 'Data Directory', '/f')
            elif wine_reg('add', self.DATA_KEY, '/v', 'Data Directory', '/t', 'REG_SZ', '/d', value,
                          '/f').returncode != 0:
                raise RuntimeError('cannot set the data directory to ' + value)

        previous = current()
        put(subprocess.run(['winepath', '-w', unix_dir], capture_output=True, text=True).stdout.strip())
        return lambda: put(previous)

    def write_settings(self, data_dir, queue):
        """Settings that give the queue 306 dpi, written by the store's own functions."""
        tool = WineProgram(os.environ['KELO_STORE_WRITER_EXE'], [queue, '1', '2', '3', '2'])
        try:
            if tool.wait(30) != 0:
                raise AssertionError('store_writer failed for ' + queue)
        finally:
            tool.stop()
        if not os.path.exists(os.path.join(data_dir, queue + '.ini')):
            raise AssertionError('no %s.ini in %s' % (queue, data_dir))
        if os.path.getsize(os.path.join(data_dir, queue + '.bin')) != 63:
            raise AssertionError('%s.bin is not 63 bytes' % queue)
        with open(os.path.join(data_dir, 'sync_log.txt'), 'rb') as f:
            if not f.read().startswith(b'SyncPrinterIni called\r\n  printer : %s\r\n' % queue.encode()):
                raise AssertionError('sync_log.txt does not name ' + queue)

    def handles(self, program):
        out = subprocess.run(['wine', os.environ['KELO_PROCESS_PROBE_EXE'], 'KeloPrintService.exe'],
                             capture_output=True, text=True).stdout
        fields = dict(part.split('=') for part in out.split() if '=' in part)
        return int(fields.get('handles', '-1'))


class NativeAgent:
    """kelo-print-agent on Linux, printing through libcups."""
    kind = 'native'
    # Upright, and the page is exactly the image at the queue's dpi: no scaling,
    # centring or margins.
    page_turn = 0
    exact_page = True
    # The PDF keeps the image's colours; CUPS's filters turn them to grey for the
    # label queues with Ghostscript's colour management (sRGB to grey in linear light).
    grey_by_ghostscript = True

    def start(self, lang=None, wait_for_port=True, data_dir=None, runtime_dir=None):
        """Runtime and data directories not given are private ones, removed when it stops."""
        env = dict(os.environ)
        if lang:
            env['LANG'] = env['LC_ALL'] = lang
        own = []
        for var, given, prefix in (('XDG_RUNTIME_DIR', runtime_dir, 'kelo-xdg-'),
                                   ('KELO_DATA_DIR', data_dir, 'kelo-data-')):
            if given is None:
                given = tempfile.mkdtemp(prefix=prefix, dir=os.environ.get('KELO_TEST_RUN'))
                own.append(given)
            env[var] = given
        program = NativeProgram(os.environ['KELO_PRINT_AGENT'], env)
        program.cleanups += [functools.partial(shutil.rmtree, d, ignore_errors=True) for d in own]
        program.image_dir = os.path.join(env['XDG_RUNTIME_DIR'], 'kelo')
        return listening(program, wait_for_port, 'kelo-print-agent')

    def write_settings(self, data_dir, queue):
        """Settings that give the queue 306 dpi, as the USB service writes them."""
        with open(os.path.join(data_dir, queue + '.ini'), 'wb') as f:
            f.write(b'[Print Settings]\r\nResolution=306\r\n')

    def handles(self, program):
        return len(os.listdir('/proc/%d/fd' % program.pid))


def select_agent():
    agents = {'wine': WineAgent, 'native': NativeAgent}
    kind = os.environ.get('KELO_AGENT', 'wine')
    if kind not in agents:
        raise RuntimeError('KELO_AGENT is wine or native, not %r' % kind)
    return agents[kind]()


AGENT = select_agent()


def only_for(kind, why):
    """Runs a test (or class) only against that kind of agent."""
    return unittest.skipUnless(AGENT.kind == kind, 'only for the %s agent: %s' % (kind, why))


def start_print_service(lang=None, wait_for_port=True):
    return AGENT.start(lang=lang, wait_for_port=wait_for_port)


def program_dir():
    """The directory of KeloPrintService.exe, where it stores posted images."""
    return os.path.dirname(os.path.abspath(os.environ['KELO_PRINT_SERVICE_EXE']))


def request(method, path, body=None, headers=None, conn=None, timeout=15):
    """One request; returns (status, headers dict, body bytes)."""
    own = conn is None
    if own:
        conn = http.client.HTTPConnection(HOST, PORT, timeout=timeout)
    try:
        hdrs = dict(headers or {})
        if body is None and method == 'POST':
            body = b''  # a POST always says how long its body is
        conn.request(method, path, body=body, headers=hdrs)
        res = conn.getresponse()
        data = res.read()
        return res.status, {k: v for k, v in res.getheaders()}, data
    finally:
        if own:
            conn.close()


def cups_queues():
    out = subprocess.run(['lpstat', '-e'], capture_output=True, text=True, check=True).stdout
    return [line.strip() for line in out.splitlines() if line.strip()]


def require_tools(*tools):
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        raise RuntimeError('missing tools: ' + ', '.join(missing))


def private_bytes(pid):
    """The process's private memory (clean and dirty), from the kernel's summary."""
    total = 0
    with open('/proc/%d/smaps_rollup' % pid) as f:
        for line in f:
            if line.startswith(('Private_Clean:', 'Private_Dirty:')):
                total += int(line.split()[1]) * 1024
    return total


def listing_seconds(timeout=5):
    """Seconds until a listing on a new connection is answered 200; inf when it is not."""
    start = time.monotonic()
    try:
        status = request('POST', '/klapi/GetPrinters', timeout=timeout)[0]
    except OSError:
        return float('inf')
    return time.monotonic() - start if status == 200 else float('inf')


def descendants(pid):
    """Process ids below pid, nearest first, read from /proc."""
    found, queue = [], [pid]
    while queue:
        parent = queue.pop(0)
        for task in glob.glob('/proc/%d/task/*/children' % parent):
            try:
                with open(task) as f:
                    kids = [int(k) for k in f.read().split()]
            except OSError:
                continue
            found += kids
            queue += kids
    return found


def private_bytes_with_children(pid):
    """private_bytes of a process and of every process below it (a helper it started)."""
    total = private_bytes(pid)
    for child in descendants(pid):
        try:
            total += private_bytes(child)
        except OSError:
            pass  # ended meanwhile
    return total


class Watch:
    """While its block runs, samples the private memory of a process and its children
    and makes fresh listings one after another: .growth (peak bytes above the start),
    .listings (seconds each)."""

    def __init__(self, pid):
        self.pid = pid
        self.listings = []

    def __enter__(self):
        self.start = self.peak = private_bytes_with_children(self.pid)
        self._done = threading.Event()
        self._threads = [threading.Thread(target=self._sample), threading.Thread(target=self._list)]
        for t in self._threads:
            t.start()
        return self

    def __exit__(self, *_):
        self._done.set()
        for t in self._threads:
            t.join()

    def _sample(self):
        while not self._done.wait(0.02):
            try:
                self.peak = max(self.peak, private_bytes_with_children(self.pid))
            except OSError:  # the process has ended; the test sees that itself
                return

    def _list(self):
        while True:
            self.listings.append(listing_seconds())
            if self._done.wait(0.1):
                return

    @property
    def growth(self):
        return self.peak - self.start

    @property
    def worst(self):
        return max(self.listings, default=float('inf'))

    def summary(self):
        return '%d fresh listings, the slowest %.3f s; private memory +%.0f MiB at its peak' % (
            len(self.listings), self.worst, self.growth / 2**20)
