#!/usr/bin/env python3
"""Recall, false wakes and latency of the neural phrase spotter at a range of thresholds, from
the window scores phrase_scores writes:
    phrase_sweep.py SCORES.tsv [THRESHOLD ...]
A clip wakes at the first window whose score reaches the threshold; positives count once, a
negative's every such window counts (a long negative file may wake more than once)."""
import collections
import statistics
import sys


def read(path):
    clips = []
    for line in open(path):
        fields = line.rstrip("\n").split("\t")
        if len(fields) < 5:
            continue
        windows = []
        for pair in fields[5:]:
            end, score = pair.split(":")
            windows.append((float(end), float(score)))
        vorlin_end = None if fields[4] == "-" else float(fields[4])
        clips.append(dict(file=fields[0], kind=fields[1], group=fields[2], split=fields[3],
                          vorlin_end=vorlin_end, windows=windows))
    return clips


def summary(clips, threshold):
    rows = collections.OrderedDict()
    latencies = []
    for clip in clips:
        key = (clip["split"], clip["group"], clip["kind"])
        row = rows.setdefault(key, [0, 0])
        row[1] += 1
        hits = [end for end, score in clip["windows"] if score >= threshold]
        if clip["kind"] == "positive":
            if hits:
                row[0] += 1
                if clip["vorlin_end"] is not None:
                    latencies.append(hits[0] - clip["vorlin_end"])
        else:
            row[0] += len(hits)
    return rows, latencies


def main():
    clips = read(sys.argv[1])
    thresholds = [float(t) for t in sys.argv[2:]] or [-4, -6, -8, -10, -12]
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
