#!/usr/bin/python3
"""A recording map server for the soak: answers the login and the line-list
request, asks for a line now and then as a map operator does, and writes to a
journal every ExpLineSched message whose text differs from the last one of its
line, with the time it arrived. The journal outlives the process, so a killed
and restarted server keeps what it had (as a real map server keeps its state).

Journal: one JSON object a line, {"t": seconds, "k": kind, ...}."""

import argparse
import json
import random
import selectors
import socket
import time

ENCODING = "cp1255"  # the map wire's code page


class Server:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.journal = open(args.journal, "a", encoding="utf-8")
        self.sel = selectors.DefaultSelector()
        self.clients = {}  # socket -> bytearray
        self.last_body = {}
        self.codes = []
        self.newest = None
        self.next_request = time.time() + args.request_every
        # A restarted server knows the lines it saw before.
        try:
            with open(args.journal, encoding="utf-8") as f:
                for line in f:
                    rec = json.loads(line)
                    if rec.get("k") == "msg":
                        self.last_body[rec["code"]] = rec["body"]
                        if rec["code"] not in self.codes and rec["code"] != args.unknown_code:
                            self.codes.append(rec["code"])
        except (OSError, ValueError):
            pass

    def log(self, kind, **fields):
        fields.update(t=time.time(), k=kind)
        self.journal.write(json.dumps(fields, ensure_ascii=False) + "\n")
        self.journal.flush()

    def send(self, sock, text):
        try:
            sock.sendall(text.encode(ENCODING, "replace") + b"\r\n")
        except OSError:
            self.drop(sock)
            return False
        return True

    def drop(self, sock):
        if sock in self.clients:
            self.sel.unregister(sock)
            del self.clients[sock]
            sock.close()
            if self.newest is sock:
                self.newest = None
            self.log("close")

    def handle(self, sock, text):
        if text.startswith("$L,"):
            self.send(sock, "$A,L,")
            self.log("login")
        elif text.upper().startswith("$Q,0"):
            if self.send(sock, "$Q,0," + ",".join(self.args.vehicles.split(","))):
                self.log("Q")
        elif text.startswith("$NotifyOrganization,"):
            rest = text[len("$NotifyOrganization,"):]
            org, sep, tail = rest.partition(",ExpLineSched\\c")
            if not sep:
                self.log("bad", text=text)
                return
            code, _, body = tail.partition("\\c")
            if self.last_body.get(code) != body:
                self.last_body[code] = body
                self.log("msg", org=org, code=code, body=body)
            if code not in self.codes and code != self.args.unknown_code:
                self.codes.append(code)
        elif text.strip():
            self.log("other", text=text[:200])

    def read(self, sock):
        try:
            data = sock.recv(65536)
        except OSError:
            data = b""
        if not data:
            self.drop(sock)
            return
        buf = self.clients[sock]
        buf += data
        while True:
            i = buf.find(b"\n")
            if i < 0:
                break
            line = bytes(buf[:i]).rstrip(b"\r")
            del buf[: i + 1]
            self.handle(sock, line.decode(ENCODING, "replace"))

    def request_line(self):
        self.next_request = time.time() + self.args.request_every
        if self.newest is None or not self.codes:
            return
        code = self.args.unknown_code if self.rng.random() < 0.1 else self.rng.choice(self.codes)
        if self.send(self.newest, "$MapNotification,dedod,soak,ExpLineSchedReq,%s" % code):
            self.log("req", code=code)

    def run(self):
        ls = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        ls.bind(("127.0.0.1", self.args.port))
        ls.listen(8)
        self.sel.register(ls, selectors.EVENT_READ)
        self.log("start")
        while True:
            timeout = max(0.0, self.next_request - time.time())
            for key, _ in self.sel.select(timeout):
                if key.fileobj is ls:
                    sock, _ = ls.accept()
                    self.clients[sock] = bytearray()
                    self.sel.register(sock, selectors.EVENT_READ)
                    self.newest = sock
                    self.log("open")
                else:
                    self.read(key.fileobj)
            if time.time() >= self.next_request:
                self.request_line()


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--journal", required=True)
    p.add_argument("--vehicles", default="dedod/1234567")
    p.add_argument("--request-every", type=float, default=10.0)
    p.add_argument("--unknown-code", default="99909909")
    p.add_argument("--seed", default="0")
    Server(p.parse_args()).run()


if __name__ == "__main__":
    main()
