"""KeloUsbService under Wine's service manager, with simulated USB label printers:
the start-up pass, pause and continue, stop, another service name, printers that
never answer (the pending reports of a long start-up pass, and a stop during it),
and a start outside the service manager.

Wine delivers no device notifications to services, and opens a renamed queue only
by its old name, so only the start-up pass is checked here; the worker that runs
device-event passes is tested natively."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import kelo_system as ks

DEFAULT_NAME = 'USB Printer Service KELO'
OTHER_NAME = 'Kelo Label Printer Service Under Another Name'  # longer than 27 characters
DRIVER = 'Kelo Label Driver'
SETTINGS_KEY = r'HKLM\Software\KELO'
RUNNING, STOP_PENDING, START_PENDING, STOPPED = 4, 3, 2, 1
READ_TIMEOUT = 2.0  # s, the bus's limit for one configuration read

# State 8 (enabled); print type 3, thickness 4, speed 5, resolution class 2 in bytes 8 to 11.
BLOCK = bytes([8, 0, 0, 0, 0, 0, 0, 0, 3, 4, 5, 2]) + bytes(range(100, 120))
PRINTER = '7&svc1&0&2'
SILENT_PRINTER = '7&svc2&0&2'  # sorts after PRINTER: the working printer stays device 0
TEN_SILENT = ['7&svq%02d&0&2' % i for i in range(10)]


def wine(*args, timeout=60):
    return subprocess.run(['wine', *args], capture_output=True, text=True, timeout=timeout)


def probe(*args, timeout=60):
    return wine(os.environ['KELO_SERVICE_PROBE_EXE'], *args, timeout=timeout)


def sim(*args):
    return wine(os.environ['KELO_USB_SIM_EXE'], *args)


def reg(*args):
    return wine('reg', *args)


def parse_status(text):
    fields = dict(re.findall(r'(\w+)=(\w+)', text))
    return {k: int(v, 0) for k, v in fields.items()}


def status(service):
    return parse_status(probe('query', service).stdout)


def watch(service, state, timeout_ms):
    """Every change of state, checkpoint and wait hint until the state is reached."""
    result = probe('watch', service, str(state), str(timeout_ms), timeout=timeout_ms / 1000 + 30)
    seen = [parse_status(line) for line in result.stdout.splitlines() if line.startswith('t=')]
    return result.returncode, [{k: v for k, v in s.items() if k != 't'} for s in seen]


def queues():
    out = probe('queues', DRIVER).stdout
    return {name: (int(attributes), int(state))
            for name, attributes, state in (line.strip().split('|') for line in out.splitlines() if line.strip())}


def prefix_processes(pattern):
    # Only this prefix's: another command line that merely names the program does not count.
    prefix = 'WINEPREFIX=' + os.environ.get('WINEPREFIX', '')
    pids = []
    for pid in subprocess.run(['pgrep', '-f', pattern], capture_output=True, text=True).stdout.split():
        try:
            with open('/proc/%s/environ' % pid, 'rb') as f:
                if prefix.encode() in f.read().split(b'\0'):
                    pids.append(pid)
        except OSError:
            pass
    return pids


def service_processes():
    return prefix_processes(r'KeloUsbService\.exe')


def service_managers():
    # services.exe of this prefix; two of them answer in turn and lose services.
    return len(prefix_processes(r'services\.exe'))


def set_template(service, base_name):
    key = 'HKLM\\Software\\' + service
    for value, data in (('PrinterName', base_name), ('DriverName', DRIVER), ('PrinterPort', 'FILE:')):
        assert reg('add', key, '/v', value, '/t', 'REG_SZ', '/d', data, '/f').returncode == 0


def delete_maker_queues():
    # A queue renamed under Wine still opens only by the name it was born with.
    names = list(queues())
    for base in ('KeloUsbTest', 'KeloUsbOther'):
        names += [base, base + ' #0', base + ' #1']
    probe('delete', *names)


class UsbServiceUnderTheServiceManager(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for variable in ('KELO_USB_SERVICE_EXE', 'KELO_USB_SIM_EXE', 'KELO_SERVICE_PROBE_EXE'):
            if not os.environ.get(variable):
                raise RuntimeError(variable + ' is not set')
        cls.exe_win = subprocess.run(['winepath', '-w', os.environ['KELO_USB_SERVICE_EXE']], capture_output=True,
                                     text=True).stdout.strip()
        assert probe('driver', DRIVER).returncode == 0, 'the driver of our own queues'
        assert service_managers() == 1, 'one service manager in the prefix, not %d' % service_managers()
        cls.silent = None
        cls.cleanup_services()
        delete_maker_queues()
        cls.previous_directory = cls.data_directory()
        cls.unix_dir = tempfile.mkdtemp(prefix='kelo-usb-data-', dir=os.environ.get('KELO_TEST_RUN'))
        cls.win_dir = subprocess.run(['winepath', '-w', cls.unix_dir], capture_output=True, text=True).stdout.strip()
        assert reg('add', SETTINGS_KEY, '/v', 'Data Directory', '/t', 'REG_SZ', '/d', cls.win_dir, '/f').returncode == 0
        set_template(DEFAULT_NAME, 'KeloUsbTest')
        set_template(OTHER_NAME, 'KeloUsbOther')
        assert sim('plug', PRINTER, BLOCK.hex()).returncode == 0

    @classmethod
    def tearDownClass(cls):
        cls.stop_silent_printer()
        cls.cleanup_services()
        sim('remove', PRINTER)
        sim('remove', SILENT_PRINTER)
        for instance in TEN_SILENT:
            sim('remove', instance)
        delete_maker_queues()
        for service in (DEFAULT_NAME, OTHER_NAME):
            reg('delete', 'HKLM\\Software\\' + service, '/f')
        if cls.previous_directory is None:
            reg('delete', SETTINGS_KEY, '/v', 'Data Directory', '/f')
        else:
            reg('add', SETTINGS_KEY, '/v', 'Data Directory', '/t', 'REG_SZ', '/d', cls.previous_directory, '/f')
        shutil.rmtree(cls.unix_dir, ignore_errors=True)

    @staticmethod
    def data_directory():
        for line in reg('query', SETTINGS_KEY, '/v', 'Data Directory').stdout.splitlines():
            if 'Data Directory' in line:
                return line.split('REG_SZ', 1)[1].strip()
        return None

    @classmethod
    def cleanup_services(cls):
        for service in (DEFAULT_NAME, OTHER_NAME):
            if status(service).get('state', STOPPED) != STOPPED:
                probe('control', service, '1')
                probe('wait', service, str(STOPPED), '10000')
            wine('sc', 'delete', service)

    @classmethod
    def start_silent_printers(cls, *instances):
        cls.silent = subprocess.Popen(['wine', os.environ['KELO_USB_SIM_EXE'], 'silent', *instances],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert cls.silent.stdout.readline().strip() == b'ready'

    @classmethod
    def stop_silent_printer(cls):
        if cls.silent is not None:
            cls.silent.stdin.close()
            cls.silent.stdout.close()
            try:
                cls.silent.wait(10)
            except subprocess.TimeoutExpired:
                cls.silent.kill()
                cls.silent.wait(10)
            cls.silent = None

    def install(self, service):
        result = wine('sc', 'create', service, 'binPath=', self.exe_win)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.addCleanup(wine, 'sc', 'delete', service)

    def start(self, service):
        started = time.monotonic()
        net = wine('net', 'start', service, timeout=120)
        running = probe('wait', service, str(RUNNING), '30000')
        self.assertEqual(running.returncode, 0, running.stdout + net.stdout + net.stderr)
        return time.monotonic() - started

    def stop(self, service):
        answer = parse_status(probe('control', service, '1').stdout)
        self.assertEqual(answer.get('state'), STOP_PENDING, 'reported before the stop event is signalled')
        stopped = probe('wait', service, str(STOPPED), '15000')
        self.assertEqual(stopped.returncode, 0, stopped.stdout)
        final = parse_status(stopped.stdout)
        self.assertEqual((final['exit'], final['specific']), (0, 0))
        self.assertTrue(ks.wait_until(lambda: not service_processes(), 10), 'the service process ends')

    def file(self, name):
        with open(os.path.join(self.unix_dir, name), 'rb') as f:
            return f.read()

    def test_a_started_outside_the_service_manager_it_exits_0_and_touches_no_queue(self):
        self.assertEqual(queues(), {})
        result = subprocess.run(['wine', os.environ['KELO_USB_SERVICE_EXE']], capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(queues(), {}, 'a printer is plugged in and the template is set, yet no queue may appear')
        self.assertFalse(os.path.exists(os.path.join(self.unix_dir, 'sync_log.txt')))

    def test_b_start_up_pass_then_pause_continue_and_stop(self):
        self.install(DEFAULT_NAME)
        self.start(DEFAULT_NAME)
        running = status(DEFAULT_NAME)
        self.assertEqual(running, {'state': RUNNING, 'exit': 0, 'specific': 0, 'controls': 3, 'type': 0x10,
                                   'checkpoint': 0, 'hint': 0})

        # Born as "KeloUsbTest #0" with Position 1, renamed to the base name, online.
        self.assertEqual(list(queues()), ['KeloUsbTest'])
        self.assertEqual(queues()['KeloUsbTest'][0] & 0x400, 0)
        self.assertEqual(self.file('KeloUsbTest.ini'),
                         b'[Print Settings]\r\nPrinttype=3\r\nThickness=4\r\nSpeed=5\r\nResolution=306\r\nRotation=0\r\n')
        self.assertEqual(self.file('KeloUsbTest.bin'), (BLOCK + bytes(63))[:63])
        self.assertIn(b'  printer : KeloUsbTest\r\n', self.file('sync_log.txt'))

        for control in ('2', '3', '128'):  # pause, continue, one the handler ignores
            answer = probe('control', DEFAULT_NAME, control)
            self.assertEqual(answer.returncode, 0, answer.stdout)
            self.assertEqual(parse_status(answer.stdout)['state'], RUNNING, 'control %s' % control)
        self.assertEqual(status(DEFAULT_NAME)['state'], RUNNING)
        self.stop(DEFAULT_NAME)

    def test_c_under_another_name_it_reads_the_template_of_that_name(self):
        delete_maker_queues()
        self.install(OTHER_NAME)
        self.start(OTHER_NAME)  # the handler is registered under the whole name, or no status ever comes
        self.assertEqual(list(queues()), ['KeloUsbOther'])
        self.assertIn(b'  printer : KeloUsbOther\r\n', self.file('sync_log.txt'))
        self.stop(OTHER_NAME)

    def test_d_a_printer_that_never_answers_does_not_hold_the_start(self):
        delete_maker_queues()
        self.start_silent_printers(SILENT_PRINTER)
        self.install(DEFAULT_NAME)
        elapsed = self.start(DEFAULT_NAME)
        print('start with a silent printer: %.2f s to RUNNING' % elapsed, file=sys.stderr)
        # Each read of the silent printer gives up after 2 s; the pass reads it once.
        self.assertGreater(elapsed, 1.8, 'the silent printer was read')
        self.assertLess(elapsed, 10)
        self.assertEqual(list(queues()), ['KeloUsbTest'], 'one enabled printer, one queue')
        self.stop(DEFAULT_NAME)
        self.stop_silent_printer()

    def assert_rising_pending(self, seen, state, what):
        pending = [s for s in seen if s['state'] == state]
        self.assertGreaterEqual(len(pending), 3, '%s: several reports while the pass runs: %s' % (what, seen))
        checkpoints = [s['checkpoint'] for s in pending]
        self.assertEqual(checkpoints, sorted(set(checkpoints)), '%s: checkpoints rise' % what)
        self.assertGreater(checkpoints[0], 0, what)
        self.assertTrue(all(s['hint'] > 0 for s in pending), '%s: with a wait hint' % what)

    def test_e_ten_silent_printers_the_start_reports_progress_and_a_stop_waits_for_the_pass(self):
        # The queue of an earlier printer exists, paired with the first of ten printers that hang.
        delete_maker_queues()
        self.install(DEFAULT_NAME)
        self.start(DEFAULT_NAME)
        self.stop(DEFAULT_NAME)
        self.assertEqual(list(queues()), ['KeloUsbTest'])
        for instance in (PRINTER, SILENT_PRINTER):
            sim('remove', instance)
        self.addCleanup(sim, 'plug', PRINTER, BLOCK.hex())
        self.start_silent_printers(*TEN_SILENT)
        self.addCleanup(self.stop_silent_printer)

        started = time.monotonic()
        self.assertEqual(probe('start', DEFAULT_NAME).returncode, 0)
        code, seen = watch(DEFAULT_NAME, RUNNING, 90000)
        elapsed = time.monotonic() - started
        print('start with ten silent printers: %.2f s to RUNNING' % elapsed, file=sys.stderr)
        self.assertEqual(code, 0, seen)
        self.assertEqual(seen[-1], {'state': RUNNING, 'exit': 0, 'specific': 0, 'controls': 3, 'type': 0x10,
                                    'checkpoint': 0, 'hint': 0})
        self.assert_rising_pending(seen, START_PENDING, 'START_PENDING')
        # Each silent printer costs one timed-out read, none a second one.
        self.assertGreater(elapsed, 10 * READ_TIMEOUT - 1)
        self.assertLess(elapsed, 11 * READ_TIMEOUT + 8)
        self.assertEqual(list(queues()), ['KeloUsbTest'], 'the first queue always stays')
        self.stop(DEFAULT_NAME)

        # A stop while the start-up pass runs: STOP_PENDING at once, STOPPED once the pass ends.
        self.assertEqual(probe('start', DEFAULT_NAME).returncode, 0)
        self.assertTrue(ks.wait_until(lambda: status(DEFAULT_NAME).get('checkpoint', 0) >= 2, 15),
                        'the start-up pass under way')
        asked = time.monotonic()
        answer = parse_status(probe('control', DEFAULT_NAME, '1').stdout)
        answered = time.monotonic() - asked
        self.assertEqual(answer.get('state'), STOP_PENDING, answer)
        self.assertLess(answered, 3, 'the handler answers without waiting for the pass')
        code, seen = watch(DEFAULT_NAME, STOPPED, 90000)
        stopped = time.monotonic() - asked
        print('stop during the start-up pass: answered in %.2f s, STOPPED after %.2f s' % (answered, stopped),
              file=sys.stderr)
        self.assertEqual(code, 0, seen)
        self.assert_rising_pending(seen, STOP_PENDING, 'STOP_PENDING')
        self.assertNotIn(RUNNING, [s['state'] for s in seen])
        self.assertEqual((seen[-1]['exit'], seen[-1]['specific']), (0, 0))
        self.assertGreater(stopped, 3 * READ_TIMEOUT, 'the pass in progress ends first')
        self.assertTrue(ks.wait_until(lambda: not service_processes(), 10), 'the service process ends')


if __name__ == '__main__':
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
