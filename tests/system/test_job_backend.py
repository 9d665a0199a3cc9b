"""The simulated label printer: a job sent to a test queue lands as its own file, with its title."""
import os
import subprocess
import sys
import tempfile
import unittest

import kelo_system as ks


class JobBackend(unittest.TestCase):
    def test_each_job_lands_complete_in_its_own_file_with_its_title(self):
        job_dir = os.path.join(os.environ['KELO_JOB_DIR'], 'KeloTest203')
        before = set(os.listdir(job_dir)) if os.path.isdir(job_dir) else set()
        with tempfile.NamedTemporaryFile('w', suffix='.ps', delete=False) as f:
            f.write('%!PS-Adobe-3.0\n%%Pages: 1\n%%EndComments\n%%Page: 1 1\n'
                    '72 72 moveto 100 100 lineto stroke\n%% kelo-backend-marker\nshowpage\n%%EOF\n')
            path = f.name
        try:
            ids = []
            for title in ('kelo label', 'second job'):
                out = subprocess.run(['lp', '-d', 'KeloTest203', '-t', title, path],
                                     capture_output=True, text=True, check=True).stdout
                ids.append(out.split('KeloTest203-')[1].split()[0])
        finally:
            os.unlink(path)
        for job, title in zip(ids, ('kelo label', 'second job')):
            prn = os.path.join(job_dir, 'job-%s.prn' % job)
            self.assertTrue(ks.wait_until(lambda: os.path.exists(prn), 30), 'job %s never landed' % job)
            with open(prn, 'rb') as f:
                data = f.read()
            self.assertTrue(data.startswith(b'%!'), data[:40])
            self.assertIn(b'kelo-backend-marker', data)
            with open(os.path.join(job_dir, 'job-%s.title' % job)) as f:
                self.assertEqual(f.read(), title)
        after = set(os.listdir(job_dir)) - before
        self.assertFalse([n for n in after if n.endswith('.tmp')])
        for name in after:
            os.unlink(os.path.join(job_dir, name))


if __name__ == '__main__':
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
