#!/usr/bin/python3
"""A recording map server for the soak: answers the login and the line-list
request, asks for a line now and then as a map operator does, and writes to a
journal every ExpLineSched message whose text differs from the last one of its
line, with the time it arrived. The journal outlives the process, so a killed
and restarted server keeps what it had (as a real map server keeps its state).

Journal: one JSON object a line, {"t": seconds, "k": kind, ...}.

With --listen NAME=PORT (repeated) it listens on one port per gateway of a
standby pair and names the gateway in every record ("gw"); it then writes
every line a gateway sends, also a message equal to the last one of its line
("same") and the empty liveness line ("live"), so that whatever arrives on a
connection is seen with its time."""

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
        self.gw_of = {}  # socket -> the gateway's name (--listen)
        self.pair = bool(args.listen)
        self.order = []  # open sockets, oldest first (--listen)
        self.last_body = {}
        self.codes = []
        self.newest = None
        self.next_request = time.time() + args.request_every
        # A restarted server knows the lines it saw before.
        try:
            with open(args.journal, encoding="utf-8") as f:
                for line in f:
                    rec = json.loads(line)
                    if rec.get("k") == "msg" and "body" in rec:
                        self.last_body[self.body_key(rec.get("gw"), rec["code"])] = rec["body"]
                        if rec["code"] not in self.codes and rec["code"] != args.unknown_code:
                            self.codes.append(rec["code"])
        except (OSError, ValueError):
            pass

    def body_key(self, gw, code):
        return (gw, code) if self.pair else code

    def log(self, kind, sock=None, **fields):
        fields.update(t=time.time(), k=kind)
        if self.pair and sock is not None:
            fields["gw"] = self.gw_of.get(sock, "?")
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
            if self.pair:
                self.order.remove(sock)
                if self.newest is sock:
                    # The connection that stays is asked from now on.
                    self.newest = self.order[-1] if self.order else None
                self.log("close", sock)
                del self.gw_of[sock]
                return
            if self.newest is sock:
                self.newest = None
            self.log("close")

    def handle(self, sock, text):
        if text.startswith("$L,"):
            self.send(sock, "$A,L,")
            self.log("login", sock)
        elif text.upper().startswith("$Q,0"):
            if self.pair:
                self.log("rx", sock, what="Q")
            if self.send(sock, "$Q,0," + ",".join(self.args.vehicles.split(","))):
                self.log("Q", sock)
        elif text.startswith("$NotifyOrganization,"):
            rest = text[len("$NotifyOrganization,"):]
            org, sep, tail = rest.partition(",ExpLineSched\\c")
            if not sep:
                self.log("bad", text=text)
                return
            code, _, body = tail.partition("\\c")
            key = self.body_key(self.gw_of.get(sock), code)
            if self.last_body.get(key) != body:
                self.last_body[key] = body
                self.log("msg", sock, org=org, code=code, body=body)
            elif self.pair:
                self.log("msg", sock, org=org, code=code, same=True)
            if code not in self.codes and code != self.args.unknown_code:
                self.codes.append(code)
        elif text.strip():
            self.log("other", sock, text=text[:200])
        elif self.pair:
            self.log("rx", sock, what="live")

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
        sock = self.newest
        if self.send(sock, "$MapNotification,dedod,soak,ExpLineSchedReq,%s" % code):
            self.log("req", sock, code=code)

    def listeners(self):
        """The listening sockets: one port, or one per gateway of a pair
        (each registered with the gateway's name)."""
        ports = [(None, self.args.port)] if not self.pair else [
            (name, int(port)) for name, port in (x.split("=", 1) for x in self.args.listen)]
        out = []
        for name, port in ports:
            ls = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            ls.bind(("127.0.0.1", port))
            ls.listen(8)
            self.sel.register(ls, selectors.EVENT_READ, name)
            out.append(ls)
        return out

    def run(self):
        listening = self.listeners()
        self.log("start")
        while True:
            timeout = max(0.0, self.next_request - time.time())
            for key, _ in self.sel.select(timeout):
                if key.fileobj in listening:
                    sock, _ = key.fileobj.accept()
                    self.clients[sock] = bytearray()
                    self.sel.register(sock, selectors.EVENT_READ)
                    self.newest = sock
                    if self.pair:
                        self.gw_of[sock] = key.data
                        self.order.append(sock)
                    self.log("open", sock)
                else:
                    self.read(key.fileobj)
            if time.time() >= self.next_request:
                self.request_line()


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--port", type=int)
    p.add_argument("--listen", action="append", default=[], metavar="NAME=PORT",
                   help="one port per gateway of a pair, each named in the journal")
    p.add_argument("--journal", required=True)
    p.add_argument("--vehicles", default="dedod/1234567")
    p.add_argument("--request-every", type=float, default=10.0)
    p.add_argument("--unknown-code", default="99909909")
    p.add_argument("--seed", default="0")
    args = p.parse_args()
    if not args.listen and args.port is None:
        p.error("--port or --listen is needed")
    Server(args).run()


if __name__ == "__main__":
    main()
