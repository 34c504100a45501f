"""The soak's load in rounds: one round for a plain run; with --all, rounds of 10 minutes with a kill -9
and a restart with --restore after each (up to 15 minutes: two rounds, the second a third
of the run). What each round measured, and the workers' results summed over the rounds."""
from array import array

ROUND_S = 600.0
# The server takes about 20 s to reach its working size from a start (store, event ring, connection slots
# for the slow clients, the recording's pages): a round whose warm-up is shorter cannot judge RSS growth.
MIN_WARM_S = 20.0


def round_lengths(seconds, split):
    if not split:
        return [seconds]
    each = min(ROUND_S, seconds * 2 / 3)
    lengths = []
    while seconds - sum(lengths) > 0.5:
        lengths.append(min(each, seconds - sum(lengths)))
    return lengths


class Round:
    """One round's figures: the server's RSS (seconds since the round began, bytes), its descriptors with
    the board connected and no HTTP connection before and after, the frames written, the CPU shares,
    and with --all the kill after it: (value restored, seconds of acknowledged writes lost)."""

    def __init__(self, index, seconds, workers):
        self.index, self.seconds, self.workers = index, seconds, workers
        self.outcomes, self.rss, self.cpu = [], [], None
        self.fds_start = self.fds_end = self.rss_start = self.rss_end = None
        self.connected, self.frames, self.kill = False, 0, None

    def warm_s(self, warm_up):
        return min(warm_up, self.seconds / 2)

    def growth(self, warm_up):
        """RSS after the warm-up (or half the round when shorter) and at the end, or None where not measured."""
        warm = next((rss for t, rss in self.rss if t >= self.warm_s(warm_up)), None)
        return warm, self.rss_end

    def missing(self):
        got = {o["worker"] for o in self.outcomes}
        return [w for w in self.workers if w not in got]


def merged(rounds):
    """The workers' results over all rounds, by worker: counts, notes and faults summed, samples and
    probe latencies joined."""
    by = {}
    for r in rounds:
        for o in r.outcomes:
            into = by.setdefault(o["worker"], dict(worker=o["worker"], counts={}, notes={}, faults=0, samples=[],
                                                   max_open=0, latencies=array("d"), slowest=[]))
            for key in ("counts", "notes"):
                for k, n in o[key].items():
                    into[key][k] = into[key].get(k, 0) + n
            into["faults"] += o["faults"]
            into["samples"] += o["samples"]
            into["max_open"] = max(into["max_open"], o.get("max_open", 0))
            if "latencies" in o:
                into["latencies"].frombytes(o["latencies"])
                into["slowest"] = sorted(into["slowest"] + o["slowest"])[-5:]
    return by
