"""Measures vorlin-dictate against the engine's own recognizer on the same audio.

Usage: python3 bench/dictate_bench.py [path/to/vorlin-dictate] [runs]

Prints one table: CPU time for two minutes of speech piped as fast as possible, word error rate
on the librivox recordings, latency of the first provisional line and of the final line when
audio is fed in real time, and peak resident memory. The machine is shared and noisy: each
figure is the median of several runs, and the CPU figure is compared as a ratio within one run.
"""

import json
import math
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import wave

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from e2e_common import feed_in_real_time, librivox_clips, word_errors, words_of  # noqa: E402

BINARY = sys.argv[1] if len(sys.argv) > 1 else "build/release/dictate/vorlin-dictate"
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 3


def run_measured(cmd, stdin_bytes=None):
    """Runs cmd; returns (stdout, cpu seconds, peak RSS in MB) of that child alone."""
    with tempfile.TemporaryFile() as out:
        p = subprocess.Popen(cmd, stdin=subprocess.PIPE if stdin_bytes is not None else None,
                             stdout=out, stderr=subprocess.DEVNULL)
        if stdin_bytes is not None:
            threading.Thread(target=lambda: (p.stdin.write(stdin_bytes), p.stdin.close())).start()
        _, status, usage = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
        if p.returncode != 0:
            raise SystemExit("%s exited with %d" % (cmd[0], p.returncode))
        out.seek(0)
        return out.read(), usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0


def write_wav(path, pcm):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(16000)
        w.writeframes(pcm)


def baseline(wav):
    return ["pocketsphinx_continuous", "-infile", wav, "-logfn", "/dev/null"]


def speech_onset(pcm):
    """Seconds to the first 10 ms frame louder than a tenth of the loudest frame."""
    frames = [pcm[i:i + 320] for i in range(0, len(pcm) - 320, 320)]
    energy = [math.sqrt(sum(int.from_bytes(f[j:j + 2], "little", signed=True) ** 2
                            for j in range(0, 320, 8)) / 40) for f in frames]
    loud = max(energy) / 10
    return next(i for i, e in enumerate(energy) if e > loud) * 0.01


def realtime_latencies(pcm):
    """Feeds pcm at the speed of speech; returns (first line after speech onset, final line
    after end of input), in ms."""
    silence = b"\0" * 32000
    onset = 1.0 + speech_onset(pcm)
    start, closed, arrivals, _ = feed_in_real_time(BINARY, silence + pcm)
    first = arrivals[0][0] - (start + onset)
    return 1000 * first, 1000 * (arrivals[-1][0] - closed)


def main():
    clips = librivox_clips()
    speech = b"".join(c[1] for c in clips)
    two_minutes = speech * int(math.ceil(120 * 32000 / len(speech)))
    tmp = tempfile.mkdtemp()
    long_wav = os.path.join(tmp, "two-minutes.wav")
    write_wav(long_wav, two_minutes)

    ours_cpu, base_cpu, ours_rss, base_rss = [], [], [], []
    for _ in range(RUNS):
        _, cpu, rss = run_measured([BINARY], two_minutes)
        ours_cpu.append(cpu)
        ours_rss.append(rss)
        _, cpu, rss = run_measured(baseline(long_wav))
        base_cpu.append(cpu)
        base_rss.append(rss)

    errors = base_errors = words = 0
    for name, pcm, ref in clips:
        wav = os.path.join(tmp, name + ".wav")
        write_wav(wav, pcm)
        out, _, _ = run_measured([BINARY], pcm)
        final = out.decode().rstrip("\n").split("\n")[-1]

        errors += word_errors(ref, words_of(json.loads(final)["text"]))
        base_out, _, _ = run_measured(baseline(wav))
        base_errors += word_errors(ref, words_of(base_out.decode()))
        words += len(ref)

    firsts, finals = [], []
    for _ in range(RUNS):
        first, final = realtime_latencies(clips[0][1])
        firsts.append(first)
        finals.append(final)

    audio_s = len(two_minutes) / 32000
    m = statistics.median
    rows = [
        ("CPU time, %.0f s of speech piped" % audio_s, "%.1f s (RTF %.3f)" % (m(ours_cpu), m(ours_cpu) / audio_s),
         "%.1f s (RTF %.3f)" % (m(base_cpu), m(base_cpu) / audio_s),
         "ratio %.2f" % m([a / b for a, b in zip(ours_cpu, base_cpu)])),
        ("word error rate, %d librivox words" % words, "%.1f%%" % (100 * errors / words),
         "%.1f%%" % (100 * base_errors / words), ""),
        ("first line after start of speech (real time)", "%.0f ms" % m(firsts), "", ""),
        ("final line after end of input (real time)", "%.0f ms" % m(finals), "", ""),
        ("peak resident memory", "%.1f MB" % m(ours_rss), "%.1f MB" % m(base_rss), ""),
    ]
    print("%-48s %-22s %-22s %s" % ("measure (median of %d runs)" % RUNS, "vorlin-dictate",
                                    "pocketsphinx_continuous", ""))
    for row in rows:
        print("%-48s %-22s %-22s %s" % row)


if __name__ == "__main__":
    main()
