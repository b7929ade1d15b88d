"""The gateway's clock: real time plus an offset that libfaketime reads from a
control file, so that a fault can step it or carry the day over 04:00 while
the soak and the servers keep the real time."""

import datetime as dt
import os
import time

from .model import Timeline

FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"


class GatewayClock:
    def __init__(self, control_file, offset=0):
        self.control_file = control_file
        self.offsets = Timeline(int(offset), 0.0)
        self._write(int(offset))

    @staticmethod
    def available():
        return os.path.exists(FAKETIME_LIB)

    def environment(self):
        if not self.available():
            return {}
        return {
            "LD_PRELOAD": FAKETIME_LIB,
            "FAKETIME_TIMESTAMP_FILE": self.control_file,
            # Read again at most every second; timers keep the real pace.
            "FAKETIME_CACHE_DURATION": "1",
            "FAKETIME_DONT_FAKE_MONOTONIC": "1",
            "FAKETIME_DONT_RESET": "1",
        }

    def _write(self, offset):
        tmp = self.control_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%+d\n" % offset)
        os.replace(tmp, self.control_file)

    @property
    def offset(self):
        return self.offsets.current

    def step(self, new_offset, t=None):
        t = time.time() if t is None else t
        self.offsets.set(t, int(new_offset))
        # The library reads the file again within a second.
        self._write(int(new_offset))

    def gateway_time(self, t=None):
        """The gateway's local time (UTC: the world runs with TZ=UTC) at real time t."""
        t = time.time() if t is None else t
        return dt.datetime.utcfromtimestamp(t + self.offsets.at(t)).replace(microsecond=0)

    def offset_for(self, target, t=None):
        """The offset that makes the gateway's clock read `target` now."""
        t = time.time() if t is None else t
        return int(round((target - dt.datetime.utcfromtimestamp(t)).total_seconds()))
