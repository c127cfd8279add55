"""A local HTTP server for files in one folder that honours Range requests and counts the
bytes it sends, so tests can read rasters over HTTP and see how much was fetched."""

import os
import re
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class RangeServer:
    """``with RangeServer(folder) as srv: srv.url("x.tif")``; ``srv.sent`` counts body bytes."""

    def __init__(self, folder):
        self.folder = os.fspath(folder)
        self.sent = 0
        self.requests = 0
        self._lock = threading.Lock()
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), _handler(self))
        self._server.daemon_threads = True
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)

    def url(self, name):
        return f"http://127.0.0.1:{self._server.server_address[1]}/{name}"

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()

    def _count(self, n):
        with self._lock:
            self.sent += n
            self.requests += 1


def _handler(server):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def do_HEAD(self):
            self._serve(body=False)

        def do_GET(self):
            self._serve(body=True)

        def _serve(self, body):
            path = os.path.join(server.folder, os.path.basename(self.path.split("?")[0]))
            if not os.path.isfile(path):
                self.send_response(404)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            size = os.path.getsize(path)
            start, end = 0, size - 1
            m = re.fullmatch(r"bytes=(\d*)-(\d*)", self.headers.get("Range", "").strip())
            if m and (m.group(1) or m.group(2)):
                if m.group(1):
                    start = int(m.group(1))
                    end = min(int(m.group(2)), size - 1) if m.group(2) else size - 1
                else:  # the last N bytes
                    start = max(size - int(m.group(2)), 0)
                if start > end or start >= size:
                    self.send_response(416)
                    self.send_header("Content-Range", f"bytes */{size}")
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                self.send_response(206)
                self.send_header("Content-Range", f"bytes {start}-{end}/{size}")
            else:
                self.send_response(200)
            self.send_header("Accept-Ranges", "bytes")
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(end - start + 1))
            self.end_headers()
            if not body:
                return
            with open(path, "rb") as f:
                f.seek(start)
                data = f.read(end - start + 1)
            self.wfile.write(data)
            server._count(len(data))

    return Handler
