"""Printing images posted as data URLs through the agent under test (KeloPrintService
under Wine with Wine's spooler, or the native agent with libcups) and CUPS; each job is
rendered back with Ghostscript and compared with its source."""
import base64
import concurrent.futures
import glob
import http.client
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

import kelo_system as ks

QUEUES = {'KeloTest203': 203, 'KeloTest300': 300}


def make_image(path, w=600, h=400, marks=(), extra=()):
    """A white image with a one-pixel black border, grey and black blocks, and a
    black square per mark (its index sets the position), so shifts and mix-ups show."""
    draw = ['-fill', 'none', '-stroke', 'black', '-draw', 'rectangle 0,0 %d,%d' % (w - 1, h - 1), '-stroke', 'none',
            '-fill', 'black', '-draw', 'rectangle 20,20 139,79', '-fill', 'rgb(128,128,128)',
            '-draw', 'rectangle 160,20 279,79', '-fill', 'rgb(200,40,40)', '-draw', 'rectangle 300,20 419,79']
    for m in marks:
        x = 20 + (m % 8) * 60
        y = 120 + (m // 8) * 60
        draw += ['-fill', 'black', '-draw', 'rectangle %d,%d %d,%d' % (x, y, x + 39, y + 39)]
    subprocess.run(['convert', '-size', '%dx%d' % (w, h), 'xc:white', *draw, *extra, path], check=True)
    return path


def gray_pixels(path, crop=None, rotate=0):
    """Grey levels (Rec. 601 luma, as the PostScript driver converts) of an image,
    flattened on white, as (width, height, bytes)."""
    args = ['convert', path, '-background', 'white', '-flatten']
    if rotate:
        args += ['-rotate', str(rotate)]
    if crop:
        args += ['-crop', '%dx%d+0+0' % crop, '+repage']
    args += ['-grayscale', 'Rec601Luma', '-depth', '8', 'pgm:-']
    data = subprocess.run(args, capture_output=True, check=True).stdout
    m = re.match(rb'P5\s+(\d+)\s+(\d+)\s+(\d+)\s', data)
    w, h = int(m.group(1)), int(m.group(2))
    return w, h, data[m.end():]


def expected_gray(path):
    """The grey levels an image must come out with on the agent's print path."""
    if not ks.AGENT.grey_by_ghostscript:
        return gray_pixels(path)
    # The image in DeviceRGB on a page of its size, rendered to grey by Ghostscript itself.
    w, h, _ = gray_pixels(path)
    rgb = subprocess.run(['convert', path, '-background', 'white', '-flatten', '-depth', '8', 'rgb:-'],
                         capture_output=True, check=True).stdout
    ps = (b'%%!PS\n<< /PageSize [%d %d] >> setpagedevice /DeviceRGB setcolorspace %d %d scale\n'
          b'<< /ImageType 1 /Width %d /Height %d /BitsPerComponent 8 /Decode [0 1 0 1 0 1]'
          b' /ImageMatrix [%d 0 0 -%d 0 %d] /DataSource currentfile /ASCIIHexDecode filter >> image\n'
          % (w, h, w, h, w, h, w, h, h)) + rgb.hex().encode() + b'>\nshowpage\n'
    with tempfile.NamedTemporaryFile(suffix='.png') as out:
        subprocess.run(['gs', '-q', '-dNOPAUSE', '-dBATCH', '-dSAFER', '-sDEVICE=pnggray', '-r72',
                        '-sOutputFile=' + out.name, '-'], input=ps, capture_output=True, check=True)
        return gray_pixels(out.name)


def difference(a, b):
    """(largest difference, pixels differing by more than 8 levels)."""
    if a[:2] != b[:2]:
        return 255, max(a[0] * a[1], b[0] * b[1])
    diffs = [abs(x - y) for x, y in zip(a[2], b[2])]
    return max(diffs), sum(1 for d in diffs if d > 8)


def label_pixels(test, page, size):
    """The grey levels of the label on a rendered page, upright."""
    pixels = gray_pixels(page, crop=size, rotate=ks.AGENT.page_turn)
    if ks.AGENT.exact_page:
        test.assertEqual(gray_pixels(page)[:2], size, 'the page is exactly the image: unscaled, no margins')
    return pixels


def job_files(queue):
    return set(glob.glob(os.path.join(os.environ['KELO_JOB_DIR'], queue, 'job-*.prn')))


def all_jobs():
    return set(glob.glob(os.path.join(os.environ['KELO_JOB_DIR'], '*', 'job-*.prn')))


def render(prn, dpi, out_png):
    subprocess.run(['gs', '-q', '-dNOPAUSE', '-dBATCH', '-dSAFER', '-sDEVICE=png16m', '-r%d' % dpi,
                    '-sOutputFile=' + out_png, prn], check=True, capture_output=True)
    return out_png


def data_url(path, media='image/png'):
    with open(path, 'rb') as f:
        return b'data:' + media.encode() + b';base64,' + base64.b64encode(f.read())


def post_print(body, query='', headers=None, timeout=60):
    status, hdrs, data = ks.request('POST', '/klapi/PrintImage' + query, body=body,
                                    headers=headers or {'Content-Type': 'text/plain'}, timeout=timeout)
    return status, hdrs, json.loads(data)


def wait_for_new_jobs(queue, before, count, timeout=30):
    return ks.wait_until(lambda: (job_files(queue) - before) if len(job_files(queue) - before) >= count else None,
                         timeout, 0.1) or set()


class PrintService(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if ks.port_open():
            raise RuntimeError('something already listens on 127.0.0.1:6780')
        cls.work = tempfile.mkdtemp(prefix='kelo-print-')
        cls.service = ks.start_print_service()
        cls.image_dir = cls.service.image_dir
        cls.stored_before = set(glob.glob(os.path.join(cls.image_dir, 'tempKL_*.JPG')))

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()
        for path in set(glob.glob(os.path.join(cls.image_dir, 'tempKL_*.JPG'))) - cls.stored_before:
            os.unlink(path)
        shutil.rmtree(cls.work, ignore_errors=True)

    def print_and_render(self, image, queue, media='image/png'):
        before = job_files(queue)
        status, _, answer = post_print(data_url(image, media), '?printName=' + queue)
        self.assertEqual(status, 200)
        self.assertEqual(answer, {'statusCode': '10001', 'resultInfo': 'hahah'})
        jobs = wait_for_new_jobs(queue, before, 1)
        self.assertEqual(len(jobs), 1, 'expected exactly one job on ' + queue)
        prn = jobs.pop()
        with open(prn[:-4] + '.title') as f:
            self.assertEqual(f.read(), 'kelo label')
        return render(prn, QUEUES[queue], os.path.join(self.work, os.path.basename(prn) + '.png'))

    def assertPrintedUnscaledAtTopLeft(self, page, source, tolerance_pixels=0):
        expected = expected_gray(source)
        printed = label_pixels(self, page, expected[:2])
        largest, over = difference(printed, expected)
        self.assertLessEqual(over, tolerance_pixels, 'largest difference %d' % largest)

    def test_png_and_jpeg_print_pixel_for_pixel_on_both_resolutions(self):
        png = make_image(os.path.join(self.work, 'label.png'))
        jpeg = make_image(os.path.join(self.work, 'label.jpg'), extra=['-quality', '95'])
        for queue in QUEUES:
            with self.subTest(queue=queue, format='png'):
                self.assertPrintedUnscaledAtTopLeft(self.print_and_render(png, queue), png)
            with self.subTest(queue=queue, format='jpeg'):
                # GDI+ and ImageMagick decode JPEG with slightly different rounding.
                self.assertPrintedUnscaledAtTopLeft(self.print_and_render(jpeg, queue, 'image/jpeg'), jpeg, 600)

    def test_png_with_alpha_prints_blended_on_white(self):
        alpha = os.path.join(self.work, 'alpha.png')
        subprocess.run(['convert', '-size', '300x200', 'xc:none', '-fill', 'rgba(0,0,0,0.5)',
                        '-draw', 'rectangle 20,20 149,99', '-fill', 'black', '-draw', 'rectangle 160,20 279,99',
                        'PNG32:' + alpha], check=True)
        page = self.print_and_render(alpha, 'KeloTest300')
        self.assertPrintedUnscaledAtTopLeft(page, alpha)
        _, _, pixels = label_pixels(self, page, (300, 200))
        self.assertTrue(120 <= pixels[50 * 300 + 80] <= 135, pixels[50 * 300 + 80])  # half black on white
        self.assertGreaterEqual(pixels[150 * 300 + 150], 250)  # transparent: white paper

    def test_stored_file_holds_exactly_the_decoded_bytes(self):
        image = make_image(os.path.join(self.work, 'stored.png'), marks=(3,))
        before = set(glob.glob(os.path.join(self.image_dir, 'tempKL_*.JPG')))
        self.print_and_render(image, 'KeloTest300')
        new = set(glob.glob(os.path.join(self.image_dir, 'tempKL_*.JPG'))) - before
        self.assertEqual(len(new), 1)
        stored = new.pop()
        self.assertRegex(os.path.basename(stored), r'^tempKL_[1-9]\d*_\d+\.JPG$')
        with open(stored, 'rb') as a, open(image, 'rb') as b:
            self.assertEqual(a.read(), b.read())

    def test_the_last_parameter_names_the_printer_and_none_means_kelo(self):
        image = make_image(os.path.join(self.work, 'q.png'))
        before = all_jobs()
        _, _, answer = post_print(data_url(image), '?printName=KeloTest300&zz=1')
        self.assertEqual(answer, {'statusCode': '10002', 'resultInfo': 'Failed to open printer'})
        time.sleep(0.5)
        self.assertEqual(all_jobs() - before, set())

        before = job_files('KELO')
        _, _, answer = post_print(data_url(image))
        self.assertEqual(answer['statusCode'], '10001')
        self.assertEqual(len(wait_for_new_jobs('KELO', before, 1)), 1)

    def test_bad_bodies_get_their_answers_print_nothing_and_the_server_goes_on(self):
        before = all_jobs()
        cases = [
            (b'', {'Content-Type': 'text/plain'}, 'Image data is required'),
            (b'iVBORw0KGgo', {'Content-Type': 'text/plain'}, 'Invalid data URL'),
            (b'--XyZ\r\nContent-Disposition: form-data; name="file"; filename="a.png"\r\n'
             b'Content-Type: image/png\r\n\r\n' + data_url(make_image(os.path.join(self.work, 'm.png'))) +
             b'\r\n--XyZ--\r\n', {'Content-Type': 'multipart/form-data; boundary=XyZ'},
             'Multipart upload is not supported'),
            # Formats beyond the four a page sends never reach a decoder.
            (b'data:image/tiff;base64,' + base64.b64encode(b'II*\x00\x08\x00\x00\x00' + bytes(64)),
             {'Content-Type': 'text/plain'}, 'Unsupported image format; send PNG, JPEG, GIF or BMP'),
            (b'data:image/png;base64,' + base64.b64encode(b'\x01\x00\x00\x00' + bytes(36) + b' EMF' + bytes(64)),
             {'Content-Type': 'text/plain'}, 'Unsupported image format; send PNG, JPEG, GIF or BMP'),
        ]
        for body, headers, text in cases:
            with self.subTest(text=text):
                status, _, answer = post_print(body, '?printName=KeloTest300', headers)
                self.assertEqual(status, 200)
                self.assertEqual(answer, {'statusCode': '10002', 'resultInfo': text})
                self.assertEqual(ks.request('POST', '/klapi/GetPrinters')[0], 200)
        # Longer than 64 MiB by its announced length: refused before it is read, and the connection closed.
        with socket.create_connection((ks.HOST, ks.PORT), timeout=10) as s:
            s.sendall(b'POST /klapi/PrintImage?printName=KeloTest300 HTTP/1.1\r\nHost: a\r\n'
                      b'Content-Type: text/plain\r\nContent-Length: %d\r\n\r\ndata:image/png;base64,AAAA' %
                      (64 * 1024 * 1024 + 23))
            answer = b''
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                answer += chunk
        self.assertTrue(answer.startswith(b'HTTP/1.1 413'), answer[:100])
        self.assertTrue(answer.endswith(ks.error_page(413).encode()), answer)
        self.assertEqual(ks.request('POST', '/klapi/GetPrinters')[0], 200)
        time.sleep(0.5)
        self.assertEqual(all_jobs() - before, set())

    def test_concurrent_prints_each_come_out_once_unmixed(self):
        sources = [make_image(os.path.join(self.work, 'c%d.png' % i), marks=(i, 8 + (i * 3) % 8)) for i in range(8)]
        before = job_files('KeloTest300')
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            answers = list(pool.map(lambda s: post_print(data_url(s), '?printName=KeloTest300')[2], sources))
        self.assertEqual(answers, [{'statusCode': '10001', 'resultInfo': 'hahah'}] * 8)
        jobs = wait_for_new_jobs('KeloTest300', before, 8)
        self.assertEqual(len(jobs), 8)
        expected = [expected_gray(s) for s in sources]
        matched = []
        for prn in sorted(jobs):
            page = render(prn, 300, os.path.join(self.work, os.path.basename(prn) + '.png'))
            printed = label_pixels(self, page, (600, 400))
            matched.append([i for i, e in enumerate(expected) if difference(printed, e)[1] == 0])
        self.assertEqual(sorted(m[0] for m in matched if len(m) == 1), list(range(8)), matched)


@ks.only_for('wine', 'the diagnostic lines in the system code page are a Windows matter')
class DiagnosticLines(unittest.TestCase):
    """The wide lines about the stored image, on a Chinese system and on one whose
    code page lacks their characters: whole lines with the path, never cut short."""

    def test_wide_lines_carry_the_stored_path_in_the_system_code_page(self):
        work = tempfile.mkdtemp(prefix='kelo-lines-')
        program_dir = ks.program_dir()
        stored_before = set(glob.glob(os.path.join(program_dir, 'tempKL_*.JPG')))
        try:
            image = make_image(os.path.join(work, 'line.png'), w=80, h=40)
            for lang, encoding, saved in (('zh_CN.UTF-8', 'gbk', '\u56fe\u7247\u6587\u4ef6\u5df2\u6210\u529f\u4fdd\u5b58\u5230: '),
                                          (None, 'cp1252', '??????????: ')):
                with self.subTest(lang=lang):
                    if ks.port_open():
                        self.fail('something already listens on 127.0.0.1:6780')
                    service = ks.start_print_service(lang=lang)
                    try:
                        _, _, answer = post_print(data_url(image), '?printName=KeloTest203')
                        self.assertEqual(answer, {'statusCode': '10001', 'resultInfo': 'hahah'})
                        text = service.output().decode(encoding)
                        self.assertRegex(text, re.escape(saved) + r'[A-Z]:\\[^\r\n]*tempKL_\d+_\d+\.JPG, ')
                        self.assertTrue(text.endswith('\n'), text[-200:])
                    finally:
                        service.stop()
                        ks.wait_until(lambda: not ks.port_open(), 10)
        finally:
            shutil.rmtree(work, ignore_errors=True)
            for path in set(glob.glob(os.path.join(program_dir, 'tempKL_*.JPG'))) - stored_before:
                os.unlink(path)


@ks.only_for('wine', 'the native agent stores images in its runtime directory, never beside the program')
class UnwritableProgramDirectory(unittest.TestCase):
    def test_image_is_stored_in_and_printed_from_the_temporary_directory(self):
        if ks.port_open():
            self.fail('something already listens on 127.0.0.1:6780')
        work = tempfile.mkdtemp(prefix='kelo-ro-', dir=os.environ.get('KELO_TEST_RUN'))
        program_dir = os.path.join(work, 'program')
        os.mkdir(program_dir)
        exe = os.path.join(program_dir, 'KeloPrintService.exe')
        shutil.copy(os.environ['KELO_PRINT_SERVICE_EXE'], exe)
        # Root writes anywhere; an immutable directory it cannot write.
        if subprocess.run(['chattr', '+i', program_dir], capture_output=True).returncode != 0:
            shutil.rmtree(work)
            self.skipTest('chattr +i is not supported on this file system')
        temp_dir = subprocess.run(['wine', 'cmd', '/c', 'echo %TEMP%'], capture_output=True, text=True).stdout.strip()
        unix_temp = subprocess.run(['winepath', '-u', temp_dir], capture_output=True, text=True).stdout.strip()
        before_temp = set(glob.glob(os.path.join(unix_temp, 'tempKL_*.JPG')))
        service = ks.WineProgram(exe)
        try:
            self.assertTrue(ks.wait_until(ks.port_open, 30))
            image = make_image(os.path.join(work, 'ro.png'), marks=(5,))
            before = job_files('KeloTest300')
            _, _, answer = post_print(data_url(image), '?printName=KeloTest300')
            self.assertEqual(answer, {'statusCode': '10001', 'resultInfo': 'hahah'})
            self.assertEqual(len(wait_for_new_jobs('KeloTest300', before, 1)), 1)
            stored = set(glob.glob(os.path.join(unix_temp, 'tempKL_*.JPG'))) - before_temp
            self.assertEqual(len(stored), 1, unix_temp)
            with open(stored.pop(), 'rb') as a, open(image, 'rb') as b:
                self.assertEqual(a.read(), b.read())
            self.assertEqual(os.listdir(program_dir), ['KeloPrintService.exe'])
        finally:
            service.stop()
            subprocess.run(['chattr', '-i', program_dir], check=False)
            shutil.rmtree(work, ignore_errors=True)
            for path in set(glob.glob(os.path.join(unix_temp, 'tempKL_*.JPG'))) - before_temp:
                os.unlink(path)


def symlink_to_ours(kelo, elsewhere):
    os.mkdir(elsewhere, 0o700)
    os.symlink(elsewhere, kelo)


def directory(mode, owner=None):
    def make(kelo, _):
        os.mkdir(kelo)
        os.chmod(kelo, mode)  # mkdir's mode passes through the umask
        if owner is not None:
            os.chown(kelo, owner, -1)
    return make


@ks.only_for('native', 'the Wine build stores images beside the program')
class RuntimeDirectory(unittest.TestCase):
    """The native agent stores images in $XDG_RUNTIME_DIR/kelo, a directory that it
    makes 0700 and uses only while it is its own and nobody else can write it."""
    # What kelo is before the agent starts, and whether the agent stores images in it.
    CASES = (
        ('absent', None, True),
        ('a directory of ours, 0700', directory(0o700), True),
        ('a symlink to a directory of ours', symlink_to_ours, False),
        ('owned by someone else', directory(0o700, owner=65534), False),
        ('group-writable', directory(0o720), False),
        ('world-writable', directory(0o702), False),
    )

    def test_images_are_stored_only_in_a_private_directory_of_its_own(self):
        work = tempfile.mkdtemp(prefix='kelo-runtime-', dir=os.environ.get('KELO_TEST_RUN'))
        try:
            image = make_image(os.path.join(work, 'rt.png'), w=120, h=80)
            for name, prepare, used in self.CASES:
                with self.subTest(kelo=name):
                    if ks.port_open():
                        self.fail('something already listens on 127.0.0.1:6780')
                    runtime = tempfile.mkdtemp(prefix='xdg-', dir=work)
                    kelo = os.path.join(runtime, 'kelo')
                    if prepare:
                        prepare(kelo, os.path.join(runtime, 'elsewhere'))
                    agent = ks.AGENT.start(runtime_dir=runtime)
                    try:
                        before = all_jobs()
                        _, _, answer = post_print(data_url(image), '?printName=KeloTest300')
                        if used:
                            self.assertEqual(answer, {'statusCode': '10001', 'resultInfo': 'hahah'})
                            self.assertEqual(len(wait_for_new_jobs('KeloTest300', before, 1)), 1)
                            info = os.lstat(kelo)
                            self.assertTrue(stat.S_ISDIR(info.st_mode))
                            self.assertEqual((stat.S_IMODE(info.st_mode), info.st_uid), (0o700, os.geteuid()))
                            stored = os.listdir(kelo)
                            self.assertEqual(len(stored), 1, stored)
                            with open(os.path.join(kelo, stored[0]), 'rb') as a, open(image, 'rb') as b:
                                self.assertEqual(a.read(), b.read())
                        else:
                            self.assertEqual(answer, {'statusCode': '10002', 'resultInfo': 'Failed to save image'})
                            # Through a link this lists the directory it points to.
                            self.assertEqual(os.listdir(kelo), [])
                            time.sleep(0.5)
                            self.assertEqual(all_jobs() - before, set())
                    finally:
                        agent.stop()
                        ks.wait_until(lambda: not ks.port_open(), 10)
        finally:
            shutil.rmtree(work, ignore_errors=True)


@ks.only_for('native', 'SIGTERM stops the native agent; the tray program is ended from its menu')
class GracefulStop(unittest.TestCase):
    def setUp(self):
        if ks.port_open():
            self.fail('something already listens on 127.0.0.1:6780')
        self.work = tempfile.mkdtemp(prefix='kelo-stop-')
        self.agent = ks.AGENT.start()

    def tearDown(self):
        self.agent.stop()
        shutil.rmtree(self.work, ignore_errors=True)

    def test_sigterm_when_idle_exits_0(self):
        os.kill(self.agent.pid, signal.SIGTERM)
        self.assertEqual(self.agent.wait(5), 0)
        self.assertFalse(ks.port_open())

    def test_sigterm_during_a_print_lets_it_finish_and_exits_0(self):
        body = data_url(make_image(os.path.join(self.work, 'stop.png'), marks=(6,)))
        before = job_files('KeloTest300')
        conn = http.client.HTTPConnection(ks.HOST, ks.PORT, timeout=30)
        try:
            conn.putrequest('POST', '/klapi/PrintImage?printName=KeloTest300')
            conn.putheader('Content-Type', 'text/plain')
            conn.putheader('Content-Length', str(len(body)))
            # Half the body is in when the signal comes; the rest follows.
            conn.endheaders(body[:len(body) // 2])
            time.sleep(0.3)
            os.kill(self.agent.pid, signal.SIGTERM)
            time.sleep(0.5)
            conn.send(body[len(body) // 2:])
            res = conn.getresponse()
            self.assertEqual(res.status, 200)
            self.assertEqual(json.loads(res.read()), {'statusCode': '10001', 'resultInfo': 'hahah'})
        finally:
            conn.close()
        self.assertEqual(self.agent.wait(10), 0)
        self.assertEqual(len(wait_for_new_jobs('KeloTest300', before, 1)), 1)


if __name__ == '__main__':
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
