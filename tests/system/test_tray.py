"""The tray icon and its menu under Xvfb, used as a person would: clicks on the
icon, pixels of the menu compared with a reference menu holding the expected texts."""
import http.client
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

import kelo_system as ks

EXE_CLASS = 'keloprintservice.exe'
REFERENCE_CLASS = 'reference_menu.exe'
ICON_BLUE = (27, 94, 170)  # the printer body of our icon

ROWS = {
    'english': ('KELO Print Service', 'Exit'),
    'chinese': ('KELO\u6253\u5370\u670d\u52a1', '\u9000\u51fa'),
    'german': ('KELO Druckdienst', 'Beenden'),
}


def x11(*args):
    return subprocess.run(list(args), capture_output=True, text=True, check=True).stdout


def viewable_windows(cls):
    """(id, x, y, w, h) of the mapped top-level windows of a Wine program."""
    found = []
    for line in x11('xwininfo', '-root', '-children').splitlines():
        m = re.match(r'\s*(0x[0-9a-f]+) .*\("([^"]*)" "[^"]*"\)\s+(\d+)x(\d+)\+(-?\d+)\+(-?\d+)', line)
        if not m or m.group(2).lower() != cls:
            continue
        wid = m.group(1)
        info = subprocess.run(['xwininfo', '-id', wid], capture_output=True, text=True).stdout
        if 'IsViewable' in info:
            w, h, x, y = (int(m.group(i)) for i in range(3, 7))
            found.append((wid, x, y, w, h))
    return found


def screenshot(path, window='root'):
    subprocess.run(['import', '-window', window, path], check=True, capture_output=True)
    return path


def find_icon(shot):
    """Centre of the icon's blue pixels on the screen, or None."""
    out = subprocess.run(['convert', shot, '-fill', 'black', '-fuzz', '6%', '+opaque',
                          'rgb(%d,%d,%d)' % ICON_BLUE, '-fill', 'white', '-opaque', 'rgb(%d,%d,%d)' % ICON_BLUE,
                          '-trim', 'info:'], capture_output=True, text=True).stdout
    m = re.search(r' (\d+)x(\d+) \d+x\d+\+(\d+)\+(\d+)', out)
    if not m:
        return None
    w, h, x, y = (int(v) for v in m.groups())
    if w > 40 or h > 40 or w < 3:
        return None  # not an icon-sized patch
    return x + w // 2, y + h // 2


def differing_pixels(a, b):
    res = subprocess.run(['compare', '-metric', 'AE', a, b, 'null:'], capture_output=True, text=True)
    text = res.stderr.strip().split()[0] if res.stderr.strip() else ''
    try:
        return int(float(text))
    except ValueError:
        return -1  # sizes differ


def click_elsewhere():
    subprocess.run(['xdotool', 'mousemove', '700', '500', 'click', '1'], check=True)


def hex_units(text):
    units = []
    for ch in text:
        code = ord(ch)
        if code > 0xFFFF:
            code -= 0x10000
            units += [0xD800 + (code >> 10), 0xDC00 + (code & 0x3FF)]
        else:
            units.append(code)
    return ','.join('%x' % u for u in units)


class Tray(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        ks.require_tools('xdotool', 'xwininfo', 'import', 'compare')
        cls.artifacts = ks.artifacts_dir()
        if ks.port_open():
            raise RuntimeError('something already listens on 127.0.0.1:6780')

    def setUp(self):
        self.programs = []
        self.shot_dir = os.path.join(self.artifacts, 'tray')
        os.makedirs(self.shot_dir, exist_ok=True)

    def tearDown(self):
        for p in self.programs:
            p.stop()
        subprocess.run(['xdotool', 'mousemove', '600', '600'], check=False)

    def start(self, lang):
        service = ks.start_print_service(lang=lang)
        self.programs.append(service)
        icon = ks.wait_until(lambda: find_icon(screenshot(os.path.join(self.shot_dir, 'probe.png'))), 20, 0.2)
        self.assertIsNotNone(icon, 'the tray icon never appeared')
        return service, icon

    def open_menu(self, icon):
        subprocess.run(['xdotool', 'mousemove', str(icon[0]), str(icon[1]), 'click', '1'], check=True)
        menus = ks.wait_until(lambda: [w for w in viewable_windows(EXE_CLASS) if (w[1], w[2]) == icon], 5)
        self.assertTrue(menus, 'no menu opened on a left click')
        time.sleep(0.3)  # let it paint
        return menus[0]

    def reference_menu(self, point, texts, lang, name):
        """Pixels of a popup menu with the expected texts, drawn by Wine at the same point."""
        ref = ks.WineProgram(os.environ['KELO_REFERENCE_MENU_EXE'],
                             [str(point[0]), str(point[1]), hex_units(texts[0]), hex_units(texts[1])], lang=lang)
        self.programs.append(ref)
        try:
            menus = ks.wait_until(lambda: viewable_windows(REFERENCE_CLASS), 15)
            self.assertTrue(menus, 'the reference menu did not open')
            time.sleep(0.3)
            path = screenshot(os.path.join(self.shot_dir, name), menus[0][0])
            click_elsewhere()
            self.assertEqual(ref.wait(10), 0)
            return path
        finally:
            ref.stop()

    def check_language(self, lang, row, other_row):
        service, icon = self.start(lang)
        tag = 'default' if lang.startswith('C.') else lang.split('.')[0]
        screenshot(os.path.join(self.shot_dir, 'icon-%s.png' % tag))

        # A right click opens nothing.
        subprocess.run(['xdotool', 'mousemove', str(icon[0]), str(icon[1]), 'click', '3'], check=True)
        time.sleep(1.0)
        self.assertEqual(viewable_windows(EXE_CLASS), [], 'a right click opened a window')

        menu = self.open_menu(icon)
        ours = screenshot(os.path.join(self.shot_dir, 'menu-%s.png' % tag), menu[0])
        screenshot(os.path.join(self.shot_dir, 'screen-menu-%s.png' % tag))
        click_elsewhere()
        self.assertTrue(ks.wait_until(lambda: viewable_windows(EXE_CLASS) == [], 5), 'a click elsewhere left the menu open')
        self.assertTrue(service.running())

        expected = self.reference_menu(icon, ROWS[row], lang, 'reference-%s.png' % tag)
        self.assertEqual(differing_pixels(ours, expected), 0, 'menu of %s differs from the %s row' % (lang, row))
        wrong = self.reference_menu(icon, ROWS[other_row], lang, 'wrong-%s.png' % tag)
        self.assertNotEqual(differing_pixels(ours, wrong), 0, 'the comparison cannot tell the rows apart')

        # The title item closes the menu and does nothing else.
        menu = self.open_menu(icon)
        _, mx, my, mw, mh = menu
        subprocess.run(['xdotool', 'mousemove', str(mx + mw // 2), str(my + 10), 'click', '1'], check=True)
        self.assertTrue(ks.wait_until(lambda: viewable_windows(EXE_CLASS) == [], 5))
        time.sleep(0.5)
        self.assertTrue(service.running())
        self.assertEqual(ks.request('POST', '/klapi/GetPrinters')[0], 200)
        return service, icon

    def exit_through_menu(self, service, icon):
        menu = self.open_menu(icon)
        _, mx, my, mw, mh = menu
        subprocess.run(['xdotool', 'mousemove', str(mx + mw // 2), str(my + mh - 10), 'click', '1'], check=True)
        code = service.wait(15)
        self.assertEqual(code, 0, 'Exit should end the process with code 0')
        shot = screenshot(os.path.join(self.shot_dir, 'after-exit.png'))
        self.assertIsNone(find_icon(shot), 'the icon is still shown after Exit')
        self.assertFalse(ks.port_open())

    def test_menu_follows_the_user_interface_language_and_exit_ends_the_program(self):
        # (LANG, expected row, another row the menu must not match); Italian is outside the table.
        for lang, row, other in (('C.UTF-8', 'english', 'german'), ('zh_CN.UTF-8', 'chinese', 'english'),
                                 ('de_DE.UTF-8', 'german', 'english'), ('it_IT.UTF-8', 'english', 'german')):
            with self.subTest(lang=lang):
                service, icon = self.check_language(lang, row, other)
                self.exit_through_menu(service, icon)

    def test_icon_comes_back_when_the_taskbar_is_recreated(self):
        service, icon = self.start('C.UTF-8')
        shell = os.environ['KELO_TRAY_SHELL_EXE']

        def run_shell(command):
            tool = ks.WineProgram(shell, [command])
            try:
                return tool.wait(15)
            finally:
                tool.stop()

        self.assertEqual(run_shell('forget'), 0)
        gone = ks.wait_until(lambda: find_icon(screenshot(os.path.join(self.shot_dir, 'probe.png'))) is None, 10)
        self.assertTrue(gone, 'the shell did not drop the icon')
        self.assertEqual(run_shell('restarted'), 0)
        back = ks.wait_until(lambda: find_icon(screenshot(os.path.join(self.shot_dir, 'probe.png'))), 10, 0.2)
        self.assertEqual(back, icon, 'the icon was not added again')
        self.assertTrue(service.running())
        self.exit_through_menu(service, icon)

    def test_exit_while_a_request_is_in_flight(self):
        service, icon = self.start('C.UTF-8')
        conn = http.client.HTTPConnection(ks.HOST, ks.PORT, timeout=30)
        conn.putrequest('POST', '/klapi/PrintImage')
        conn.putheader('Content-Type', 'text/plain')
        conn.putheader('Content-Length', '1000000')
        conn.endheaders()
        conn.send(b'data:image/png;base64,')  # the rest never comes
        time.sleep(0.5)
        try:
            self.exit_through_menu(service, icon)
        finally:
            conn.close()


if __name__ == '__main__':
    result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
