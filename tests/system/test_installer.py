"""The MSI package in a fresh Wine prefix: a silent install with every queue
property, the tray program answering, a simulated printer getting its queue from
the installed service, an upgrade to the same sources with the patch version
raised, a refused downgrade, and an uninstall that keeps the settings files.

The steps build on each other and run in order (test_1 ... test_7). Wine's
msiexec returns only the low 8 bits of its exit code, so every msiexec runs
through the exit_code launcher, which also keeps the command line exactly as
written."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import kelo_system as ks

SERVICE = 'USB Printer Service KELO'
DRIVER = 'Kelo Label Driver'
TEMPLATE_KEY = 'HKLM\\SOFTWARE\\USB Printer Service KELO'
SETTINGS_KEY = 'HKLM\\Software\\KELO'
RUN_KEY = 'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run'
UNINSTALL_KEYS = ('HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall',
                  'HKLM\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall')
PRODUCT = 'KELO Label Printing Agent'
RUNNING, STOPPED = 4, 1
BLOCK = bytes([8, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 0]) + bytes(20)
PRINTER = '7&msi1&0&2'


def version_parts(version):
    major, minor, patch = (int(p) for p in version.split('.'))
    return major, minor, patch


class Installer(unittest.TestCase):
    timings = {}

    @classmethod
    def setUpClass(cls):
        for variable in ('KELO_PACKAGE', 'KELO_PACKAGE_BUILDER', 'KELO_VERSION', 'KELO_EXIT_CODE_EXE',
                         'KELO_USB_SIM_EXE', 'KELO_SERVICE_PROBE_EXE', 'KELO_PRINT_SERVICE_EXE',
                         'KELO_USB_SERVICE_EXE', 'KELO_TRAY_CLOSE_EXE'):
            if not os.environ.get(variable):
                raise RuntimeError(variable + ' is not set')
        if ks.port_open():
            raise RuntimeError('something already listens on 127.0.0.1:6780')
        cls.work = tempfile.mkdtemp(prefix='kelo-msi-', dir=os.environ.get('KELO_TEST_RUN'))
        cls.version = os.environ['KELO_VERSION']
        major, minor, patch = version_parts(cls.version)
        cls.next_version = '%d.%d.%d' % (major, minor, patch + 1)
        cls.package = os.environ['KELO_PACKAGE']
        # The same programs, packaged with the patch version raised.
        cls.next_package = os.path.join(cls.work, 'KeloSetup-%s.msi' % cls.next_version)
        subprocess.run(['bash', os.environ['KELO_PACKAGE_BUILDER'], cls.next_package, cls.next_version,
                        os.environ['KELO_PRINT_SERVICE_EXE'], os.environ['KELO_USB_SERVICE_EXE'],
                        os.environ['KELO_TRAY_CLOSE_EXE']], check=True, capture_output=True)
        cls.env = dict(os.environ)
        cls.env['WINEPREFIX'] = os.path.join(cls.work, 'prefix')
        cls.trays = []
        try:
            cls.make_prefix()
        except BaseException:
            cls.tearDownClass()  # unittest skips it when setUpClass fails: the prefix's server must still end
            raise

    @classmethod
    def tearDownClass(cls):
        for tray in cls.trays:
            tray.stop()
        cls.wine('wineserver', '-k')
        shutil.rmtree(cls.work, ignore_errors=True)
        for key, value in sorted(cls.timings.items()):
            print('%s: %.2f s' % (key, value), file=sys.stderr)

    @classmethod
    def wine(cls, *args, timeout=120, env=None):
        """Runs a command in the test's prefix. Its output goes through files, not
        pipes: a Wine process it starts (the service manager after a restart, the
        tray program) inherits them and would hold a pipe open past the command."""
        run_env = dict(cls.env)
        run_env.update(env or {})
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run(list(args), stdout=out, stderr=err, timeout=timeout, env=run_env,
                                  stdin=subprocess.DEVNULL).returncode
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(args, code, out.read().decode('utf-8', 'replace'),
                                               err.read().decode('utf-8', 'replace'))

    @classmethod
    def make_prefix(cls):
        # As the harness does: a server first, one clean restart after the first boot.
        subprocess.Popen(['wineserver', '-p'], env=cls.env, stderr=subprocess.DEVNULL,
                         stdin=subprocess.DEVNULL).wait(30)
        cls.wine('wineboot', '-i', timeout=300)
        cls.wine('wineserver', '-k')
        cls.wine('wineserver', '-w')
        subprocess.Popen(['wineserver', '-p'], env=cls.env, stderr=subprocess.DEVNULL,
                         stdin=subprocess.DEVNULL).wait(30)
        cls.reg('add', 'HKCU\\Software\\Wine\\X11 Driver', '/v', 'Managed', '/t', 'REG_SZ', '/d', 'N', '/f')
        probe = cls.probe('driver', DRIVER)
        assert probe.returncode == 0, 'the label driver in the fresh prefix: ' + probe.stdout + probe.stderr

    @classmethod
    def reg(cls, *args):
        return cls.wine('wine', 'reg', *args)

    @classmethod
    def probe(cls, *args, timeout=60):
        return cls.wine('wine', os.environ['KELO_SERVICE_PROBE_EXE'], *args, timeout=timeout)

    @classmethod
    def value(cls, key, name):
        """A REG_SZ value as reg.exe shows it, or None when it is missing."""
        pattern = re.compile(r'^\s*' + re.escape(name) + r'\s+REG_\w+\s*(.*?)\s*$')
        for line in cls.reg('query', key, '/v', name).stdout.splitlines():
            match = pattern.match(line)
            if match:
                return match.group(1)
        return None

    @staticmethod
    def property_of(package, name):
        out = subprocess.run(['msiinfo', 'export', package, 'Property'], capture_output=True, text=True,
                             check=True).stdout
        for line in out.splitlines():
            key, _, value = line.rstrip('\r').partition('\t')
            if key == name:
                return value
        raise AssertionError('%s has no property %s' % (package, name))

    @classmethod
    def windows_path(cls, unix_path):
        return cls.wine('winepath', '-w', unix_path).stdout.strip()

    @classmethod
    def unix_path(cls, windows_path):
        return cls.wine('winepath', '-u', windows_path).stdout.strip()

    @classmethod
    def msiexec(cls, arguments, label):
        log = os.path.join(cls.work, label + '.log')
        command = 'msiexec %s /qn /l*v "%s"' % (arguments, cls.windows_path(log))
        started = time.monotonic()
        result = cls.wine('wine', os.environ['KELO_EXIT_CODE_EXE'], timeout=300, env={'KELO_COMMAND_LINE': command})
        cls.timings[label] = time.monotonic() - started
        match = re.search(r'exit=(\d+)', result.stdout)
        assert match, 'no exit code from %s: %s %s' % (command, result.stdout, result.stderr)
        return int(match.group(1)), log

    def status(self):
        return dict((k, int(v, 0)) for k, v in re.findall(r'(\w+)=(\w+)', self.probe('query', SERVICE).stdout))

    def program_dir(self):
        return self.unix_path('C:\\Program Files (x86)\\KELO')

    def arp_entries(self):
        """Our Add/Remove Programs entries by product code, in whichever view Wine
        put them (the 32-bit reg.exe sees Wow6432Node under both names)."""
        entries = {}
        for root in UNINSTALL_KEYS:
            for line in self.reg('query', root).stdout.splitlines():
                key = line.strip()
                if not key.upper().startswith('HKEY_LOCAL_MACHINE'):
                    continue
                if self.value(key, 'DisplayName') == PRODUCT:
                    entries[key.rsplit('\\', 1)[-1].upper()] = (self.value(key, 'DisplayVersion'),
                                                                 self.value(key, 'Publisher'))
        return sorted(entries.values())

    def prefix_processes(self, pattern):
        pids = []
        marker = ('WINEPREFIX=' + self.env['WINEPREFIX']).encode()
        for pid in subprocess.run(['pgrep', '-f', pattern], capture_output=True, text=True).stdout.split():
            try:
                with open('/proc/%s/environ' % pid, 'rb') as f:
                    if marker in f.read().split(b'\0'):
                        with open('/proc/%s/cmdline' % pid, 'rb') as c:
                            if b'flock' not in c.read():
                                pids.append(pid)
            except OSError:
                pass
        return pids

    def queues(self):
        out = self.probe('queues', DRIVER).stdout
        return sorted(line.split('|')[0] for line in out.splitlines() if line.strip())

    def restart_service(self):
        self.probe('control', SERVICE, '1')
        self.assertEqual(self.probe('wait', SERVICE, str(STOPPED), '30000').returncode, 0)
        self.wine('wine', 'net', 'start', SERVICE)
        self.assertEqual(self.probe('wait', SERVICE, str(RUNNING), '60000').returncode, 0)

    def test_1_silent_install_with_every_queue_property(self):
        code, log = self.msiexec('/i "%s" PRINTERNAME="Label Printer" DRIVERNAME="%s" PRINTERPORT=FILE: LAUNCHTRAY=0'
                                 % (self.windows_path(self.package), DRIVER), 'install')
        self.assertEqual(code, 0, log)

    def test_2_files_service_registry_and_entry_are_in_place(self):
        files = sorted(os.listdir(self.program_dir()))
        self.assertEqual(files, ['KeloPrintService.exe', 'KeloTrayClose.exe', 'KeloUsbService.exe'])
        self.assertEqual(self.probe('wait', SERVICE, str(RUNNING), '30000').returncode, 0)
        # Wine writes ImagePath unquoted: only what it names is compared.
        service_key = 'HKLM\\System\\CurrentControlSet\\Services\\' + SERVICE
        self.assertEqual(self.value(service_key, 'ImagePath').strip('"').lower(),
                         'c:\\program files (x86)\\kelo\\kelousbservice.exe')
        self.assertEqual(self.value(service_key, 'Start'), '0x2', 'automatic start')
        self.assertEqual(self.value(service_key, 'Type'), '0x10', 'own process')
        self.assertEqual(self.value(service_key, 'ErrorControl'), '0x1', 'error control normal')
        self.assertEqual(self.value(service_key, 'ObjectName'), 'LocalSystem')
        self.assertTrue(self.value(service_key, 'Description'))
        self.assertEqual(self.value(TEMPLATE_KEY, 'PrinterName'), 'Label Printer')
        self.assertEqual(self.value(TEMPLATE_KEY, 'DriverName'), DRIVER)
        self.assertEqual(self.value(TEMPLATE_KEY, 'PrinterPort'), 'FILE:')
        self.assertEqual(self.value(SETTINGS_KEY, 'Data Directory'), 'C:\\ProgramData\\KELO')
        self.assertTrue(os.path.isdir(self.unix_path('C:\\ProgramData\\KELO')))
        self.assertEqual(self.value(RUN_KEY, 'KeloPrintService'),
                         '"C:\\Program Files (x86)\\KELO\\KeloPrintService.exe"')
        self.assertEqual(self.arp_entries(), [(self.version, 'KELO')])

    def test_3_the_installed_tray_program_answers(self):
        self.assertEqual(self.prefix_processes(r'KeloPrintService\.exe'), [], 'LAUNCHTRAY=0 started none')
        exe = os.path.join(self.program_dir(), 'KeloPrintService.exe')
        tray = ks.WineProgram(exe, env=self.env)
        type(self).trays.append(tray)
        self.assertTrue(ks.wait_until(ks.port_open, 30), 'port 6780')
        status, _, body = ks.request('POST', '/klapi/GetPrinters', body=b'')
        self.assertEqual(status, 200)
        self.assertIn(b'"statusCode":\t"10001"', body)

    def test_4_a_plugged_printer_gets_its_queue_from_the_installed_service(self):
        sim = self.wine('wine', os.environ['KELO_USB_SIM_EXE'], 'plug', PRINTER, BLOCK.hex())
        self.assertEqual(sim.returncode, 0, sim.stderr)
        self.restart_service()  # Wine delivers no device events: the start-up pass sees it
        self.assertEqual(self.queues(), ['Label Printer'])
        self.assertTrue(os.path.exists(os.path.join(self.unix_path('C:\\ProgramData\\KELO'), 'Label Printer.ini')))

    def test_5_upgrade_keeps_the_template_and_restarts_both_programs(self):
        service_before = self.prefix_processes(r'KeloUsbService\.exe')
        tray_before = self.prefix_processes(r'KeloPrintService\.exe')
        self.assertTrue(tray_before, 'the tray program runs before the upgrade')
        # One value given anew; the others come from the installed version.
        code, log = self.msiexec('/i "%s" PRINTERPORT=LPT1:' % self.windows_path(self.next_package), 'upgrade')
        self.assertEqual(code, 0, log)
        self.assertEqual(self.arp_entries(), [(self.next_version, 'KELO')])
        self.assertEqual(self.value(TEMPLATE_KEY, 'PrinterName'), 'Label Printer')
        self.assertEqual(self.value(TEMPLATE_KEY, 'DriverName'), DRIVER)
        self.assertEqual(self.value(TEMPLATE_KEY, 'PrinterPort'), 'LPT1:')
        self.assertEqual(self.value(SETTINGS_KEY, 'Data Directory'), 'C:\\ProgramData\\KELO')
        self.assertEqual(self.probe('wait', SERVICE, str(RUNNING), '30000').returncode, 0)
        service_after = self.prefix_processes(r'KeloUsbService\.exe')
        self.assertEqual(len(service_after), 1)
        self.assertNotEqual(service_after, service_before, 'the service was stopped and started again')
        self.assertFalse(set(tray_before) & set(self.prefix_processes(r'KeloPrintService\.exe')),
                         'the old tray program was closed')
        # It ended through its window (Exit's way, exit code 0); a forced end gives 1.
        self.assertEqual(self.trays[0].wait(10), 0, 'closed gracefully, not forced')
        self.assertTrue(ks.wait_until(lambda: self.prefix_processes(r'KeloPrintService\.exe'), 20),
                        'the tray program was started again')
        self.assertTrue(ks.wait_until(ks.port_open, 30), 'and serves')

    def test_6_a_downgrade_is_refused(self):
        code, log = self.msiexec('/i "%s"' % self.windows_path(self.package), 'downgrade')
        self.assertEqual(code, 1603, log)
        self.assertEqual(self.arp_entries(), [(self.next_version, 'KELO')])

    def test_7_uninstall_removes_the_programs_and_keeps_the_settings(self):
        product_code = self.property_of(self.next_package, 'ProductCode')
        code, log = self.msiexec('/x %s' % product_code, 'uninstall')
        self.assertEqual(code, 0, log)
        self.assertNotEqual(self.status().get('state'), RUNNING)
        self.assertNotIn(SERVICE, self.wine('wine', 'sc', 'query', SERVICE).stdout.replace('SERVICE_NAME: ', ''))
        self.assertIsNone(self.value(RUN_KEY, 'KeloPrintService'))
        self.assertIsNone(self.value(TEMPLATE_KEY, 'PrinterName'))
        self.assertIsNone(self.value(TEMPLATE_KEY, 'DriverName'))
        self.assertIsNone(self.value(SETTINGS_KEY, 'Data Directory'))
        self.assertFalse(os.path.exists(self.program_dir()) and os.listdir(self.program_dir()))
        self.assertEqual(self.arp_entries(), [])
        self.assertTrue(os.path.exists(os.path.join(self.unix_path('C:\\ProgramData\\KELO'), 'Label Printer.ini')),
                        'the printers\' settings files stay')
        self.assertTrue(ks.wait_until(lambda: not self.prefix_processes(r'KeloPrintService\.exe'), 20),
                        'the tray program was closed')


if __name__ == '__main__':
    result = unittest.main(exit=False, verbosity=2, failfast=True).result
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
