"""The documented rules, written from the system's own documentation and not
from the gateway's classes: which job rows a cycle selects, which it accepts,
the line keys, the schedules row and the map entry of a trip."""

import datetime as dt
from collections import namedtuple

DAY_START = dt.timedelta(hours=4)

# A started gateway checks its map connection 2 s after connecting it, opens
# the databases 0.2 s later and runs its first cycle 1 s after that: no line
# can reach the map from a restarted gateway before this many seconds.
START_UP = 3.2
ORG = "dedod"

# One stored job row as the dispatch systems wrote it (one version).
Version = namedtuple(
    "Version",
    "pkid carno carnum recid drivercode drivername start end routecode updater",
)

NOT_PERFORMED = "לא בוצע"
NOT_ACTIVE = "לא פעיל"


def operational_day(gateway_time):
    """The operational day begins at 04:00: 03:59 still belongs to the day before."""
    return (gateway_time - DAY_START).date()


def day_bounds(day):
    start = dt.datetime.combine(day, dt.time()) + DAY_START
    return start, start + dt.timedelta(days=1)


def in_day(version, day):
    start, end = day_bounds(day)
    return version.start is not None and start <= version.start < end


def selected(rows, day):
    """The selection of one job (one CarNum and RecID): its newest row (highest
    key, whatever its day), and only when that row starts in the day."""
    if not rows:
        return None
    newest = max(rows, key=lambda v: v.pkid)
    return newest if in_day(newest, day) else None


def accepted(v):
    """The acceptance test; a rejected newest row removes a known trip."""
    if v.carnum is None or v.drivername is None or v.drivercode is None:
        return False
    if v.updater is not None and v.updater.upper().startswith("ATMDEL"):
        return False
    if v.carnum.replace("-", "").strip("0") == "" or v.drivercode == 0:
        return False
    if v.drivername in ("", NOT_PERFORMED, NOT_ACTIVE):
        return False
    return True


def line_key(routecode):
    return ("%06d" % int(routecode))[:6]


def line_makat(key):
    """The eight-character route name: Line, Subdiv, Direction, Chalufa, Eshkol."""
    return key[2:5] + "0" + key[5] + key[1] + "0" + key[0]


def key_of_makat(code):
    """The line key a map request names (characters 8, 6, 1-3, 5 of the code)."""
    return code[6:8][-1:] + code[5:6] + code[0:3] + code[4:5]


def scheds_line_text(routecode):
    m = line_key(routecode)
    text = m[2:5] + "-" + m[5] + m[1]
    return text[1:] if text.startswith("0") else text


def storage_time(t):
    return t.strftime("%Y-%m-%d %H:%M:%S")


def scheds_row(v):
    """The Scheds row one selected version must leave, in column order:
    IntrMedRecordID, Makat, DriverName, DriverNumber, StartTime, EndTime,
    Source, Destination, TruckNumber, TruckID, ORVIKID."""
    car = v.carnum.replace("-", "")
    return (
        str(v.recid),
        scheds_line_text(v.routecode),
        v.drivername,
        str(v.drivercode),
        storage_time(v.start),
        storage_time(v.end),
        "",
        "",
        car,
        str(v.carno),
        car,
    )


# One route-times rule without dates: the window and the two stop lists.
Rule = namedtuple("Rule", "from_time to_time arrival stay")


def stop_times(rules, start):
    """Stops and stop-times text of a trip: the first rule (in window order)
    whose window holds the trip's start time; none matching gives 1 stop and no
    text, and so does a route without rules (the processing resets them)."""
    t = start.time()
    for r in sorted(rules, key=lambda r: r.from_time):
        if r.from_time <= t <= r.to_time:
            arrivals = r.arrival.split(",")
            stays = r.stay.split(",")
            groups = []
            for i, a in enumerate(arrivals, 1):
                s = stays[i - 1] if i <= len(stays) else ""
                groups.append("%d;%s;%s" % (i, a, s))
            return len(arrivals), ";".join(groups)
    return 1, ""


def entry(v, rules):
    """A trip's entry in an ExpLineSched message."""
    stops, text = stop_times(rules, v.start)
    vehicle = v.carnum.replace("-", "") or "***"
    out = "%s-%s-%s-%d:%s" % (vehicle, v.start.strftime("%H:%M"), v.end.strftime("%H:%M"), stops, text)
    if v.drivername:
        out += "-" + v.drivername
    return out


def entry_core(e):
    """An entry without its stops: vehicle, start, end and driver. A trip left
    behind on a line keeps whatever stops the route pass last gave it."""
    head = e.split("-", 3)
    if len(head) < 4:
        return e
    rest = head[3]
    driver = rest.split("-", 1)[1] if "-" in rest else ""
    return "%s-%s-%s-%s" % (head[0], head[1], head[2], driver)


def message_entries(body):
    """The entries of one received ExpLineSched message body (after the code)."""
    if body == "Not Found" or body == "":
        return []
    return body.split("\\c")
