"""The report: one row per fault kind, totals, the seed, and the first
violation in full."""


from .faults import KINDS


def fmt_s(x):
    return "-" if x is None else "%.1f s" % x


def report(soak, interrupted, failure):
    out = []
    args = soak.args
    c = getattr(soak, "checker", None)
    faults = getattr(soak, "faults", None)
    out.append("")
    pair = getattr(args, "pair", False)
    out.append("Volmara soak%s: database %s, %g minutes, interval %d s, seed %s"
               % (" of a standby pair" if pair else "", args.db, args.minutes, args.interval,
                  soak.seed))
    if c is None or faults is None:
        out.append("The world did not come up." + ("\n" + failure if failure else ""))
        return "\n".join(out)
    out.append("")
    out.append("| fault | injected | healed | longest time to a correct map | violations |")
    out.append("|---|---|---|---|---|")
    by_kind, known_by_kind = {}, {}
    for v in c.violations:
        by_kind[v.fault] = by_kind.get(v.fault, 0) + 1
        if v.expected:
            known_by_kind[v.fault] = known_by_kind.get(v.fault, 0) + 1

    def count(kind):
        n = by_kind.get(kind, 0)
        k = known_by_kind.get(kind, 0)
        return "%d (%d known)" % (n, k) if k else "%d" % n
    done = list(faults.done)
    if c.active is not None:
        done_active = [c.active]
    else:
        done_active = []
    total_inj = total_heal = 0
    worst = None
    for kind in getattr(faults, "all_kinds", KINDS):
        inj = [f for f in done + done_active if f.kind == kind]
        if kind in faults.skipped:
            out.append("| %s | skipped: %s | | | |" % (kind, faults.skipped[kind]))
            continue
        if kind not in faults.kinds:
            continue
        healed = [f for f in inj if f.healed is not None]
        ttcs = [f.ttc for f in healed if f.ttc is not None]
        never = len([f for f in healed if f.ttc is None])
        longest = fmt_s(max(ttcs)) if ttcs else "-"
        if never:
            longest += " (%d never)" % never
        if ttcs:
            worst = max(worst or 0, max(ttcs))
        total_inj += len(inj)
        total_heal += len(healed)
        out.append("| %s | %d | %d | %s | %s |" % (kind, len(inj), len(healed), longest,
                                                  count(kind)))
    if by_kind.get("none"):
        out.append("| (no fault) | | | | %s |" % count("none"))
    known = [v for v in c.violations if v.expected]
    failing = [v for v in c.violations if not v.expected]
    out.append("| **total** | %d | %d | %s | %s |" % (
        total_inj, total_heal, fmt_s(worst),
        "%d (%d known)" % (len(c.violations), len(known)) if known else len(c.violations)))
    if pair:
        out.append("(with a takeover, the time to a correct map counts from the new active's "
                   "first full push)")
        out += soak.pair_report()
    out.append("")
    load = soak.load
    out.append("Load: " + ", ".join("%s %d" % (k, n) for k, n in sorted(load.counts.items())))
    j = soak.world.journal
    out.append("Map: %d changed line messages recorded, %d line requests, %d logins, %d line-list "
               "answers; %d day rebuilds modelled; map checked %d times, wrong %d times "
               "(allowed while settling)"
               % (j.messages, len(j.requests), j.logins, len(j.q_answers), c.rebuild_count,
                  c.map_checks, c.map_failures))
    out.append("Scheds: %d rows for %d job versions written; Debug.TXT at most %d bytes"
               % (c.scheds_rows, len(soak.model.versions_seen), c.max_debug))
    growth = getattr(soak, "growth", None)
    if growth:
        for row in growth:
            out.append("Gateway pid %d over %.0f min: RSS %d -> %d kB, descriptors %d -> %d, "
                       "threads %d -> %d" % (row["pid"], row["minutes"], row["rss_kb"][0],
                                             row["rss_kb"][1], row["fds"][0], row["fds"][1],
                                             row["threads"][0], row["threads"][1]))
    else:
        out.append("Gateway growth: no run of the gateway lived long enough to measure")
    if interrupted:
        out.append("Interrupted before the end.")
    if failure:
        out.append("The soak itself failed:\n" + failure)
    if c.violations:
        codes = {}
        for v in c.violations:
            codes[v.code] = codes.get(v.code, 0) + 1
        out.append("Violations by code: " + ", ".join(
            "%s %d%s" % (k, n, " (known)" if k in c.expected else "") for k, n in sorted(codes.items())))
    if failing:
        v = failing[0]
        out.append("")
        out.append("FAILED: %d violation(s). The first, %.0f s into the run (fault: %s, code %s):"
                   % (len(failing), v.t - soak.t0, v.fault, v.code))
        out.append("  %s" % v.what)
        out.append("  %s" % v.details)
        out.append("Repeat with: scripts/soak%s --minutes %g --db %s --seed %s"
                   % (" --pair" if pair else "", args.minutes, args.db, soak.seed))
    elif not interrupted and not failure:
        out.append("")
        out.append("PASSED: no violation%s." % (
            " other than the known ones (%s)" % ", ".join(sorted({v.code for v in known}))
            if known else ""))
    return "\n".join(out)
