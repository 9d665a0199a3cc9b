"""End to end: a queue's settings file in the data directory (written by the store's
own functions for the Wine build) is what the running agent reads for the queue's
resolution."""
import json
import os
import shutil
import sys
import tempfile
import unittest

import kelo_system as ks


def resolution(name):
    status, _, data = ks.request('POST', '/klapi/GetPrinterResolution?printName=' + name)
    return status, json.loads(data)


class ResolutionFromTheSettingsStore(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if ks.port_open():
            raise RuntimeError('something already listens on 127.0.0.1:6780')
        cls.unix_dir = tempfile.mkdtemp(prefix='kelo-data-', dir=os.environ.get('KELO_TEST_RUN'))
        cls.service = ks.AGENT.start(data_dir=cls.unix_dir)

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()
        shutil.rmtree(cls.unix_dir, ignore_errors=True)

    def test_custom_resolution_from_the_store(self):
        status, before = resolution('KeloTest300')
        self.assertEqual(status, 200)
        self.assertEqual(before, {'resultInfo': {'xDPI': 300, 'yDPI': 300, 'physicalWidth': 600,
                                                 'physicalHeight': 900, 'printQuality': 300}})
        self.assertEqual(resolution('KeloNoSuchQueue')[1], {'statusCode': '10002', 'resultInfo': 'Failed to open printer'})

        ks.AGENT.write_settings(self.unix_dir, 'KeloTest300')
        ks.AGENT.write_settings(self.unix_dir, 'KeloNoSuchQueue')
        self.assertEqual(resolution('KeloTest300')[1], {'resultInfo': {
            'xDPI': 306, 'yDPI': 306, 'physicalWidth': 600, 'physicalHeight': 900, 'printQuality': 306}})
        self.assertEqual(resolution('KeloNoSuchQueue')[1], {'resultInfo': {
            'xDPI': 306, 'yDPI': 306, 'physicalWidth': 0, 'physicalHeight': 0, 'printQuality': 306}})

    def test_names_that_are_paths_read_no_file(self):
        os.makedirs(os.path.join(self.unix_dir, 'sub'), exist_ok=True)
        # A backslash is a plain character of a Linux file name: the native agent must not read it either.
        for path in (('sub', 'x.ini'), ('sub\\x.ini',)):
            with open(os.path.join(self.unix_dir, *path), 'w') as f:
                f.write('[Print Settings]\r\nResolution=306\r\n')
        for name in ('sub%5Cx', 'sub%2Fx'):
            with self.subTest(name=name):
                status, answer = resolution(name)
                self.assertEqual(status, 200)
                self.assertEqual(answer, {'statusCode': '10002', 'resultInfo': 'Failed to open printer'})


if __name__ == '__main__':
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
