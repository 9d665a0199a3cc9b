"""System tests: the agent serves only its own user. Callers and port holders of
another user are real processes of another uid (setpriv, as root), so these run
against the native agent; Wine names no owner for the programs outside it."""
import glob
import json
import os
import subprocess
import sys
import time
import unittest

import kelo_system as ks

OTHER_USER = ['setpriv', '--reuid=nobody', '--regid=nogroup', '--clear-groups']
OTHER_USER_TEXT = 'The label printing agent belongs to another user of this computer'

# Run as the other user: each API path once, the answers as JSON on stdout.
CALLER = r'''
import http.client, json
answers = []
for path in ("/klapi/GetPrinters", "/klapi/PrintImage?printName=KeloTest300",
             "/klapi/GetPrinterResolution?printName=KeloTest300"):
    c = http.client.HTTPConnection("127.0.0.1", 6780, timeout=10)
    c.request("POST", path, body=b"data:image/png;base64,iVBORw0KGgo=", headers={"Content-Type": "text/plain"})
    r = c.getresponse()
    answers.append({"path": path, "status": r.status, "headers": dict(r.getheaders()), "body": r.read().decode()})
print(json.dumps(answers))
'''

# Holds 127.0.0.1:6780 until killed.
HOLDER = r'''
import socket, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 6780))
s.listen(4)
print("holding", flush=True)
time.sleep(120)
'''


def as_other_user(script, **kwargs):
    return subprocess.Popen(OTHER_USER + [sys.executable, '-c', script], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, cwd='/', **kwargs)


@ks.only_for('native', 'Wine names no owner for callers outside it, and serves them')
@unittest.skipUnless(os.geteuid() == 0, 'a caller of another uid needs root to start')
class OtherUsers(unittest.TestCase):
    def test_a_caller_of_another_user_gets_the_refusal_and_nothing_is_done(self):
        if ks.port_open():
            raise RuntimeError('something already listens on 127.0.0.1:6780')
        service = ks.start_print_service()
        self.addCleanup(service.stop)
        jobs = set(glob.glob(os.path.join(os.environ['KELO_JOB_DIR'], '*', 'job-*')))
        caller = as_other_user(CALLER)
        out, err = caller.communicate(timeout=60)
        self.assertEqual(caller.returncode, 0, err)
        answers = json.loads(out)
        self.assertEqual(len(answers), 3)
        for answer in answers:
            with self.subTest(answer['path']):
                self.assertEqual(answer['status'], 200)
                for name, value in ks.CORS.items():
                    self.assertEqual(answer['headers'].get(name), value, name)
                self.assertEqual(json.loads(answer['body']), {'statusCode': '10002', 'resultInfo': OTHER_USER_TEXT})
        self.assertEqual(os.listdir(service.image_dir) if os.path.isdir(service.image_dir) else [], [],
                         'nothing stored')
        time.sleep(0.5)
        self.assertEqual(set(glob.glob(os.path.join(os.environ['KELO_JOB_DIR'], '*', 'job-*'))), jobs,
                         'nothing printed')
        # The agent's own user is served.
        status, _, body = ks.request('POST', '/klapi/GetPrinters')
        self.assertEqual(status, 200)
        self.assertEqual(json.loads(body)['statusCode'], '10001')

    def test_a_port_held_by_another_user_is_said_once_and_then_taken(self):
        if ks.port_open():
            raise RuntimeError('something already listens on 127.0.0.1:6780')
        holder = as_other_user(HOLDER)
        self.addCleanup(lambda: holder.poll() is None and holder.kill())
        self.assertEqual(holder.stdout.readline().strip(), 'holding', holder.stderr.read() if holder.poll() is not None else '')
        service = ks.start_print_service(wait_for_port=False)
        self.addCleanup(service.stop)
        line = b'127.0.0.1:6780 is held by a program of another user of this computer; trying again every 2 s'
        self.assertTrue(ks.wait_until(lambda: line in service.output(), 10), service.output()[-1000:])
        time.sleep(4.5)  # two more tries
        self.assertEqual(service.output().count(line), 1, service.output()[-1000:])
        self.assertNotIn(b'cannot be bound', service.output())
        holder.kill()
        holder.wait(10)
        self.assertTrue(ks.wait_until(ks.port_open, 10), 'the agent takes the port once it is free')
        status, _, body = ks.request('POST', '/klapi/GetPrinters')
        self.assertEqual(json.loads(body)['statusCode'], '10001')


if __name__ == '__main__':
    unittest.main()
