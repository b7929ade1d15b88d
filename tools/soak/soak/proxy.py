"""A loopback proxy between the gateway and the map server that can stop
forwarding (a host that vanished: nothing answers, nothing is refused),
forward slowly (a thin line) or forward late (a congested path: what goes
towards the server is held for a while first). It reads only what it can forward, so the
gateway feels the back-pressure as it would from the real link."""

import socket
import struct
import threading
import time

PASS, BLACKHOLE, THROTTLE, DELAY = "pass", "blackhole", "throttle", "delay"
CHUNK = 4096


class Proxy:
    def __init__(self, upstream_port):
        self.upstream_port = upstream_port
        self.mode = PASS
        self.rate = 0  # bytes per second towards the map server while throttled
        self.delay = 0.0  # seconds each read towards the server is held while delayed
        self.cond = threading.Condition()
        self.stopping = False
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.forwarded = 0
        self.sockets = set()
        self.upstreams = set()  # this proxy's sockets towards the server
        threading.Thread(target=self._accept, daemon=True).start()

    def set_mode(self, mode, rate=0, delay=0.0):
        with self.cond:
            self.mode, self.rate, self.delay = mode, rate, delay
            self.cond.notify_all()

    def close(self):
        with self.cond:
            self.stopping = True
            self.cond.notify_all()
        for s in list(self.sockets) + [self.listener]:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def cut(self):
        """Resets every connection carried now, at both ends (as a firewall
        that drops the flows would have the peers find out); new ones pass."""
        n = 0
        for s in list(self.sockets):
            try:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            n += 1
        return n

    def upstream_ports(self):
        """The local ports of the connections towards the server: how the
        server names the client (PostgreSQL's client_port)."""
        out = []
        for s in list(self.upstreams):
            try:
                out.append(s.getsockname()[1])
            except OSError:
                pass
        return out

    def _wait_open(self):
        with self.cond:
            while self.mode == BLACKHOLE and not self.stopping:
                self.cond.wait(0.5)
            return not self.stopping

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._connect, args=(client,), daemon=True).start()

    def _connect(self, client):
        self.sockets.add(client)
        # A vanished host answers nothing: the connection waits, untouched.
        if not self._wait_open():
            return
        try:
            upstream = socket.create_connection(("127.0.0.1", self.upstream_port), timeout=5)
            upstream.settimeout(None)
        except OSError:
            self._close(client)
            return
        self.sockets.add(upstream)
        self.upstreams.add(upstream)
        pair = [client, upstream]
        threading.Thread(target=self._pump, args=(client, upstream, True, pair), daemon=True).start()
        threading.Thread(target=self._pump, args=(upstream, client, False, pair), daemon=True).start()

    def _close(self, *socks):
        for s in socks:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()
            self.sockets.discard(s)
            self.upstreams.discard(s)

    def _pump(self, src, dst, towards_map, pair):
        try:
            while True:
                if not self._wait_open():
                    break
                size = CHUNK
                with self.cond:
                    throttled = towards_map and self.mode == THROTTLE
                    rate = self.rate
                    delay = self.delay if towards_map and self.mode == DELAY else 0.0
                if throttled:
                    size = max(1, min(CHUNK, rate // 4))
                data = src.recv(size)
                if not data:
                    break
                if delay:
                    time.sleep(delay)
                # Whatever was read when the host vanished waits with it.
                if not self._wait_open():
                    break
                dst.sendall(data)
                self.forwarded += len(data)
                if throttled:
                    time.sleep(len(data) / float(rate))
        except OSError:
            pass
        self._close(*pair)
