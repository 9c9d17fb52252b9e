"""Plays the wake development set through a private audio server's microphone to the real
vorlin-wake, and the same clips to the engine's own keyphrase spotter, and prints one table.

Usage: python3 bench/wake/live_bench.py DEVSET [path/to/vorlin-wake] [--every N]
           [--groups REGEX] [--no-baseline]

DEVSET is made by bench/wake/make_devset.sh. With --every N only every Nth clip is played (the
whole set takes about half an hour, since it plays in real time). Measured on the listener:
recall per group of positives, false wakes per group of negatives (clips with at least one
wake), latency from the end of "Vorlin" to the wake line (wall clock), CPU while the room is
silent and while speech plays (share of one core), and peak resident memory.
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import time
import wave

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
import wake_e2e  # noqa: E402
from wake_e2e import Daemon, Listener  # noqa: E402

# How long after a clip ends its wake may still come: language-model finals wait for the end of
# speech. Later lines count for the next clip, as a host would see them.
SETTLE_SECONDS = 1.5
SILENCE_SECONDS = 20
BASELINE_THRESHOLD = "1e-15"  # the one vorlin-wake spots its phrase with


def clock_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def peak_rss_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def duration(path):
    with wave.open(path) as w:
        return w.getnframes() / w.getframerate()


def manifest(devset, every):
    """(path, kind, group, end of "Vorlin" or None, split) of each clip; sets made before the
    held-out split have four fields a line, all of them development clips."""
    clips = []
    with open(os.path.join(devset, "manifest.tsv")) as f:
        for line in f:
            name, kind, group, end, *split = line.rstrip("\n").split("\t")
            clips.append((os.path.join(devset, name), kind, group,
                          None if end == "-" else float(end), split[0] if split else "dev"))
    return clips[::every]


def baseline_wakes(devset, wav):
    """Detections of pocketsphinx_continuous' keyphrase spotter on the clip."""
    p = subprocess.run(["pocketsphinx_continuous", "-infile", wav, "-keyphrase", "hey vorlin",
                        "-kws_threshold", BASELINE_THRESHOLD, "-dict",
                        os.path.join(devset, "keyphrase.dict"), "-logfn", "/dev/null"],
                       capture_output=True, timeout=120)
    return sum(1 for line in p.stdout.decode().splitlines() if "vorlin" in line)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("devset")
    parser.add_argument("binary", nargs="?", default="vorlin-wake")
    parser.add_argument("--every", type=int, default=1)
    parser.add_argument("--groups", default=".*", help="play only the groups this matches")
    parser.add_argument("--no-baseline", action="store_true",
                        help="leave the engine's own spotter out")
    args = parser.parse_args()
    devset, every = args.devset, args.every
    wake_e2e.BINARY = os.path.abspath(args.binary) if os.sep in args.binary else args.binary
    clips = [c for c in manifest(devset, 1) if re.fullmatch(args.groups, c[2])][::every]
    hz = os.sysconf("SC_CLK_TCK")

    daemon = Daemon()
    listener = Listener(daemon.env)
    try:
        listener.wait_listening()
        pid = listener.p.pid
        ticks = clock_ticks(pid)
        time.sleep(SILENCE_SECONDS)
        silent_cpu = (clock_ticks(pid) - ticks) / hz / SILENCE_SECONDS

        results = []  # (kind, group, wakes, latency or None, baseline wakes)
        speech_ticks = speech_seconds = 0.0
        for wav, kind, group, vorlin_end, split in clips:
            group = "%s %s" % (group, split)
            before = len(listener.out)
            ticks = clock_ticks(pid)
            started = time.monotonic()
            daemon.play(wav)
            ended = time.monotonic()
            speech_ticks += clock_ticks(pid) - ticks
            speech_seconds += ended - started
            time.sleep(SETTLE_SECONDS)
            lines = listener.out[before:]
            latency = None
            if lines and vorlin_end is not None:
                latency = lines[0][0] - (ended - (duration(wav) - vorlin_end))
            baseline = 0 if args.no_baseline else baseline_wakes(devset, wav)
            results.append((kind, group, len(lines), latency, baseline))
        speech_cpu = speech_ticks / hz / speech_seconds
        rss = peak_rss_mb(pid)
        stderr_text = listener.stderr()
    finally:
        listener.close()
        daemon.stop()

    print("clips played: %d (every %d of the set), %.0f s of audio" % (len(clips), every,
                                                                        speech_seconds))
    print("%-44s %-16s %s" % ("", "vorlin-wake", "keyphrase spotter"))
    for kind, label in (("positive", "recall"), ("negative", "false wakes")):
        for group in sorted({g for k, g, *_ in results if k == kind}):
            rows = [r for r in results if r[0] == kind and r[1] == group]
            ours = sum(1 for r in rows if r[2] > 0)
            base = sum(1 for r in rows if r[4] > 0)
            print("%-44s %-16s %s" % ("%s, %s (%d clips)" % (label, group, len(rows)),
                                      "%d%%" % round(100 * ours / len(rows)),
                                      "%d%%" % round(100 * base / len(rows))))
    latencies = [r[3] for r in results if r[3] is not None]
    if latencies:
        print("%-44s %.0f ms" % ("latency after \"Vorlin\", median", 1000 *
                                 statistics.median(latencies)))
    print("%-44s %.2f%%" % ("CPU, silence (one core)", 100 * silent_cpu))
    print("%-44s %.1f%%" % ("CPU, while clips play", 100 * speech_cpu))
    print("%-44s %.1f MB" % ("peak resident memory", rss))
    print("listener stderr: %r" % stderr_text)


if __name__ == "__main__":
    main()
