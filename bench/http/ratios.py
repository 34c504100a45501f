#!/usr/bin/env python3
"""Pontivo's figures against nginx from one peer-kit run (results.tsv), with
PASS/MISS per target. Medians over runs, computed as the kit's summarize.py
does, so the numbers match its tables.

usage: ratios.py results.tsv [--peer pontivo] [--ref nginx]
exit status: 0 all targets met, 1 a target missed or a figure is missing.
"""
import argparse
import sys
from collections import defaultdict
from statistics import median


def load(path):
    wrk = defaultdict(list)    # (peer, path, conns) -> [row]
    probe = defaultdict(list)  # (peer, path, place) -> [row]
    runs = set()
    for line in open(path):
        f = line.rstrip("\n").split("\t")
        if f[0] == "wrk":
            wrk[f[2], f[3], int(f[4])].append(dict(
                rps=float(f[5]), req=int(f[6]), err=int(f[7]), cpr=float(f[8]),
                srv=float(f[12]), tw_srv=int(f[13]), tw_cli=int(f[14])))
            runs.add(f[1])
        elif f[0] == "probe":
            probe[f[2], f[3], f[4]].append(dict(
                ok=int(f[5]), bad=int(f[6]), noclose=int(f[7]), err=int(f[8]), p50=float(f[9])))
            runs.add(f[1])
    return wrk, probe, runs


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("results")
    ap.add_argument("--peer", default="pontivo")
    ap.add_argument("--ref", default="nginx")
    a = ap.parse_args()
    wrk, probe, runs = load(a.results)
    paths = sorted({k[1] for k in wrk}, key=lambda p: (p != "get", p))
    top = max((k[2] for k in wrk), default=None)

    # Each getter returns the per-run values; the figure is their median.
    def rps(peer, p, c):
        return [r["rps"] for r in wrk.get((peer, p, c), [])]

    def srv_us(peer, p):
        # server-CPU busy time per request at the highest c: the figure that
        # separates fast servers when the single wrk thread is the bottleneck
        return [r["srv"] / 100 * 1e6 / r["rps"] for r in wrk.get((peer, p, top), []) if r["rps"]]

    def p50(peer, p, place):
        return [r["p50"] for r in probe.get((peer, p, place), [])]

    # (label, getter, max ratio or None, min ratio or None)
    metrics = [(f"server CPU us/req c={top}", srv_us, 1.0, None)]
    for c in (16, 64):
        metrics.append((f"req/s c={c}", lambda pe, p, c=c: rps(pe, p, c), None, 1.0))
    metrics.append(("probe p50 us, client other CPU", lambda pe, p: p50(pe, p, "x"), 1.0, None))
    metrics.append(("probe p50 us, client same CPU", lambda pe, p: p50(pe, p, "same"), 1.0, None))

    print(f"{a.peer} vs {a.ref}, same run, medians over {len(runs)} run(s)")
    hdr = ["figure", "path", a.peer, a.ref, "ratio", "target", "result", "spread %"]
    rows, missed, noisy = [], 0, 0
    for label, get, hi, lo in metrics:
        for p in paths:
            vs, rs = get(a.peer, p), get(a.ref, p)
            v, r = (median(vs) if vs else None), (median(rs) if rs else None)
            target = f"<= {hi}x" if hi else f">= {lo}x"
            if v is None or not r:
                rows.append([label, p, fmt(v), fmt(r), "-", target, "MISS (no data)", "-"])
                missed += 1
                continue
            q = v / r
            ok = q <= hi if hi else q >= lo
            missed += not ok
            sp = max(spread(vs), spread(rs))
            noisy += sp > 25
            rows.append([label, p, fmt(v), fmt(r), f"{q:.2f}", target, "PASS" if ok else "MISS", f"{sp:.0f}"])
    table(hdr, rows)
    print("spread %: (max-min)/median over runs, the larger of the two servers'"
          + ("" if len(runs) > 1 else "; one run shows no spread, so noise cannot be judged"))
    if noisy:
        print(f"WARNING: {noisy} figure(s) varied by more than 25% between runs; other work on the "
              "machine was probably competing, so these ratios are not reliable")

    # Ratios only mean something if every request really had its own
    # connection, the server closed it, and the answers were right.
    print()
    print(f"checks for {a.peer} (all runs):")
    hdr = ["path", "conn/req", "wrk errors", "probe bad/noclose/err", "closer", "result"]
    rows = []
    for p in paths:
        allw = [r for (pe, pp, _), rs in wrk.items() if pe == a.peer and pp == p for r in rs]
        pr = probe.get((a.peer, p, "x"), []) + probe.get((a.peer, p, "same"), [])
        cpr = [r["cpr"] for r in allw]
        errs = sum(r["err"] for r in allw)
        pbad = [sum(x[k] for x in pr) for k in ("bad", "noclose", "err")]
        tws, twc = sum(r["tw_srv"] for r in allw), sum(r["tw_cli"] for r in allw)
        closer = "server" if tws > twc else ("client" if twc > tws else "?")
        ok = bool(cpr) and bool(pr) and 0.95 <= min(cpr) and max(cpr) <= 1.05 \
            and errs == 0 and sum(pbad) == 0 and closer == "server"
        missed += not ok
        rows.append([p, f"{min(cpr):.3f}-{max(cpr):.3f}" if cpr else "-", str(errs),
                     "/".join(map(str, pbad)), closer, "PASS" if ok else "MISS"])
    table(hdr, rows)
    print()
    print("all targets met" if not missed else f"{missed} target(s)/check(s) missed")
    return 1 if missed else 0


def spread(vals):
    m = median(vals)
    return 100.0 * (max(vals) - min(vals)) / m if m else 0.0


def fmt(v):
    if v is None:
        return "-"
    return f"{v:,.0f}" if v >= 1000 else f"{v:.1f}"


def table(hdr, rows):
    w = [max(len(str(x)) for x in col) for col in zip(hdr, *rows)]
    for r in [hdr, ["-" * x for x in w]] + rows:
        print("  ".join(str(c).ljust(w[i]) if i < 2 else str(c).rjust(w[i]) for i, c in enumerate(r)))


if __name__ == "__main__":
    sys.exit(main())
