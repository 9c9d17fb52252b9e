#!/usr/bin/env python3
"""Recall, false wakes and latency of the neural phrase spotter at a range of thresholds, from
the window scores phrase_scores writes:
    phrase_sweep.py SCORES.tsv [THRESHOLD ...]
    phrase_sweep.py --names K --margin M SCORES.tsv [THRESHOLD ...]
The second form reads the scores of every phrase (phrase_scores with WAKE_EACH=1): the first K
phrases are the name's, the rest its competitors; a window holds the name only where its best
phrase beats the best competitor by M or more.
As the spotter decides: a phrase counts when it holds in two hearings of a window in a row, or in
the window's last hearing. Positives count once; a negative's every such spotting counts (a long
file may wake more than once), and a spotting starts the window afresh, as the spotter does."""
import collections
import statistics
import sys


def window_score(fields, names, margin):
    """The window's score: the best phrase's, or with `names`, the name's against competitors."""
    if names is None:
        return float(fields[1])
    each = [float(x) for x in fields[4].split(",")]
    name = max(each[:names])
    rival = max(each[names:], default=float("-inf"))
    return name if name - rival >= margin else float("-inf")


def read(path, names=None, margin=0.0):
    clips = []
    for line in open(path):
        fields = line.rstrip("\n").split("\t")
        if len(fields) < 5:
            continue
        windows = []
        for window in fields[5:]:
            parts = window.split(":")
            end, begin, closing = parts[0], parts[2], parts[3]
            windows.append((float(end), window_score(parts, names, margin), float(begin),
                            closing == "1"))
        vorlin_end = None if fields[4] == "-" else float(fields[4])
        clips.append(dict(file=fields[0], kind=fields[1], group=fields[2], split=fields[3],
                          vorlin_end=vorlin_end, windows=windows))
    return clips


def spottings(windows, threshold):
    """Ends of the windows where the spotter would spot, at `threshold`."""
    hits = []
    held = False
    begin = None
    resume = -1.0
    for end, score, window_begin, closing in windows:
        if window_begin != begin:
            held = False  # a window of its own
            begin = window_begin
        if end <= resume:
            continue  # heard before, in a window the last spotting ended
        holds = score >= threshold
        if holds and (held or closing):
            hits.append(end)
            resume = end
            held = False
            continue
        held = holds and not closing
    return hits


def summary(clips, threshold):
    rows = collections.OrderedDict()
    latencies = []
    for clip in clips:
        key = (clip["split"], clip["group"], clip["kind"])
        row = rows.setdefault(key, [0, 0])
        row[1] += 1
        hits = spottings(clip["windows"], threshold)
        if clip["kind"] == "positive":
            if hits:
                row[0] += 1
                if clip["vorlin_end"] is not None:
                    latencies.append(hits[0] - clip["vorlin_end"])
        else:
            row[0] += len(hits)
    return rows, latencies


def main():
    args = sys.argv[1:]
    names, margin = None, 0.0
    while args and args[0].startswith("--"):
        if args[0] == "--names":
            names = int(args[1])
        elif args[0] == "--margin":
            margin = float(args[1])
        else:
            sys.exit("phrase_sweep: unknown option " + args[0])
        args = args[2:]
    clips = read(args[0], names, margin)
    thresholds = [float(t) for t in args[1:]] or [-4, -6, -8, -10, -12]
    for threshold in thresholds:
        rows, latencies = summary(clips, threshold)
        print(f"threshold {threshold}")
        for (split, group, kind), (hit, total) in rows.items():
            what = "recall" if kind == "positive" else "wakes"
            share = f" ({100 * hit / total:.0f}%)" if kind == "positive" else ""
            print(f"  {split:5} {group:22} {what:6} {hit}/{total}{share}")
        if latencies:
            latencies.sort()
            p90 = latencies[int(0.9 * (len(latencies) - 1))]
            print(f"  latency median {statistics.median(latencies):.2f} s, p90 {p90:.2f} s, "
                  f"early {sum(1 for x in latencies if x < -0.3)}")


if __name__ == "__main__":
    main()
