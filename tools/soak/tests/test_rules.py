"""The soak's model must be right before it can judge the gateway: the
documented examples, and the cases where a slip would pass a wrong gateway."""

import datetime as dt
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
from soak import rules as R  # noqa: E402
from soak.model import Model, Timeline  # noqa: E402


def version(pkid=1, routecode=123456, start="2026-12-07 06:30", driver="Dana", code=7,
            updater="dispatch", recid=500, car="12-345-67"):
    s = dt.datetime.strptime(start, "%Y-%m-%d %H:%M")
    return R.Version(pkid=pkid, carno=3, carnum=car, recid=recid, drivercode=code,
                     drivername=driver, start=s, end=s + dt.timedelta(minutes=95),
                     routecode=routecode, updater=updater)


class Clock:
    def __init__(self, when):
        self.when = when

    def gateway_time(self, t=None):
        return self.when


class RulesTest(unittest.TestCase):
    def test_line_texts(self):
        for code, key, makat, text in [(123456, "123456", "34506201", "345-62"),
                                       (12345, "012345", "23405100", "234-51"),
                                       (10512, "010512", "05102100", "51-21"),
                                       (234561, "234561", "45601302", "456-13"),
                                       (100012, "100012", "00102001", "01-20")]:
            with self.subTest(code=code):
                self.assertEqual(R.line_key(code), key)
                self.assertEqual(R.line_makat(key), makat)
                self.assertEqual(R.key_of_makat(makat), key)
                self.assertEqual(R.scheds_line_text(code), text)

    def test_operational_day_turns_at_four(self):
        self.assertEqual(R.operational_day(dt.datetime(2026, 12, 8, 3, 59, 59)), dt.date(2026, 12, 7))
        self.assertEqual(R.operational_day(dt.datetime(2026, 12, 8, 4, 0, 0)), dt.date(2026, 12, 8))

    def test_acceptance(self):
        for kw, ok in [({}, True), ({"driver": R.NOT_PERFORMED}, False),
                       ({"driver": R.NOT_ACTIVE}, False), ({"driver": "לא פעיל נהג"}, True),
                       ({"updater": "atmdel-7"}, False), ({"updater": "x-ATMDEL"}, True),
                       ({"updater": None}, True), ({"code": 0}, False), ({"driver": ""}, False)]:
            with self.subTest(**{k: str(v) for k, v in kw.items()}):
                self.assertEqual(R.accepted(version(**kw)), ok)

    def test_newest_row_of_any_day_decides(self):
        day = dt.date(2026, 12, 7)
        today = version(pkid=1)
        tomorrow = version(pkid=2, start="2026-12-08 06:30")
        self.assertEqual(R.selected([today], day), today)
        self.assertIsNone(R.selected([today, tomorrow], day))
        self.assertEqual(R.selected([tomorrow, version(pkid=3)], day).pkid, 3)

    def test_stop_times_and_entry(self):
        rule = R.Rule(dt.time(0), dt.time(23, 59, 59), "0,5,12", "1,1,2")
        self.assertEqual(R.stop_times([rule], version().start), (3, "1;0;1;2;5;1;3;12;2"))
        short = R.Rule(dt.time(0), dt.time(23, 59, 59), "0,5,12", "1")
        self.assertEqual(R.stop_times([short], version().start), (3, "1;0;1;2;5;;3;12;"))
        late = R.Rule(dt.time(7), dt.time(9), "4", "0")
        self.assertEqual(R.stop_times([late], version().start), (1, ""))
        e = R.entry(version(), [rule])
        self.assertEqual(e, "1234567-06:30-08:05-3:1;0;1;2;5;1;3;12;2-Dana")
        self.assertEqual(R.entry_core(e), "1234567-06:30-08:05-Dana")
        self.assertEqual(R.message_entries("Not Found"), [])
        self.assertEqual(R.message_entries("a\\cb"), ["a", "b"])


class ModelTest(unittest.TestCase):
    def test_timeline(self):
        tl = Timeline(None, 0.0)
        tl.set(10.0, "a")
        tl.set(20.0, "b")
        self.assertEqual(tl.at(15.0), "a")
        self.assertEqual(tl.during(12.0, 25.0), ["a", "b"])
        self.assertEqual(tl.spans(15.0, 25.0), [(15.0, 20.0, "a"), (20.0, 25.0, "b")])

    def test_moved_job_left_behind_until_rebuild(self):
        m = Model(Clock(dt.datetime(2026, 12, 7, 12, 0)))
        m.set_day(0.0)
        m.write(100.0, version(pkid=1, routecode=123456))
        m.write(200.0, version(pkid=2, routecode=654321))
        lag = 6
        old, new = "123456", "654321"
        view = m.view(300.0, lag)
        self.assertIn(("12-345-67", 500), view[new][0])
        self.assertIn(("12-345-67", 500), view[old][2])  # tolerated on the old line
        m.rebuilt(250.0, "line list answered")
        view = m.view(300.0, lag)
        self.assertNotIn(("12-345-67", 500), view[old][2])

    def test_cancellation_removes_at_once(self):
        m = Model(Clock(dt.datetime(2026, 12, 7, 12, 0)))
        m.set_day(0.0)
        m.write(100.0, version(pkid=1))
        m.write(200.0, version(pkid=2, driver=R.NOT_ACTIVE))
        view = m.view(300.0, 6)
        self.assertEqual(view["123456"], ({}, {}, {}))


if __name__ == "__main__":
    unittest.main()
