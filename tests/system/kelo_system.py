"""Starting the real programs under Wine and talking to them, for the system tests.

The environment comes from tests/harness/harness.sh (WINEPREFIX, DISPLAY, ...) and
from ctest (KELO_PRINT_SERVICE_EXE, KELO_REFERENCE_MENU_EXE)."""
import http.client
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

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


class WineProgram:
    """A Windows program started under Wine; owned by the test that started it."""

    def __init__(self, exe, args=(), lang=None, stdout_path=None, env=None):
        env = dict(env or os.environ)
        if lang:
            env['LANG'] = lang
            env['LC_ALL'] = lang
            env['LOCPATH'] = os.environ.get('KELO_LOCPATH', '')
        self.stdout_path = stdout_path or tempfile.mktemp(prefix='kelo-stdout-')
        self._stdout = open(self.stdout_path, 'wb')
        self.proc = subprocess.Popen(['wine', exe, *args], stdin=subprocess.DEVNULL, stdout=self._stdout,
                                     stderr=subprocess.DEVNULL, env=env, start_new_session=True)

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

    def stop(self):
        if self.running():
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait(10)
        self._stdout.close()
        if os.path.exists(self.stdout_path):
            os.unlink(self.stdout_path)


def start_print_service(lang=None, wait_for_port=True):
    exe = os.environ['KELO_PRINT_SERVICE_EXE']
    program = WineProgram(exe, lang=lang)
    if wait_for_port and not wait_until(port_open, 30):
        program.stop()
        raise RuntimeError('KeloPrintService did not start listening on %s:%d' % (HOST, PORT))
    return program


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
