"""`vespra view`: the trace served on 127.0.0.1:9001 to a page of another origin in a real browser
(headless Chromium), and nothing else served; the taken port and Ctrl-C. The page stands in for
the Perfetto UI: `--ui` points the link at it, and it fetches the trace the way the UI does, by
the `url` in its hash, then posts what it got back to its own server."""

import http.client
import http.server
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

VESPRA = str(pathlib.Path(sys.executable).parent / "vespra")
PORT = 9001
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
PAGE = b"""<!doctype html><script>
const url = new URLSearchParams(location.hash.split("?")[1]).get("url");
fetch(url).then(r => r.arrayBuffer())
  .then(b => fetch("/got", {method: "POST", body: b}))
  .catch(e => fetch("/got", {method: "POST", headers: {"X-Error": "1"}, body: String(e)}));
</script>"""


def port_free():
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as the server: TIME_WAIT is fine
        try:
            s.bind(("127.0.0.1", PORT))
            return True
        except OSError:
            return False


def end_process_group(leader):
    """Kills `leader` and its group (Chromium's helpers outlive a killed browser and go on
    writing its profile), and waits until the group is gone."""
    os.killpg(leader.pid, signal.SIGKILL)
    leader.wait()
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        try:
            os.killpg(leader.pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.05)


class Page(http.server.BaseHTTPRequestHandler):
    """The stand-in for the UI: the page, and what its fetch got."""

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", str(len(PAGE)))
        self.end_headers()
        self.wfile.write(PAGE)

    def do_POST(self):
        self.server.got = (self.headers.get("X-Error"),
                           self.rfile.read(int(self.headers["Content-Length"])))
        self.send_response(204)
        self.end_headers()
        self.server.done.set()

    def log_message(self, *args):
        pass


@unittest.skipUnless(port_free(), f"port {PORT} of 127.0.0.1 is in use here")
class ViewTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.trace = pathlib.Path(tmp.name, "a trace+1.pb")
        self.trace.write_bytes(bytes(range(256)) * 1500)  # every byte, more than a socket buffer

    def view(self, *args):
        # Ctrl-C reaches it even where the test runner's own SIGINT is ignored.
        proc = subprocess.Popen([VESPRA, "view", "--no-open", *args, str(self.trace)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        self.addCleanup(lambda: (proc.poll() is None and proc.kill(), proc.communicate()))
        return proc, proc.stdout.readline().strip()  # printed once the server listens

    @unittest.skipUnless(CHROMIUM, "Chromium not installed (scripts/install-deps.sh installs it)")
    def test_a_page_of_another_origin_gets_every_byte_and_nothing_else_is_served(self):
        page = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
        page.done = threading.Event()
        threading.Thread(target=page.serve_forever, daemon=True).start()
        self.addCleanup(page.server_close)
        self.addCleanup(page.shutdown)
        ui = f"http://127.0.0.1:{page.server_port}"
        proc, link = self.view("--ui", ui)
        name = "/a%20trace%2B1.pb"
        self.assertEqual(link, f"{ui}/#!/?url=http://127.0.0.1:{PORT}{name}")
        for method, path, headers, status in [
                ("GET", "/", {}, 404), ("GET", "/etc/passwd", {}, 404),
                ("GET", "/.." + name, {}, 404), ("GET", name + "?x=1", {}, 404),
                ("POST", name, {}, 405), ("HEAD", name, {}, 405), ("OPTIONS", name, {}, 204),
                # A page of another origin is not even sent the bytes.
                ("GET", name, {"Origin": "http://127.0.0.1:1"}, 403)]:
            with self.subTest(method=method, path=path, headers=headers):
                conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=60)
                conn.request(method, path, headers=headers)
                self.assertEqual(conn.getresponse().status, status)
                conn.close()
        profile = tempfile.TemporaryDirectory(ignore_cleanup_errors=True)
        self.addCleanup(profile.cleanup)
        browser = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", f"--user-data-dir={profile.name}", link],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        self.addCleanup(end_process_group, browser)
        self.assertTrue(page.done.wait(300), "the page never reported its fetch")
        self.assertEqual(page.got, (None, self.trace.read_bytes()))
        _, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 0, err)
        self.assertIn("has been served; stopped", err)

    def test_ctrl_c_stops_it_and_a_taken_port_is_explained(self):
        proc, link = self.view()
        self.assertTrue(link.startswith("https://ui.perfetto.dev/#!/?url="), link)
        second, _ = self.view()
        _, err = second.communicate(timeout=60)
        self.assertEqual(second.returncode, 1, err)
        self.assertIn(f"port {PORT} of 127.0.0.1 is taken", err)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 130, err)
        self.assertIn("stopped before the trace was served", err)


if __name__ == "__main__":
    unittest.main()
