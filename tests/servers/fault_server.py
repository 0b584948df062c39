#!/usr/bin/env python3
"""A scriptable HTTP/1.1 server for what real servers never do.

    fault_server.py --port P --peer-port Q --docroot DIR

Listens on 127.0.0.1:P. Q is the port of a second instance, so that redirect
chains can alternate between the two. Python 3 standard library only. Every
connection runs on a daemon thread and is closed after at most 120 s of
idleness or holding, so the server never keeps a test run.

One request per connection; the answer is chosen by the request path
(the query string, after '?', is ignored unless said otherwise):

  /redirect/N[/TAG]   N > 0: 302, Location: http://127.0.0.1:Q/redirect/N-1[/TAG]
                      (absolute, on the peer's port). N = 0: the final answer,
                      206 with Content-Length 900 and 900 bytes of 'r', and
                      the header X-Referer echoing the request's Referer.
  /loop[/TAG]         302, Location: http://127.0.0.1:P/loop[/TAG], forever.
  /goto?loc=L&code=C  answers status C (default 302) with "Location: L", L
                      percent-decoded and sent verbatim (use it for relative,
                      root-relative, backslash and empty targets).
  /relative/root      302, Location: /final/root
  /relative/up        302, Location: ../final/up   (one directory up)
  /relative/same      302, Location: final-same    (next to /relative/same)
  /relative/backslash 302, Location: \\final\\backslash
  /final/...          like /redirect/0: 206, Content-Length 900, X-Referer.
  /relative/final-same  the same final answer.
  /silent             reads the request, never answers, closes after 120 s
                      or when the client goes.
  /416                416 with Content-Range: bytes */50, Content-Length 0.
  /status/C           status C with Content-Length 0 (for instance 500, 304).
  /500                the same as /status/500.
  /zeropiece          three writes 0.3 s apart: "HTTP/1.1 200 OK",
                      Content-Length: 10 and the blank line; then a piece that
                      begins with a 0 byte ("\\0" and 9 more bytes); then the
                      text "last-modified: sun, 06 nov 1994 08:49:37 gmt\\r\\n".
                      Holds the connection open afterwards (up to 120 s).
  /splitheader?cuts=A,B,...
                      sends HEADER (below) followed by 900 bytes of 's', cut at
                      the given byte offsets of that text, with 0.3 s between
                      the writes, then closes. HEADER is
                      "HTTP/1.1 206 Partial Content\\r\\nContent-Length: 900\\r\\n"
                      "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\\r\\n"
                      "Content-Range: bytes 100-999/1000\\r\\n"
                      "Connection: close\\r\\n\\r\\n".
  /log?tag=T          200, text/plain: one line "METHOD<TAB>TARGET<TAB>REFERER
                      <TAB>RANGE" per request this instance received whose
                      target contains T, oldest first (the /log requests
                      themselves are not recorded).
  /file/NAME?fault=F[&token=K]
                      the docroot file NAME with Range support
                      ("bytes=A-B" and "bytes=A-"; 206 with Content-Range;
                      416 when A is past the end; 200 without a Range), always
                      closing after the answer, with fault F:
          none           (default) as above.
          ignore-range   answers 200 with the whole file to any request.
          close-early    for a range whose start is not 0: the right header,
                         then half of the range's bytes, then closes.
          extra          206 with the right header, the range's bytes, then
                         1000 more bytes of 'X', and keeps the connection
                         open (up to 120 s).
          stall          the right header and half of the bytes, then holds
                         the connection without sending (up to 120 s).
          short-header   the header in two writes 0.3 s apart, split in the
                         middle of the Content-Length line; then the body.
                      Faults hit only requests for a closed range "bytes=A-B"
                      (segment requests); the probe's "bytes=100-" and requests
                      without a Range are answered as with none.
                      With token=K, the fault hits only the first four segment
                      requests carrying K (one download's worth); later ones
                      are served normally, so a second run can resume.

Docroot file contents are whatever scripts/test-servers.sh generated.
"""

import argparse
import email.utils
import os
import socket
import socketserver
import threading
import time
import urllib.parse

HOLD_SECONDS = 120
MAX_REQUEST_BYTES = 64 * 1024

SPLIT_HEADER = (b"HTTP/1.1 206 Partial Content\r\nContent-Length: 900\r\n"
                b"Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
                b"Content-Range: bytes 100-999/1000\r\n"
                b"Connection: close\r\n\r\n")

REASONS = {200: "OK", 206: "Partial Content", 301: "Moved Permanently",
           302: "Found", 303: "See Other", 304: "Not Modified",
           307: "Temporary Redirect", 400: "Bad Request", 404: "Not Found",
           416: "Range Not Satisfiable", 500: "Internal Server Error",
           503: "Service Unavailable"}


class State:
    def __init__(self, port, peer_port, docroot):
        self.port = port
        self.peer_port = peer_port
        self.docroot = os.path.realpath(docroot)
        self.lock = threading.Lock()
        self.log = []
        self.faulted_count = {}


def answer(status, headers=(), body=b"", close=True):
    lines = ["HTTP/1.1 %d %s" % (status, REASONS.get(status, "Status"))]
    lines += list(headers)
    lines.append("Content-Length: %d" % len(body))
    if close:
        lines.append("Connection: close")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


class Handler(socketserver.BaseRequestHandler):
    def setup(self):
        self.request.settimeout(HOLD_SECONDS)
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def send(self, data):
        self.request.sendall(data)

    def hold(self):
        """Keeps the connection until the client closes it or time runs out."""
        deadline = time.monotonic() + HOLD_SECONDS
        try:
            while time.monotonic() < deadline:
                self.request.settimeout(max(0.1, deadline - time.monotonic()))
                if not self.request.recv(4096):
                    return
        except OSError:
            return

    def read_request(self):
        data = b""
        while b"\r\n\r\n" not in data and len(data) < MAX_REQUEST_BYTES:
            chunk = self.request.recv(4096)
            if not chunk:
                break
            data += chunk
        head = data.split(b"\r\n\r\n", 1)[0].decode("latin-1")
        lines = head.split("\r\n")
        parts = lines[0].split(" ")
        if len(parts) < 2:
            return None
        headers = {}
        for line in lines[1:]:
            if ":" in line:
                name, value = line.split(":", 1)
                headers.setdefault(name.strip().lower(), value.strip())
        return parts[0], parts[1], headers

    def handle(self):
        try:
            request = self.read_request()
            if request is None:
                return
            method, target, headers = request
            path, _, query_text = target.partition("?")
            query = dict(urllib.parse.parse_qsl(query_text, keep_blank_values=True))
            state = self.server.state
            if path != "/log":
                with state.lock:
                    state.log.append("\t".join([method, target,
                                                headers.get("referer", ""),
                                                headers.get("range", "")]))
            self.dispatch(method, path, query, headers)
        except OSError:
            pass

    def final(self, headers):
        self.send(answer(206, ["Content-Range: bytes 100-999/1000",
                               "X-Referer: " + headers.get("referer", "")],
                         b"r" * 900))

    def dispatch(self, method, path, query, headers):
        state = self.server.state
        if path.startswith("/redirect/"):
            rest = path[len("/redirect/"):]
            count_text, _, tag = rest.partition("/")
            count = int(count_text) if count_text.isdigit() else 0
            if count <= 0:
                self.final(headers)
                return
            location = "http://127.0.0.1:%d/redirect/%d" % (state.peer_port, count - 1)
            if tag:
                location += "/" + tag
            self.send(answer(302, ["Location: " + location]))
        elif path == "/loop" or path.startswith("/loop/"):
            self.send(answer(302, ["Location: http://127.0.0.1:%d%s" % (state.port, path)]))
        elif path == "/goto":
            code = int(query.get("code", "302"))
            self.send(answer(code, ["Location: " + query.get("loc", "")]))
        elif path == "/relative/root":
            self.send(answer(302, ["Location: /final/root"]))
        elif path == "/relative/up":
            self.send(answer(302, ["Location: ../final/up"]))
        elif path == "/relative/same":
            self.send(answer(302, ["Location: final-same"]))
        elif path == "/relative/backslash":
            self.send(answer(302, ["Location: \\final\\backslash"]))
        elif path.startswith("/final/") or path == "/relative/final-same":
            self.final(headers)
        elif path == "/silent":
            self.hold()
        elif path == "/416":
            self.send(answer(416, ["Content-Range: bytes */50"]))
        elif path == "/500":
            self.send(answer(500))
        elif path.startswith("/status/"):
            code_text = path[len("/status/"):]
            self.send(answer(int(code_text) if code_text.isdigit() else 500))
        elif path == "/zeropiece":
            self.send(b"HTTP/1.1 200 OK\r\n")
            time.sleep(0.3)
            self.send(b"Content-Length: 10\r\n\r\n")
            time.sleep(0.3)
            self.send(b"\0zeropiece")
            time.sleep(0.3)
            self.send(b"last-modified: sun, 06 nov 1994 08:49:37 gmt\r\n")
            self.hold()
        elif path == "/splitheader":
            text = SPLIT_HEADER + b"s" * 900
            cuts = sorted(int(c) for c in query.get("cuts", "").split(",") if c.isdigit())
            start = 0
            for cut in cuts + [len(text)]:
                cut = min(cut, len(text))
                if cut > start:
                    self.send(text[start:cut])
                    start = cut
                    time.sleep(0.3)
        elif path == "/log":
            tag = query.get("tag", "")
            with state.lock:
                lines = [line for line in state.log if tag in line.split("\t")[1]]
            body = "".join(line + "\n" for line in lines).encode("latin-1")
            self.send(answer(200, ["Content-Type: text/plain"], body))
        elif path.startswith("/file/"):
            self.serve_file(path[len("/file/"):], query, headers)
        else:
            self.send(answer(404))

    def serve_file(self, name, query, headers):
        state = self.server.state
        full = os.path.realpath(os.path.join(state.docroot, urllib.parse.unquote(name)))
        if not full.startswith(state.docroot + os.sep) or not os.path.isfile(full):
            self.send(answer(404))
            return
        with open(full, "rb") as f:
            data = f.read()
        size = len(data)
        fault = query.get("fault", "none")

        first, last = None, None
        wanted = headers.get("range", "")
        if wanted.startswith("bytes="):
            a, _, b = wanted[len("bytes="):].partition("-")
            if a.strip().isdigit():
                first = int(a)
                last = int(b) if b.strip().isdigit() else size - 1
                last = min(last, size - 1)

        # Faults hit segment requests only, which ask for a closed range
        # "bytes=A-B"; the size probe's open "bytes=100-" is answered
        # properly, so the download is planned in four parts.
        if not (wanted.startswith("bytes=") and wanted.split("-", 1)[-1].strip().isdigit()):
            fault = "none"

        token = query.get("token")
        if token is not None and fault != "none":
            # One download's worth: the first four segment requests that
            # carry the token are faulted, later ones answered properly, so
            # the next run can resume and complete.
            with state.lock:
                count = state.faulted_count.get(token, 0)
                state.faulted_count[token] = count + 1
            if count >= 4:
                fault = "none"

        if first is None or fault == "ignore-range":
            status, body, extra = 200, data, []
        elif first >= size or first > last:
            self.send(answer(416, ["Content-Range: bytes */%d" % size]))
            return
        else:
            status, body = 206, data[first:last + 1]
            extra = ["Content-Range: bytes %d-%d/%d" % (first, last, size)]
        # The file's own time, as a real server sends it: without it every
        # probe would see a new time and the next run could not resume.
        extra = extra + ["Last-Modified: " + email.utils.formatdate(os.path.getmtime(full), usegmt=True)]
        keep = fault in ("extra", "stall")
        head = answer(status, extra, b"", close=not keep)
        # answer() wrote Content-Length 0; put in the real one.
        head = head.replace(b"Content-Length: 0\r\n",
                            b"Content-Length: %d\r\n" % len(body))

        if fault == "close-early" and status == 206 and first != 0:
            self.send(head + body[:len(body) // 2])
        elif fault == "extra" and status == 206:
            self.send(head + body + b"X" * 1000)
            self.hold()
        elif fault == "stall":
            self.send(head + body[:len(body) // 2])
            self.hold()
        elif fault == "short-header":
            cut = head.index(b"Content-Length: ") + len(b"Content-Len")
            self.send(head[:cut])
            time.sleep(0.3)
            self.send(head[cut:] + body)
        else:
            self.send(head + body)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--peer-port", type=int, required=True)
    parser.add_argument("--docroot", required=True)
    args = parser.parse_args()
    server = Server(("127.0.0.1", args.port), Handler)
    server.state = State(args.port, args.peer_port, args.docroot)
    server.serve_forever()


if __name__ == "__main__":
    main()
