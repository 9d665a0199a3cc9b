"""End to end: settings files written by the store's own functions are what the
running KeloPrintService reads for the resolution of a queue."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import kelo_system as ks

KEY = r'HKLM\Software\KELO'


def reg(*args):
    return subprocess.run(['wine', 'reg', *args], capture_output=True, text=True)


def data_directory():
    out = reg('query', KEY, '/v', 'Data Directory')
    for line in out.stdout.splitlines():
        if 'Data Directory' in line:
            return line.split('REG_SZ', 1)[1].strip()
    return None


def resolution(name):
    status, _, data = ks.request('POST', '/klapi/GetPrinterResolution?printName=' + name)
    return status, json.loads(data)


class ResolutionFromTheSettingsStore(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if ks.port_open():
            raise RuntimeError('something already listens on 127.0.0.1:6780')
        cls.previous = data_directory()
        cls.unix_dir = tempfile.mkdtemp(prefix='kelo-data-', dir=os.environ.get('KELO_TEST_RUN'))
        cls.win_dir = subprocess.run(['winepath', '-w', cls.unix_dir], capture_output=True,
                                     text=True).stdout.strip()
        assert reg('add', KEY, '/v', 'Data Directory', '/t', 'REG_SZ', '/d', cls.win_dir, '/f').returncode == 0
        cls.service = ks.start_print_service()

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()
        if cls.previous is None:
            reg('delete', KEY, '/v', 'Data Directory', '/f')
        else:
            reg('add', KEY, '/v', 'Data Directory', '/t', 'REG_SZ', '/d', cls.previous, '/f')
        shutil.rmtree(cls.unix_dir, ignore_errors=True)

    def write_settings(self, queue, resolution_class):
        tool = ks.WineProgram(os.environ['KELO_STORE_WRITER_EXE'], [queue, '1', '2', '3', str(resolution_class)])
        try:
            self.assertEqual(tool.wait(30), 0)
        finally:
            tool.stop()
        self.assertTrue(os.path.exists(os.path.join(self.unix_dir, queue + '.ini')))
        self.assertEqual(os.path.getsize(os.path.join(self.unix_dir, queue + '.bin')), 63)

    def test_custom_resolution_from_the_store(self):
        status, before = resolution('KeloTest300')
        self.assertEqual(status, 200)
        self.assertEqual(before, {'resultInfo': {'xDPI': 300, 'yDPI': 300, 'physicalWidth': 600,
                                                 'physicalHeight': 900, 'printQuality': 300}})
        self.assertEqual(resolution('KeloNoSuchQueue')[1], {'statusCode': '10002', 'resultInfo': 'Failed to open printer'})

        self.write_settings('KeloTest300', 2)
        self.write_settings('KeloNoSuchQueue', 2)
        self.assertEqual(resolution('KeloTest300')[1], {'resultInfo': {
            'xDPI': 306, 'yDPI': 306, 'physicalWidth': 600, 'physicalHeight': 900, 'printQuality': 306}})
        self.assertEqual(resolution('KeloNoSuchQueue')[1], {'resultInfo': {
            'xDPI': 306, 'yDPI': 306, 'physicalWidth': 0, 'physicalHeight': 0, 'printQuality': 306}})
        with open(os.path.join(self.unix_dir, 'sync_log.txt'), 'rb') as f:
            self.assertTrue(f.read().startswith(b'SyncPrinterIni called\r\n  printer : KeloNoSuchQueue\r\n'))

    def test_names_that_are_paths_read_no_file(self):
        os.makedirs(os.path.join(self.unix_dir, 'sub'), exist_ok=True)
        with open(os.path.join(self.unix_dir, 'sub', 'x.ini'), 'w') as f:
            f.write('[Print Settings]\r\nResolution=306\r\n')
        status, answer = resolution('sub%5Cx')
        self.assertEqual(status, 200)
        self.assertEqual(answer, {'statusCode': '10002', 'resultInfo': 'Failed to open printer'})


if __name__ == '__main__':
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
