#!/usr/bin/env python3
"""A scriptable HTTP/1.1 server for what real servers never do.

    fault_server.py --port P --peer-port Q --docroot DIR
                    [--tls-cert CERT --tls-key KEY]

Listens on 127.0.0.1:P. Q is the port of a second instance, so that redirect
chains can alternate between the two. Python 3 standard library only. Every
connection runs on a daemon thread and is closed after at most 120 s of
idleness or holding, so the server never keeps a test run.

TLS mode (--tls-cert and --tls-key, PEM files): every connection on P is
TLS 1.2 (the newest that wine's Schannel speaks) with that certificate, and
everything below goes over it; the URLs the server makes itself (/redirect,
/loop, redirect-loop) are https://, and Q should be another TLS instance or
P itself. Unless a fault says otherwise, each connection ends with a TLS
shutdown (the server's close_notify, as nginx sends it) before the close.

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
  /log?tag=T[&raw=1]  200, text/plain: one line "METHOD<TAB>TARGET<TAB>REFERER
                      <TAB>RANGE" per request this instance received whose
                      target contains T, oldest first (the /log requests
                      themselves are not recorded); control bytes in the
                      fields are written \\xNN. With raw=1 a fifth field holds
                      every byte the request brought, Python-escaped
                      (\\r, \\n, \\\\, \\xNN, ...; decode with unicode_escape).
  /file/NAME?fault=F[&mode=single][&on=WHERE][&at=A][&token=K][&version=2]
                      the docroot file NAME, always closing after the answer.
                      By default the server honours ranges ("bytes=A-B" and
                      "bytes=A-": 206 with Content-Range; 416 with
                      Content-Range: bytes */SIZE when A is past the end, so
                      a file of 100 bytes or less answers the probe's
                      "bytes=100-" with 416; 200 without a Range). With
                      mode=single it ignores every Range header and answers
                      200 with the whole file, as a server without range
                      support does.
                      A request with an open range "bytes=A-" is the probe;
                      any other (a closed range, or none: the one connection
                      of single mode) is a segment. The client reads the
                      probe's answer of a file of at most 8 MiB as its
                      first range (in single mode as the whole file):
                      without on=, it is a segment too.
                      A request for bytes 0-99 alone (what the probe
                      skipped) is always answered normally and not counted. Fault F hits the probe,
                      the segments or both (its default below, or WHERE from
                      on=probe|segment|both); other requests get the normal
                      answer. "Right" and "wrong" below are the Content-Length
                      of the normal answer and a smaller one (1000 less, or
                      half of a small one).
                      With at=A, only segment requests whose range starts
                      at byte A are hit (one connection of four; a retry
                      from where it broke starts elsewhere).
                      With token=K, only one download's worth is hit: the
                      requests before K's second probe, and at most four
                      segment requests, the probe's among them when
                      the client reads it (a file of at most 8 MiB; one,
                      the probe's, in single mode); later ones are
                      served normally (the changed-* faults' second
                      version), so a retry or a second run can finish.
          fault          on       answer
          none           both     the normal answer (the default).
          ignore-range   segment  200 with the whole file.
          close-early    segment  unless a 206 starting at 0: the right
                                  header, half the body, then closes.
          extra          segment  the right answer, then 1000 bytes of 'X';
                                  holds the connection (up to 120 s).
          stall          segment  the header and half the body, then holds
                                  the connection (up to 120 s).
          trickle        segment  the header and half the body, then one
                                  byte every 2 s (never long enough for a
                                  receive to time out) for 120 s, then holds.
          no-close-notify segment the right header and half the body, then
                                  closes without a TLS shutdown (no
                                  close_notify: a cut that TLS itself does
                                  not vouch for); in plain mode the same
                                  as close-early for every segment.
          short-header   segment  the header in two writes 0.3 s apart, cut
                                  inside the name "Content-Length".
          split-length   probe    two writes 0.3 s apart, cut after the
                                  first two Content-Length digits.
          long-header    probe    an X-Padding line makes the header about
                                  1 KiB, with offset 1024 inside the
                                  Content-Length digits.
          chunked        segment  Transfer-Encoding: chunked instead of
                                  Content-Length, body in 4000-byte chunks.
          chunked-ext    both     the same in 3000-byte chunks, each size in
                                  upper-case hex with extensions after it,
                                  and trailer fields after the last chunk.
          chunked-cut    segment  chunked's answer cut in the middle of its
                                  body, then closes (no last chunk).
          close-delimited both    neither Content-Length nor chunked: the
                                  body ends when the server closes.
          gzip           segment  Content-Encoding: gzip, body gzipped.
          multipart      segment  multipart/byteranges: one part carrying the
                                  Content-Range, none at the top.
          no-content-range segment  206 without Content-Range, whole file.
          range-end      segment  206, Content-Range and body ending 1000
                                  bytes after the asked end (before it when
                                  that is past the file's end).
          range-total    segment  206 for the asked range, with the bytes and
                                  total size of the changed-size version
                                  below (the file replaced meanwhile).
          cl-twice-right-first  both  Content-Length right, then wrong.
          cl-twice-wrong-first  both  Content-Length wrong, then right.
          x-content-length both   "X-Content-Length: wrong" before the right
                                  Content-Length.
          cl-abc, cl-empty, cl-plus, cl-minus
                         both     Content-Length "abc", "", "+5", "-5".
          fold-value     both     "Content-Length:", CR LF, a blank and the
                                  right value (an obsolete folded line).
          fold-split     both     "Content-Length: " and the first two digits,
                                  CR LF, a blank and the other digits.
          status-blanks  both     status line "HTTP/1.1  206 Partial Content"
                                  (two blanks).
          mirrors        both     two copies of the file behind one name,
                                  the second dated a day later: the
                                  requests for NAME (with the same row=
                                  value) take turns: first, second...
          changed-same-older, changed-same-equal, changed-size
                         segment  one download's worth of close-early on the
                                  file; after it (or with version=2) the
                                  file's second version, served normally:
                                  every byte XOR 0xA5, with Last-Modified a
                                  day older / equal; changed-size also 1000
                                  bytes longer, Last-Modified equal.
          loc-lf, loc-cr, loc-blank, loc-nul, loc-crlf
                         probe    302 to http://127.0.0.1:P/file/NAME?<the
                                  query without fault and on>&inj=a<X>Host:
                                  evil.example, X a bare LF, a bare CR, a
                                  blank, a NUL byte or CR LF (which ends the
                                  Location line, the rest a header line).
          redirect-loop  probe    302 to the request's own URL.
          redirect-https probe    302 to https://127.0.0.1:P/file/NAME?<query
                                  without fault and on>.
          416-bare       probe    416 without Content-Range.
          404, 500       probe    that status, Content-Length 0.
          header-close   probe    the header up to inside the name
                                  "Content-Length", then closes.
          endless-header probe    the status line, then header lines without
                                  end (about 3 MB/s) until the client goes,
                                  32 MiB or 15 s; then closes.
          slow-lane      both     every range served at a paced rate on
                                  keep-alive connections, one connection
                                  (a lane) slower than the others; the
                                  options below. The only fault that
                                  keeps a connection for more requests.

  slow-lane's options (on the query of /file/NAME?fault=slow-lane&...):
      rate=R          bytes per second of every connection (8388608).
      slow=S          bytes per second of the slow lane (R/8).
      lane=L          which connection is slow, by where its FIRST request
                      starts (no Range: at 0): first = below size/4, later
                      = in [size/2, 3*size/4), none = no slow lane. One
                      slow lane per download: the first connection in the
                      window, slow for every later request on it. A slow
                      connection that closes having carried less than
                      1 MiB within 0.5 s (a probe's, closed after its
                      header; it may start at 100 or 0) hands the lane on
                      to the next open connection in the window, or else
                      to the next one to come; later connections in the
                      window (a tool's helpers, its reconnects) are fast.
      token=K         the download these requests belong to (default: the
                      file's name); give every download its own.
  Answers are 206 with Content-Range (200 without a Range, 416 past the
  end), kept alive unless the request says "Connection: close", the body
  sent in 64 KiB pieces, each paced so that the connection never runs
  ahead of its rate (a pause before a piece, never credit for idle time).
  The server reads the file per piece, so large files cost no memory.
  /lanes?token=K lists one line per connection of download K, in the order
  they came: "CONN<TAB>FIRST_START<TAB>slow|fast|handed-on<TAB>RATE
  <TAB>REQUESTS<TAB>BODY_BYTES<TAB>SECONDS" (seconds from its first request
  to its last byte so far), then "size<TAB>SIZE" once the file is known.

Docroot file contents are whatever scripts/test-servers.sh generated.
"""

import argparse
import email.utils
import gzip
import os
import re
import select
import socket
import socketserver
import ssl
import threading
import time
import urllib.parse

HOLD_SECONDS = 120
# The client reads the probe's answer of a file up to this size as its
# bytes, and closes a larger one's after the head.
ONE_CONNECTION_BYTES = 8 * 1024 * 1024
MAX_REQUEST_BYTES = 64 * 1024
HOLD = object()  # a step of a fault's answer: keep the connection open
LANE_PIECE = 64 * 1024  # slow-lane: bytes per paced write
# slow-lane: a slow connection that closes having carried less than this,
# this soon after its first request, was a probe's, not a lane, and hands
# the slowness on.
LANE_HANDOFF = 1 << 20
LANE_HANDOFF_SECONDS = 0.5
CUT = object()  # a step: close at once, without a TLS shutdown

SPLIT_HEADER = (b"HTTP/1.1 206 Partial Content\r\nContent-Length: 900\r\n"
                b"Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
                b"Content-Range: bytes 100-999/1000\r\n"
                b"Connection: close\r\n\r\n")

REASONS = {200: "OK", 206: "Partial Content", 301: "Moved Permanently",
           302: "Found", 303: "See Other", 304: "Not Modified",
           307: "Temporary Redirect", 400: "Bad Request", 404: "Not Found",
           416: "Range Not Satisfiable", 500: "Internal Server Error",
           503: "Service Unavailable"}

XOR_A5 = bytes(i ^ 0xA5 for i in range(256))
EVIL = "Host: evil.example"


class State:
    def __init__(self, port, peer_port, docroot, scheme="http"):
        self.port = port
        self.peer_port = peer_port
        self.scheme = scheme
        self.docroot = os.path.realpath(docroot)
        self.lock = threading.Lock()
        self.log = []
        self.tokens = {}
        self.turns = {}  # mirrors: requests so far, by file name
        self.lanes = {}  # slow-lane: per download, its connections and size


class Answer:
    """A status, header lines in order ("Name: value" text) and a body."""

    def __init__(self, status, lines=(), body=b"", close=True):
        self.status_line = "HTTP/1.1 %d %s" % (status, REASONS.get(status, "Status"))
        self.status = status
        self.lines = list(lines) + ["Content-Length: %d" % len(body)]
        if close:
            self.lines.append("Connection: close")
        self.body = body

    def find(self, name):
        prefix = name.lower() + ":"
        for i, line in enumerate(self.lines):
            if line.lower().startswith(prefix):
                return i
        return None

    def value(self, name):
        i = self.find(name)
        return None if i is None else self.lines[i].split(":", 1)[1].strip()

    def drop(self, name):
        i = self.find(name)
        if i is not None:
            del self.lines[i]

    def set_body(self, body):
        """New body and, if there is one, a Content-Length to match."""
        self.body = body
        i = self.find("Content-Length")
        if i is not None:
            self.lines[i] = "Content-Length: %d" % len(body)

    def head(self):
        return ("\r\n".join([self.status_line] + self.lines) + "\r\n\r\n").encode("latin-1")

    def wire(self):
        return self.head() + self.body


def answer(status, headers=(), body=b"", close=True):
    return Answer(status, headers, body, close).wire()


class Request:
    """What a /file fault works from."""

    def __init__(self, server_port, scheme, name, target, query, data, mtime, first, last):
        self.server_port = server_port
        self.scheme = scheme
        self.name = name
        self.target = target
        self.query = query
        self.data = data
        self.mtime = mtime
        self.first = first  # the asked range, None without one
        self.last = last

    def normal(self, whole=False):
        """The answer of a server that has this file."""
        size = len(self.data)
        extra = ["Last-Modified: " + email.utils.formatdate(self.mtime, usegmt=True)]
        if whole or self.first is None or self.query.get("mode") == "single":
            return Answer(200, extra, self.data)
        if self.first >= size or self.first > self.last:
            return Answer(416, ["Content-Range: bytes */%d" % size])
        cr = "Content-Range: bytes %d-%d/%d" % (self.first, self.last, size)
        return Answer(206, [cr] + extra, self.data[self.first:self.last + 1])

    def span(self, a):
        """First and last byte of a 200 or 206 answer."""
        if a.status == 206:
            return self.first, self.last
        return 0, len(self.data) - 1

    def url(self, scheme=None, extra=""):
        """This file's URL on this server, without fault and on."""
        rest = [(k, v) for k, v in self.query.items() if k not in ("fault", "on")]
        return "%s://127.0.0.1:%d/file/%s?%s%s" % (
            scheme or self.scheme, self.server_port, self.name,
            urllib.parse.urlencode(rest), extra)


def changed_size_bytes(data):
    return (data + data[:1000]).translate(XOR_A5)


# The second version of a file for the changed-* faults: bytes, and the
# shift of its Last-Modified.
SECOND_VERSIONS = {
    "changed-same-older": (lambda d: d.translate(XOR_A5), -86400),
    "changed-same-equal": (lambda d: d.translate(XOR_A5), 0),
    "changed-size": (changed_size_bytes, 0),
}


# Every fault is a function (request, normal answer) -> the steps of its
# answer: bytes to send, a float (seconds to pause) or HOLD.
def sent(a):
    return [a.wire()]


def with_length(text):
    """A fault that puts `text(right)` in place of the Content-Length line."""
    def fault(r, a):
        i = a.find("Content-Length")
        a.lines[i] = text(len(a.body))
        return sent(a)
    return fault


def wrong(right):
    return right - 1000 if right > 2000 else right // 2


def keep_alive(a):
    a.drop("Connection")
    return a


def cut_after(a, marker, extra):
    """Two writes 0.3 s apart, cut `extra` bytes after `marker`."""
    text = a.wire()
    cut = text.index(marker) + len(marker) + extra
    return [text[:cut], 0.3, text[cut:]]


def close_early(r, a):
    if a.status == 206 and r.first == 0:
        return sent(a)
    return [a.head() + a.body[:len(a.body) // 2]]


def long_header(r, a):
    digits = len(str(len(a.body)))
    padding = "X-Padding: "
    a.lines.insert(a.find("Content-Length"), padding)
    at = a.head().index(b"Content-Length: ") + len("Content-Length: ")
    a.lines[a.find("X-Padding")] = padding + "p" * (1024 - max(1, digits // 2) - at)
    return sent(a)


def chunked(r, a, size=4000, line=b"%x", end=b"0\r\n\r\n"):
    """The body in chunks of `size` bytes, each size line `line` % size."""
    body = a.body
    a.lines[a.find("Content-Length")] = "Transfer-Encoding: chunked"
    a.body = b"".join((line % len(body[i:i + size])) + b"\r\n" + body[i:i + size] + b"\r\n"
                      for i in range(0, len(body), size)) + end
    return sent(a)


def chunked_ext(r, a):
    return chunked(r, a, 3000, b'%X;n=v;q="a;b"',
                   b"0;last\r\nX-Trailer: 1\r\nX-Empty:\r\n\r\n")


def chunked_cut(r, a):
    text = chunked(r, a)[0]
    return [text[:len(a.head()) + len(a.body) // 2]]


def close_delimited(r, a):
    a.drop("Content-Length")
    return sent(a)


def gzipped(r, a):
    a.lines.insert(0, "Content-Encoding: gzip")
    a.set_body(gzip.compress(a.body, mtime=0))
    return sent(a)


def multipart(r, a):
    first, last = r.span(a)
    a.drop("Content-Range")
    a.lines.insert(0, "Content-Type: multipart/byteranges; boundary=VORN-PARTS")
    a.set_body(b"--VORN-PARTS\r\nContent-Type: application/octet-stream\r\n"
               b"Content-Range: bytes %d-%d/%d\r\n\r\n%s\r\n--VORN-PARTS--\r\n"
               % (first, last, len(r.data), a.body))
    return sent(a)


def no_content_range(r, a):
    whole = r.normal(whole=True)
    whole.status_line = "HTTP/1.1 206 Partial Content"
    return sent(whole)


def partial(r, first, last, data):
    a = r.normal()
    a.status_line = "HTTP/1.1 206 Partial Content"
    a.drop("Content-Range")
    a.lines.insert(0, "Content-Range: bytes %d-%d/%d" % (first, last, len(data)))
    a.set_body(data[first:last + 1])
    return a


def range_end(r, a):
    first, last = r.span(a)
    end = last + 1000 if last + 1000 < len(r.data) else max(first, last - 1000)
    return sent(partial(r, first, end, r.data))


def range_total(r, a):
    first, last = r.span(a)
    return sent(partial(r, first, last, changed_size_bytes(r.data)))


def redirect(location):
    return lambda r, a: sent(Answer(302, ["Location: " + location(r)]))


def injected(separator):
    return redirect(lambda r: r.url(extra="&inj=a" + separator + EVIL))


def status(code):
    return lambda r, a: sent(Answer(code))


def endless_header(r, a):
    yield b"HTTP/1.1 200 OK\r\n"
    deadline = time.monotonic() + 15
    sent_bytes, n = 0, 0
    while sent_bytes < 32 << 20 and time.monotonic() < deadline:
        batch = "".join("X-Filler-%d: %s\r\n" % (n + i, "f" * 80) for i in range(160))
        n += 160
        sent_bytes += len(batch)
        yield batch.encode("latin-1")
        yield 0.005


def trickle(r, a):
    half = len(a.body) // 2
    steps = [keep_alive(a).head() + a.body[:half]]
    for i in range(60):
        steps += [2.0, a.body[half + i:half + i + 1]]
    return steps + [HOLD]


def header_close(r, a):
    text = a.head()
    return [text[:text.index(b"Content-Length") + len("Content-Le")]]


def status_blanks(r, a):
    a.status_line = a.status_line.replace(" ", "  ", 1)
    return sent(a)


# fault name -> (the requests it hits by default, how the answer is built)
FAULTS = {
    "none": ("both", lambda r, a: sent(a)),
    "mirrors": ("both", lambda r, a: sent(a)),
    "ignore-range": ("segment", lambda r, a: sent(r.normal(whole=True))),
    "close-early": ("segment", close_early),
    "extra": ("segment", lambda r, a: [keep_alive(a).wire() + b"X" * 1000, HOLD]),
    "stall": ("segment", lambda r, a: [keep_alive(a).head() + a.body[:len(a.body) // 2], HOLD]),
    "trickle": ("segment", trickle),
    "no-close-notify": ("segment", lambda r, a: [a.head() + a.body[:len(a.body) // 2], CUT]),
    "short-header": ("segment", lambda r, a: cut_after(a, b"Content-Len", 0)),
    "split-length": ("probe", lambda r, a: cut_after(a, b"Content-Length: ", 2)),
    "long-header": ("probe", long_header),
    "chunked": ("segment", chunked),
    "chunked-ext": ("both", chunked_ext),
    "chunked-cut": ("segment", chunked_cut),
    "close-delimited": ("both", close_delimited),
    "gzip": ("segment", gzipped),
    "multipart": ("segment", multipart),
    "no-content-range": ("segment", no_content_range),
    "range-end": ("segment", range_end),
    "range-total": ("segment", range_total),
    "cl-twice-right-first": ("both", with_length(
        lambda n: "Content-Length: %d\r\nContent-Length: %d" % (n, wrong(n)))),
    "cl-twice-wrong-first": ("both", with_length(
        lambda n: "Content-Length: %d\r\nContent-Length: %d" % (wrong(n), n))),
    "x-content-length": ("both", with_length(
        lambda n: "X-Content-Length: %d\r\nContent-Length: %d" % (wrong(n), n))),
    "cl-abc": ("both", with_length(lambda n: "Content-Length: abc")),
    "cl-empty": ("both", with_length(lambda n: "Content-Length:")),
    "cl-plus": ("both", with_length(lambda n: "Content-Length: +5")),
    "cl-minus": ("both", with_length(lambda n: "Content-Length: -5")),
    "fold-value": ("both", with_length(lambda n: "Content-Length:\r\n %d" % n)),
    "fold-split": ("both", with_length(
        lambda n: "Content-Length: %s\r\n %s" % (str(n)[:2], str(n)[2:]))),
    "status-blanks": ("both", status_blanks),
    "changed-same-older": ("segment", close_early),
    "changed-same-equal": ("segment", close_early),
    "changed-size": ("segment", close_early),
    "loc-lf": ("probe", injected("\n")),
    "loc-cr": ("probe", injected("\r")),
    "loc-blank": ("probe", injected(" ")),
    "loc-nul": ("probe", injected("\0")),
    "loc-crlf": ("probe", injected("\r\n")),
    "redirect-loop": ("probe", redirect(
        lambda r: "%s://127.0.0.1:%d%s" % (r.scheme, r.server_port, r.target))),
    "redirect-https": ("probe", redirect(lambda r: r.url(scheme="https"))),
    "416-bare": ("probe", status(416)),
    "404": ("probe", status(404)),
    "500": ("probe", status(500)),
    "header-close": ("probe", header_close),
    "endless-header": ("probe", endless_header),
    # Served by Handler.serve_lanes, which keeps the connection.
    "slow-lane": ("both", None),
}


def escape_controls(text):
    return re.sub(r"[\x00-\x1f\x7f]", lambda m: "\\x%02x" % ord(m.group()), text)


class Handler(socketserver.BaseRequestHandler):
    def setup(self):
        self.request.settimeout(HOLD_SECONDS)
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def cut(self):
        """Ends the connection now: no more bytes, no TLS shutdown."""
        self.request.vorn_cut = True

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
        """The bytes read, and (method, target, headers) or None."""
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
            return data, None
        headers = {}
        for line in lines[1:]:
            if ":" in line:
                name, value = line.split(":", 1)
                headers.setdefault(name.strip().lower(), value.strip())
        return data, (parts[0], parts[1], headers)

    def handle(self):
        try:
            if isinstance(self.request, ssl.SSLSocket):
                # In this thread, so that a slow or failed handshake keeps
                # no other connection waiting.
                self.request.settimeout(10)
                self.request.do_handshake()
                self.request.settimeout(HOLD_SECONDS)
            raw, request = self.read_request()
            method, target, headers = request or ("", "", {})
            path, _, query_text = target.partition("?")
            query = dict(urllib.parse.parse_qsl(query_text, keep_blank_values=True))
            state = self.server.state
            if path not in ("/log", "/lanes") and raw:
                with state.lock:
                    state.log.append(([escape_controls(field) for field in (
                        method, target, headers.get("referer", ""), headers.get("range", ""))],
                        raw.decode("latin-1").encode("unicode_escape").decode("ascii")))
            if request is not None:
                self.dispatch(method, path, target, query, headers)
        except OSError:
            pass

    def final(self, headers):
        self.send(answer(206, ["Content-Range: bytes 100-999/1000",
                               "X-Referer: " + headers.get("referer", "")],
                         b"r" * 900))

    def dispatch(self, method, path, target, query, headers):
        state = self.server.state
        if path.startswith("/redirect/"):
            rest = path[len("/redirect/"):]
            count_text, _, tag = rest.partition("/")
            count = int(count_text) if count_text.isdigit() else 0
            if count <= 0:
                self.final(headers)
                return
            location = "%s://127.0.0.1:%d/redirect/%d" % (
                state.scheme, state.peer_port, count - 1)
            if tag:
                location += "/" + tag
            self.send(answer(302, ["Location: " + location]))
        elif path == "/loop" or path.startswith("/loop/"):
            self.send(answer(302, ["Location: %s://127.0.0.1:%d%s" % (
                state.scheme, state.port, path)]))
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
            raw = query.get("raw") == "1"
            with state.lock:
                lines = ["\t".join(fields + ([escaped] if raw else []))
                         for fields, escaped in state.log if tag in fields[1]]
            body = "".join(line + "\n" for line in lines).encode("latin-1")
            self.send(answer(200, ["Content-Type: text/plain"], body))
        elif path == "/lanes":
            self.lanes_report(query.get("token", ""))
        elif path.startswith("/file/"):
            self.serve_file(path[len("/file/"):], target, query, headers)
        else:
            self.send(answer(404))

    def serve_file(self, name, target, query, headers):
        state = self.server.state
        full = os.path.realpath(os.path.join(state.docroot, urllib.parse.unquote(name)))
        if not full.startswith(state.docroot + os.sep) or not os.path.isfile(full):
            self.send(answer(404))
            return
        if query.get("fault") == "slow-lane":
            self.serve_lanes(name, full, query, headers)
            return
        with open(full, "rb") as f:
            data = f.read()
        # The file's own time, as a real server sends it: without it every
        # probe would see a new time and the next run could not resume.
        mtime = os.path.getmtime(full)
        fault = query.get("fault", "none")
        if fault not in FAULTS:
            self.send(answer(400))
            return
        where, build = FAULTS[fault]
        where = query.get("on", where)

        wanted = headers.get("range", "")
        first, last = None, None
        match = re.fullmatch(r"bytes=(\d+)-(\d*)", wanted.strip())
        if match:
            first = int(match.group(1))
            last = min(int(match.group(2) or len(data) - 1), len(data) - 1)
        kind = "probe" if match and not match.group(2) else "segment"
        # The client reads the probe's answer as the package's bytes (in
        # single mode, or a package of at most ONE_CONNECTION_BYTES; it
        # closes a larger one's after the head): a fault that hits segments
        # by default hits it too, and it counts as one of a download's
        # segment requests; on=segment means the other requests alone.
        single = query.get("mode") == "single"
        probe_is_segment = (kind == "probe" and "on" not in query and
                            (single or len(data) <= ONE_CONNECTION_BYTES))
        # The first 100 bytes that the probe skipped come in a request of
        # their own: no fault is meant for them, and they are no range of
        # a download's count.
        head_bytes = bool(match and match.group(2)) and first == 0 and last == 99

        token = query.get("token")
        first_download = True
        if token is not None and not head_bytes:
            limit = 1 if single else 4
            with state.lock:
                seen = state.tokens.setdefault(token, {"probe": 0, "segment": 0})
                seen[kind] += 1
                if probe_is_segment:
                    seen["segment"] += 1
                first_download = seen["probe"] <= 1 and (
                    kind == "probe" or seen["segment"] <= limit)
                later = seen["probe"] >= 2 or seen["segment"] > limit
        else:
            later = False
        if fault == "mirrors":
            with state.lock:
                key = query.get("row", name)
                turn = state.turns.get(key, 0)
                state.turns[key] = turn + 1
            mtime += 86400 * (turn % 2)
        if fault in SECOND_VERSIONS and (later or query.get("version") == "2"):
            change, shift = SECOND_VERSIONS[fault]
            data, mtime, first_download = change(data), mtime + shift, False
            if first is not None:
                last = min(last, len(data) - 1) if match.group(2) else len(data) - 1

        request = Request(state.port, state.scheme, name, target, query, data, mtime,
                          first, last)
        normal = request.normal()
        hit = not head_bytes and first_download and (
            where in (kind, "both") or (probe_is_segment and where == "segment"))
        if "at" in query and (kind != "segment" or str(first) != query["at"]):
            hit = False
        for step in build(request, normal) if hit else [normal.wire()]:
            if step is HOLD:
                self.hold()
            elif step is CUT:
                self.cut()
                return
            elif isinstance(step, float):
                time.sleep(step)
            else:
                self.send(step)

    def serve_lanes(self, name, full, query, headers):
        """slow-lane: this request and every later one on the connection."""
        state = self.server.state
        size = os.path.getsize(full)
        token = query.get("token", name)
        fast = int(query.get("rate", 8 << 20))
        slow = int(query.get("slow", fast // 8))
        window = {"first": (0, size // 4), "later": (size // 2, size * 3 // 4)}.get(
            query.get("lane", "first"))
        with state.lock:
            lanes = state.lanes.setdefault(token, {"conns": [], "size": size})
            lane = {"first": None, "slow": False, "open": True, "rate": fast,
                    "requests": 0, "bytes": 0, "t0": time.monotonic(),
                    "t1": time.monotonic(), "window": window, "slow_rate": slow}
            lanes["conns"].append(lane)
        pace = time.monotonic()  # when the next piece may go
        try:
            with open(full, "rb") as f:
                while True:
                    wanted = headers.get("range", "").strip()
                    match = re.fullmatch(r"bytes=(\d+)-(\d*)", wanted)
                    first = int(match.group(1)) if match else 0
                    last = size - 1
                    if match and match.group(2):
                        last = min(int(match.group(2)), size - 1)
                    with state.lock:
                        if lane["first"] is None:
                            lane["first"] = first
                            if in_window(lane) and lane_free(lanes):
                                lane["slow"], lane["rate"] = True, slow
                        lane["requests"] += 1
                    close = headers.get("connection", "").lower() == "close"
                    extra = ["Last-Modified: " + email.utils.formatdate(
                        os.path.getmtime(full), usegmt=True)]
                    if first >= size or first > last:
                        self.send(answer(416, ["Content-Range: bytes */%d" % size], close=close))
                    else:
                        if match:
                            extra.insert(0, "Content-Range: bytes %d-%d/%d" % (first, last, size))
                        head = Answer(206 if match else 200, extra, close=close)
                        head.lines[head.find("Content-Length")] = "Content-Length: %d" % (
                            last + 1 - first)
                        self.send(head.head())
                        at = first
                        while at <= last:
                            now = time.monotonic()
                            if pace < now:
                                pace = now  # no credit for time spent idle
                            elif not self.wait_unless_gone(pace - now):
                                return
                            piece = os.pread(f.fileno(), min(LANE_PIECE, last + 1 - at), at)
                            self.send(piece)
                            at += len(piece)
                            with state.lock:
                                pace += len(piece) / lane["rate"]
                                lane["bytes"] += len(piece)
                                lane["t1"] = time.monotonic()
                    if close:
                        return
                    raw, request = self.read_request()
                    if request is None:
                        return
                    method, target, headers = request
                    path, _, query_text = target.partition("?")
                    with state.lock:
                        state.log.append(([escape_controls(field) for field in (
                            method, target, headers.get("referer", ""), headers.get("range", ""))],
                            raw.decode("latin-1").encode("unicode_escape").decode("ascii")))
                    if path != "/file/" + name:
                        self.dispatch(method, path, target,
                                      dict(urllib.parse.parse_qsl(query_text)), headers)
                        return
        finally:
            with state.lock:
                lane["open"] = False
                lane["closed"] = time.monotonic()
                # A slow lane that goes having carried almost nothing (a
                # probe's connection, closed after its header) hands the
                # slowness on to the next open connection in the window.
                if lane["slow"] and lane_free(lanes):
                    lane["handed_on"] = True
                    for other in lanes["conns"]:
                        if other["open"] and not other["slow"] and in_window(other):
                            other["slow"], other["rate"] = True, other["slow_rate"]
                            break

    def wait_unless_gone(self, seconds):
        """Sleeps `seconds`; False as soon as the client closes the
        connection meanwhile (a plain socket's end is seen at once, a TLS
        one's only at the next write)."""
        if isinstance(self.request, ssl.SSLSocket):
            time.sleep(seconds)
            return True
        readable, _, _ = select.select([self.request], [], [], seconds)
        if not readable:
            return True
        try:
            if not self.request.recv(1, socket.MSG_PEEK):
                return False
        except OSError:
            return False
        # The next request came early: it waits in the socket until this
        # answer is sent.
        time.sleep(max(0.0, seconds))
        return True

    def lanes_report(self, token):
        state = self.server.state
        with state.lock:
            lanes = state.lanes.get(token, {"conns": [], "size": None})
            lines = ["%d\t%s\t%s\t%d\t%d\t%d\t%.3f" % (
                i + 1, lane["first"],
                "handed-on" if lane.get("handed_on") else "slow" if lane["slow"] else "fast",
                lane["rate"],
                lane["requests"], lane["bytes"], lane["t1"] - lane["t0"])
                for i, lane in enumerate(lanes["conns"])]
            if lanes["size"] is not None:
                lines.append("size\t%d" % lanes["size"])
        body = "".join(line + "\n" for line in lines).encode("latin-1")
        self.send(answer(200, ["Content-Type: text/plain"], body))


def in_window(lane):
    """Whether a slow-lane connection's first request starts in the window
    of the slow lane."""
    window = lane["window"]
    return lane["first"] is not None and window is not None and (
        window[0] <= lane["first"] < window[1])


def lane_free(lanes):
    """Whether no connection of this download holds the slow lane: a slow
    one holds it while it is open, and after if it carried a real share
    or lasted (it was a lane, not a probe)."""
    return not any(lane["slow"] and (lane["open"] or lane["bytes"] >= LANE_HANDOFF or
                                     lane["closed"] - lane["t0"] >= LANE_HANDOFF_SECONDS)
                   for lane in lanes["conns"])


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64
    tls = None  # an ssl.SSLContext in TLS mode

    def get_request(self):
        sock, address = super().get_request()
        if self.tls is not None:
            # The handshake runs in the connection's own thread.
            sock = self.tls.wrap_socket(sock, server_side=True,
                                        do_handshake_on_connect=False)
        return sock, address

    def shutdown_request(self, request):
        if getattr(request, "vorn_cut", False):
            # An SSLSocket's own shutdown is TCP's alone: the peer sees the
            # connection end with no close_notify before it.
            try:
                request.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            request.close()
            return
        if isinstance(request, ssl.SSLSocket):
            try:
                # Sends close_notify; waits a little for the peer's, which
                # a client that has what it wanted need not send.
                request.settimeout(1)
                request = request.unwrap()
            except (OSError, ValueError):
                pass
        super().shutdown_request(request)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--peer-port", type=int, required=True)
    parser.add_argument("--docroot", required=True)
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    args = parser.parse_args()
    server = Server(("127.0.0.1", args.port), Handler)
    scheme = "http"
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.maximum_version = ssl.TLSVersion.TLSv1_2
        context.load_cert_chain(args.tls_cert, args.tls_key)
        server.tls = context
        scheme = "https"
    server.state = State(args.port, args.peer_port, args.docroot, scheme)
    server.serve_forever()


if __name__ == "__main__":
    main()
