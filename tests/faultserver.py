"""A small HTTP/1.1 server on 127.0.0.1, written on raw sockets so that it can misbehave
in ways a real server library will not: drop a connection, stall, send half a
response. Each request takes the next planned action; by default a good answer, which
handler(method, path, query dict, body) gives as (status, content type, body).
Connections are kept alive as a backend would keep them.
"""
import json
import socket
import socketserver
import struct
import threading
from collections import deque
from urllib.parse import parse_qs, urlsplit

HTML = (b"<!DOCTYPE html>\n<html><head><title>Bad Gateway</title></head>\n"
        b"<body><h1>Bad Gateway</h1><p>The upstream server is unavailable.</p></body></html>\n")

# What each fault does; the timeouts of the tests are shorter than STALL.
FAULTS = {
    "accept_close": "the connection is closed as soon as it is accepted",
    "drop": "the request is read, then the connection is closed without an answer",
    "reset": "the request is read, then the connection is reset (RST)",
    "garbage": "a status line that is not HTTP",
    "close_mid_status": "part of the status line, then the connection is closed",
    "close_mid_body": "headers promise more body than is sent before the close",
    "slow_headers": "nothing is sent until after the client's timeout",
    "slow_body": "headers at once, the body only after the client's timeout",
    "bad_chunked": "a chunked body whose chunk size is not a number",
    "bad_gzip": "a body declared gzip-encoded that is not",
    "redirect_loop": "302 back to the same URL (planned once per hop)",
    "truncated_json": "200 with a JSON body cut in half (length consistent)",
    "html_200": "200 with an HTML page",
    "html_502": "502 with an HTML page",
}
STALL = 2.0
# Faults that are bytes sent in place of an answer, the connection closed after them.
RAW = {"garbage": b"SPLAT 42 what\r\n\r\n",
       "bad_chunked": b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                      b"Transfer-Encoding: chunked\r\n\r\nZZ\r\n{}\r\n0\r\n\r\n"}


def json_answer(value, status=200):
    return status, "application/json", json.dumps(value).encode()


class FaultServer(socketserver.ThreadingTCPServer):
    daemon_threads = True

    def __init__(self, handler):
        super().__init__(("127.0.0.1", 0), None)  # each connection goes to finish_request
        self.handler = handler
        self.requests = []  # (method, path) of every request read
        self._plan, self._lock = deque(), threading.Lock()
        self._idle = set()  # kept-alive connections waiting for their next request
        self._stop = threading.Event()
        self.url = "http://127.0.0.1:%d" % self.server_address[1]
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()

    # --- control -------------------------------------------------------------------
    def plan(self, *actions):
        """The next requests get these actions, in order ("good" for a normal answer)."""
        with self._lock:
            self._plan.extend(actions)
            if actions and actions[0] == "accept_close":
                # The next request must open a connection for the fault to meet it.
                for conn in list(self._idle):
                    conn.shutdown(socket.SHUT_RDWR)

    def pending(self):
        with self._lock:
            return list(self._plan)

    def server_close(self):  # also on leaving a with block
        self._stop.set()
        self.shutdown()
        with self._lock:
            for conn in list(self._idle):
                conn.shutdown(socket.SHUT_RDWR)
        super().server_close()  # joins the connections' threads

    # --- serving -------------------------------------------------------------------
    def verify_request(self, conn, address):
        """False (the connection closed at once) for a planned accept_close."""
        with self._lock:
            if self._plan and self._plan[0] == "accept_close":
                self._plan.popleft()
                return False
        return True

    def handle_error(self, conn, address):
        raise  # a fault of this server's own ends its thread loudly, as any thread's would

    def finish_request(self, conn, address):  # in the connection's own thread
        reader = conn.makefile("rb")
        try:
            while not self._stop.is_set():
                with self._lock:
                    self._idle.add(conn)
                request = _read_request(reader)
                with self._lock:
                    self._idle.discard(conn)
                if request is None:
                    return
                method, target, headers, body = request
                parts = urlsplit(target)
                self.requests.append((method, parts.path))
                with self._lock:
                    action = self._plan.popleft() if self._plan else "good"
                if not self._act(conn, action, method, parts, body):
                    return
                if headers.get("connection", "").lower() == "close":
                    return
        except OSError:
            return
        finally:
            with self._lock:
                self._idle.discard(conn)
            reader.close()
            conn.close()  # the last reference: the FIN, or the planned reset, goes now

    def _act(self, conn, action, method, parts, body):
        """Carries out one action; False when the connection is done."""
        if action in ("drop", "accept_close"):  # a reused connection meets accept_close here
            return False
        if action == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return False
        if action == "slow_headers":
            self._stop.wait(STALL)
            return False
        if action in RAW:
            conn.sendall(RAW[action])
            return False
        if action == "redirect_loop":
            location = parts.path + ("?" + parts.query if parts.query else "")
            conn.sendall(f"HTTP/1.1 302 Found\r\nLocation: {location}\r\nContent-Length: 0\r\n\r\n".encode())
            return True
        if action.startswith("status:"):
            status, ctype, payload = json_answer({"detail": "planned"}, int(action[7:]))
        elif action.startswith("html_"):
            status, ctype, payload = int(action[5:]), "text/html; charset=utf-8", HTML
        else:
            query = {k: v[0] for k, v in parse_qs(parts.query).items()}
            status, ctype, payload = self.handler(method, parts.path, query, body)
            if action == "truncated_json":
                payload = payload[: len(payload) // 2]
        extra = "Content-Encoding: gzip\r\n" if action == "bad_gzip" else ""
        head = (f"HTTP/1.1 {status} X\r\nContent-Type: {ctype}\r\n{extra}"
                f"Content-Length: {len(payload)}\r\n\r\n").encode()
        # The status line is cut before its end: a header block cut short is read by the
        # HTTP library as complete, with an empty body.
        cut = {"close_mid_status": head[:10], "close_mid_body": head + payload[: len(payload) // 2],
               "slow_body": head}
        if action in cut:
            conn.sendall(cut[action])
            if action == "slow_body":
                self._stop.wait(STALL)
            return False
        # Idle from here on: the client may plan the next action as soon as it has
        # this answer, before this thread is back to reading.
        with self._lock:
            self._idle.add(conn)
        conn.sendall(head + payload)
        return True


def _read_request(reader):
    """One request, (method, target, headers, body), or None when the client closed."""
    line = reader.readline()
    if not line:
        return None
    method, target, _ = line.decode("latin-1").split(" ", 2)
    headers = {}
    while (line := reader.readline()).strip():
        name, _, value = line.decode("latin-1").partition(":")
        headers[name.strip().lower()] = value.strip()
    body = reader.read(int(headers.get("content-length", "0")))
    return method, target, headers, body
