#!/usr/bin/env python3
"""relcheck-host --report against a loopback HTTP server serving a temporary folder."""
import http.server
import os
import struct
import subprocess
import tempfile
import threading
import unittest

HOST = os.environ["RELCHECK_HOST"]
LIBRARY = os.environ["RELCHECK_LIBRARY"]


class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        self.server.requests.append((self.requestline, dict(self.headers)))
        super().do_GET()


class HostReport(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.tmp = tempfile.TemporaryDirectory()
        os.makedirs(os.path.join(self.folder.name, "software"))
        handler = lambda *a, **k: Handler(*a, directory=self.folder.name, **k)
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.server.requests = []
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.url = "http://127.0.0.1:%d/software/version.txt" % self.server.server_address[1]

    def tearDown(self):
        self.server.shutdown()
        self.server.server_close()
        # Qt puts its runtime folder here too; only the check's files count.
        left = [n for n in os.listdir(self.tmp.name) if n.startswith("XYZ")]
        self.assertEqual(left, [], "a temporary file was left")
        self.folder.cleanup()
        self.tmp.cleanup()

    def publish(self, data):
        with open(os.path.join(self.folder.name, "software", "version.txt"), "wb") as f:
            f.write(data)

    def report(self, *args, expect_rc=0):
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", TMPDIR=self.tmp.name)
        p = subprocess.run([HOST, "--report", LIBRARY, *args], capture_output=True, timeout=100, env=env)
        self.assertEqual(p.returncode, expect_rc, p.stderr.decode(errors="replace"))
        return p.stdout.decode("utf-8")

    def test_newer_version_with_everything(self):
        self.publish(b"[other]\r\nVersion=9\r\n[chronark]\r\nVersion=1.0.2002.625\r\nName=Chronark f\xfcr alle\r\n"
                     b"Download=http://example.test/chronark.tar.gz\r\nHomepage=http://example.test/\r\n")
        out = self.report(self.url, "chronark", "1.0.2002.624")
        self.assertEqual(out, "version=1.0.2002.624\nnewversion=1.0.2002.625\nappname=Chronark für alle\n"
                              "StatusBar1=Eine neue Version ist vorhanden!\n"
                              "enabled.Label2=true\nenabled.newversion=true\nenabled.Label3=true\n"
                              "enabled.appname=true\nenabled.downloadbutton=true\nenabled.homepagebutton=true\n")
        line, headers = self.server.requests[0]
        self.assertEqual(line, "GET /software/version.txt HTTP/1.0")
        self.assertEqual(headers.get("User-Agent"), "Online Relcheck")

    def test_empty_version_is_the_hosts_own(self):
        self.publish(b"[chronark]\nVersion=1.0.2002.624\n")
        out = self.report(self.url, "chronark")
        self.assertEqual(out, "version=1.0.2002.624\nnewversion=\nappname=\n"
                              "StatusBar1=Kein Update verfügbar\n"
                              "enabled.Label2=false\nenabled.newversion=false\nenabled.Label3=false\n"
                              "enabled.appname=false\nenabled.downloadbutton=false\nenabled.homepagebutton=false\n")

    def test_missing_document_shows_the_reason_phrase(self):
        out = self.report(self.url, "chronark", "1.0.2002.624")
        self.assertIn('\nStatusBar1=Fehler: "File not found"\n', out)

    def test_conversion_error(self):
        self.publish(b"[chronark]\nVersion=1.2\n")
        out = self.report(self.url, "chronark", "1.2.0.0")
        self.assertIn("\nStatusBar1=Fehler: \"'' is not a valid integer value\"\n", out)

    def test_values_are_escaped_and_every_line_printed(self):
        # ESC, NUL, a C1 control (0x81 in Windows-1252) and a backslash in the
        # published name, then control characters in the published version.
        self.publish(b"[chronark]\nVersion=9.0.0.0\nName=Evil\x1b[31mRed\x00Tail\x81C:\\x\n")
        out = self.report(self.url, "chronark", "1.0.2002.624")
        self.assertEqual(out.splitlines()[2], "appname=Evil\\x1b[31mRed\\x00Tail\\x81C:\\\\x")
        self.assertEqual(len(out.splitlines()), 10)
        # Decided at the first part: the rest of the version is never read.
        self.publish(b"[chronark]\nVersion=9.0.0.0\x1b]0;x\x07\n")
        out = self.report(self.url, "chronark", "1.0.2002.624")
        self.assertIn("\nnewversion=9.0.0.0\\x1b]0;x\\x07\n", out)
        self.assertNotIn("\x1b", out)

    def test_report_needs_no_display(self):
        self.publish(b"[chronark]\nVersion=1.0.2002.624\n")
        env = {k: v for k, v in os.environ.items() if k not in ("QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY")}
        env["TMPDIR"] = self.tmp.name
        p = subprocess.run([HOST, "--report", LIBRARY, self.url, "chronark", "1.0.2002.624"],
                           capture_output=True, timeout=100, env=env)
        self.assertEqual(p.returncode, 0, p.stderr.decode(errors="replace"))
        self.assertIn("\nStatusBar1=Kein Update verfügbar\n", p.stdout.decode("utf-8"))

    def test_cut_library_is_refused(self):
        # Cut inside its last loadable segment, as an interrupted copy leaves it.
        with open(LIBRARY, "rb") as f:
            data = f.read()
        phoff, = struct.unpack_from("<Q", data, 0x20)
        phnum, = struct.unpack_from("<H", data, 0x38)
        end = 0
        for i in range(phnum):
            kind, _, offset, _, _, size = struct.unpack_from("<IIQQQQ", data, phoff + 56 * i)
            if kind == 1 and size:
                end = max(end, offset + size // 2)
        cut = os.path.join(self.tmp.name, "relcheck.so")
        with open(cut, "wb") as f:
            f.write(data[:end])
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        p = subprocess.run([HOST, "--report", cut, self.url], capture_output=True, env=env, timeout=100)
        self.assertEqual(p.returncode, 1, p.stderr.decode(errors="replace"))
        self.assertIn(b"shorter than its segments", p.stderr)

    def test_command_line_errors(self):
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        self.assertEqual(subprocess.run([HOST], capture_output=True, env=env).returncode, 2)
        self.assertEqual(subprocess.run([HOST, "--report"], capture_output=True, env=env).returncode, 2)
        missing = subprocess.run([HOST, "--report", "/nonexistent/relcheck.so"], capture_output=True, env=env)
        self.assertEqual(missing.returncode, 1)
        no_export = subprocess.run([HOST, "--report", "/proc/self/exe"], capture_output=True, env=env)
        self.assertEqual(no_export.returncode, 1)


if __name__ == "__main__":
    unittest.main()
