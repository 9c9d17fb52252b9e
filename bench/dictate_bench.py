"""Measures vorlin-dictate against the dictation model run through ONNX Runtime (the reference)
and the engine tool pocketsphinx_continuous, on the same audio, in one run.

Parts (the default is wer,piped,realtime, about ten minutes here; hour takes long, and says how
long before it starts):
  wer       word error rate, a process per recording, on the 12 pocketsphinx-testdata
            recordings: clean, and in continuous pink noise that starts 2.5 s before the speech,
            at 20 and 10 dB; also start-up time and the peak memory of those processes
  piped     two minutes of dictation (the recordings with pauses) piped at full speed: CPU per
            second of audio, peak memory, and how far reading runs ahead of recognition
  realtime  the same two minutes fed at the speed of speech in 20 ms pieces: average CPU, the
            first line after each start of speech, the final line after the end of input
  hour      one hour piped at full speed: peak memory and read-ahead (memory must not grow with
            the length of the input); --hour-s sets another length
  read      read speech (the five librivox recordings, 24.7 s): each piped to its own process, CPU
            per second of audio, start-up and model load subtracted, against ONNX Runtime on the
            same recordings (its encoding and decoding alone, and a Node process per recording);
            all of it joined and fed in real time: CPU, first line, final line; and the peak
            memory of one unbroken segment of about 20 s piped alone

Every word error rate compares spoken forms (tests/spoken_form.py). The machine is shared and
noisy: figures are medians of --runs runs, and CPU is best compared as a ratio within one run.
"""

import argparse
import fcntl
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from typing import NamedTuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import dictation_audio as audio  # noqa: E402
from e2e_common import word_errors  # noqa: E402
from spoken_form import spoken_words  # noqa: E402

ORACLE = os.path.join(HERE, "..", "tests", "oracle")
MODEL = os.path.join(HERE, "..", "models", "moonshine-tiny")
SNRS_DB = (20, 10)
PAUSE_S = 1.0  # between the recordings of a long dictation
DICTATION_S = 120
HOUR_S = 3600
LONE_SEGMENT_S = 20.0  # the segmenter's longest segment
CHUNK_S = 0.02  # real-time feeding delivers each 20 ms once it has been "recorded"
LEAD_S = 1.0  # of silence before real-time speech: the program starts while nobody speaks yet
NOISE_STEP_S = 4.0  # each recording hears its own stretch of the noise
# The pipe holds one page, so that what is read ahead is the program's own doing.
PIPE_BYTES = 4096


class BenchError(Exception):
    pass


class Run(NamedTuple):
    out: bytes
    cpu_s: float
    rss_mb: float
    wall_s: float
    input_done_s: float  # when the last byte of input was taken, from the start


def run_piped(cmd, source=None):
    """Runs cmd with source (bytes, or an iterable of bytes) written to its standard input as fast
    as it reads, and measures that child alone."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.monotonic()
        stdin = subprocess.PIPE if source is not None else subprocess.DEVNULL
        p = subprocess.Popen(cmd, stdin=stdin, stdout=out, stderr=err)
        input_done = [0.0]
        writer = None
        if source is not None:
            fcntl.fcntl(p.stdin.fileno(), fcntl.F_SETPIPE_SZ, PIPE_BYTES)

            def write():
                try:
                    for chunk in [source] if isinstance(source, bytes) else source:
                        p.stdin.write(chunk)
                    p.stdin.close()
                except BrokenPipeError:
                    pass  # the exit status tells
                input_done[0] = time.monotonic() - start

            writer = threading.Thread(target=write)
            writer.start()
        _, status, usage = os.wait4(p.pid, 0)
        wall = time.monotonic() - start
        p.returncode = os.waitstatus_to_exitcode(status)
        if writer:
            writer.join()
        if p.returncode != 0:
            err.seek(0)
            raise BenchError("%s exited with %d: %s" % (" ".join(cmd), p.returncode,
                                                        err.read().decode(errors="replace")[-400:]))
        out.seek(0)
        return Run(out.read(), usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024, wall,
                   input_done[0])


class RealTime(NamedTuple):
    closed_s: float  # when input was closed, from the start
    arrivals: list  # (seconds from the start, text) of each line
    cpu_s: float
    wall_s: float


def run_realtime(cmd, pcm):
    """Feeds pcm at the speed of speech, each 20 ms piece when a microphone would deliver it."""
    with tempfile.TemporaryFile() as err:
        p = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err)
        arrivals = []
        start = time.monotonic()

        def read_lines():
            for line in p.stdout:
                arrivals.append((time.monotonic() - start, line))

        reader = threading.Thread(target=read_lines)
        reader.start()
        chunk = round(CHUNK_S * audio.BYTES_PER_S)
        try:
            for offset in range(0, len(pcm), chunk):
                end = min(offset + chunk, len(pcm))
                time.sleep(max(0.0, start + end / audio.BYTES_PER_S - time.monotonic()))
                p.stdin.write(pcm[offset:end])
                p.stdin.flush()
            closed = time.monotonic() - start
            p.stdin.close()
        except BrokenPipeError:
            closed = time.monotonic() - start
        _, status, usage = os.wait4(p.pid, 0)
        wall = time.monotonic() - start
        p.returncode = os.waitstatus_to_exitcode(status)
        reader.join()
        p.stdout.close()
        if p.returncode != 0:
            err.seek(0)
            raise BenchError("%s exited with %d: %s" % (" ".join(cmd), p.returncode,
                                                        err.read().decode(errors="replace")[-400:]))
        texts = [(t, json.loads(line)["text"]) for t, line in arrivals]
        return RealTime(closed, texts, usage.ru_utime + usage.ru_stime, wall)


def final_text(out):
    lines = out.decode().splitlines()
    if not lines:
        raise BenchError("vorlin-dictate wrote no line")
    return json.loads(lines[-1])["text"]


def first_line_delays(onsets_s, arrivals):
    """For each start of speech: seconds until the first line with more words than the last line
    before it, or None when none comes before the next start of speech."""
    delays = []
    for i, onset in enumerate(onsets_s):
        until = onsets_s[i + 1] if i + 1 < len(onsets_s) else float("inf")
        before = [text for t, text in arrivals if t < onset]
        known = len(spoken_words(before[-1])) if before else 0
        delays.append(next((t - onset for t, text in arrivals
                            if onset <= t < until and len(spoken_words(text)) > known), None))
    return delays


def final_delay(run):
    if not run.arrivals:
        raise BenchError("vorlin-dictate wrote no line")
    return run.arrivals[-1][0] - run.closed_s


def read_ahead_s(audio_s, run):
    """About how many seconds of audio the program had taken ahead of its recognizer when the
    input ended: the share of its run still left then, at its average pace."""
    return audio_s * (run.wall_s - run.input_done_s) / run.wall_s


class Reference:
    """The dictation model one-shot per file through ONNX Runtime, by tests/oracle/."""

    def __init__(self):
        script = os.path.join(ORACLE, "moonshine_ort.js")
        missing = [p for p in (os.path.join(ORACLE, "node_modules", "onnxruntime-node"),
                               os.path.join(MODEL, "encoder_model.onnx")) if not os.path.exists(p)]
        self.why_not = ("missing %s (scripts/setup.sh, scripts/fetch_models.sh)" % missing[0]
                        if missing else None)
        self.cmd = ["node", script, MODEL]

    def transcribe(self, paths):
        """(Run, {path: text})."""
        run, lines = self.lines(paths)
        return run, {obj["file"]: obj["text"] for obj in lines}

    def inference_s(self, paths):
        """CPU seconds ONNX Runtime spent encoding and decoding the files, without Node's start
        or the model's load."""
        _, lines = self.lines(paths)
        return sum(obj["cpu_ms"] for obj in lines) / 1000

    def lines(self, paths):
        """(Run, [the JSON object of each file])."""
        run = run_piped(self.cmd + list(paths))
        return run, [json.loads(line) for line in run.out.decode().splitlines()]


def engine_tool(path):
    return ["pocketsphinx_continuous", "-infile", path, "-logfn", "/dev/null"]


def write_raw(folder, name, pcm):
    path = os.path.join(folder, name.replace("/", "-") + ".raw")
    with open(path, "wb") as f:
        f.write(pcm)
    return path


def median(values):
    return statistics.median(values) if values else None


class Bench:
    def __init__(self, args):
        self.binary = args.binary
        self.runs = args.runs
        self.wer_runs = args.wer_runs
        self.details = args.details
        self.tmp = tempfile.mkdtemp(prefix="dictate-bench-")
        self.reference = Reference()
        self.recordings = audio.recordings()
        pieces = [r.pcm for r in self.recordings]
        self.pieces = pieces
        self.dictation = audio.dictation(pieces, PAUSE_S, DICTATION_S, audio.long_segment(pieces))
        self.hour_s = args.hour_s
        self.rows = []  # (measure, ours, reference, engine tool, target)
        self.piped_walls = []

    def note(self, text):
        print(text, file=sys.stderr, flush=True)

    def conditions(self):
        """{condition: [(recording, pcm, path)]}: clean and in noise."""
        noise = audio.pink_noise(NOISE_STEP_S * len(self.recordings) + 15)
        found = {"clean": [(r, r.pcm) for r in self.recordings]}
        for snr in SNRS_DB:
            found["%d dB" % snr] = [(r, audio.in_noise(r.pcm, snr, noise, NOISE_STEP_S * i))
                                    for i, r in enumerate(self.recordings)]
        return {name: [(r, pcm, write_raw(self.tmp, "%s-%s" % (name.replace(" ", ""), r.name), pcm))
                       for r, pcm in cases] for name, cases in found.items()}

    def wer(self):
        words = sum(len(r.words) for r in self.recordings)
        peak_rss = []
        for condition, cases in self.conditions().items():
            self.note("word error rate, %s: %d processes per run" % (condition, len(cases)))
            ours = []
            for _ in range(self.wer_runs):
                with ThreadPoolExecutor(2) as pool:
                    runs = list(pool.map(lambda case: run_piped([self.binary], case[1]), cases))
                peak_rss += [run.rss_mb for run in runs]
                ours.append([final_text(run.out) for run in runs])
            with ThreadPoolExecutor(2) as pool:
                tool = [run.out.decode() for run in pool.map(lambda c: run_piped(engine_tool(c[2])),
                                                             cases)]
            reference = None
            if not self.reference.why_not:
                _, texts = self.reference.transcribe([path for _, _, path in cases])
                reference = [texts[path] for _, _, path in cases]
            self.rows.append(("WER, %s (%d words)" % (
                "clean" if condition == "clean" else "pink noise from 2.5 s before, " + condition,
                words), self.wer_cell(cases, *ours), self.wer_cell(cases, reference),
                self.wer_cell(cases, tool), {"clean": "<= 4%", "20 dB": "<= 6%",
                                             "10 dB": "<= 20%"}[condition]))
            if self.details:
                for i, (r, _, _) in enumerate(cases):
                    self.note("  %-52s %s" % (r.name, " ".join(r.words)))
                    for system, text in (("ours", ours[0][i]), ("tool", tool[i]), (
                            "reference", reference[i] if reference else "-")):
                        self.note("  %-52s %s: %s" % ("", system, " / ".join(text.splitlines())))
        self.rows.append(("peak RSS, a process per recording (largest)",
                          "%.1f MB" % max(peak_rss), "", "", "<= 80 MB"))
        self.startup()

    def wer_cell(self, cases, *runs):
        """The median word error rate of the runs, with the spread when they differ."""
        if runs == (None,):
            return "not run: " + self.reference.why_not
        words = sum(len(r.words) for r, _, _ in cases)
        rates = sorted(100 * sum(word_errors(r.words, spoken_words(text))
                                 for (r, _, _), text in zip(cases, texts)) / words
                       for texts in runs)
        cell = "%.1f%%" % statistics.median(rates)
        return cell if rates[0] == rates[-1] else cell + " (%.1f-%.1f)" % (rates[0], rates[-1])

    def startup(self):
        """Start, load the model, take an empty input, write the empty final line, exit."""
        empty = write_raw(self.tmp, "empty", b"")
        ours = median([run_piped([self.binary], b"").wall_s for _ in range(self.runs)])
        tool = median([run_piped(engine_tool(empty)).wall_s for _ in range(self.runs)])
        reference = ("not run" if self.reference.why_not else "%.2f s (Node)" % median(
            [self.reference.transcribe([])[0].wall_s for _ in range(self.runs)]))
        self.rows.append(("start-up to exit on empty input, wall", "%.2f s" % ours, reference,
                          "%.2f s" % tool, "load <= 0.3 s"))

    def piped(self):
        pcm = self.dictation.pcm
        audio_s = len(pcm) / audio.BYTES_PER_S
        path = write_raw(self.tmp, "dictation", pcm)
        parts = [write_raw(self.tmp, "part%d" % i, part)
                 for i, part in enumerate(self.dictation.parts)]
        self.note("%.0f s piped, %d runs of each" % (audio_s, self.runs))
        ours, tool, reference = [], [], []
        for _ in range(self.runs):
            ours.append(run_piped([self.binary], pcm))
            tool.append(run_piped(engine_tool(path)))
            if not self.reference.why_not:
                reference.append(self.reference.transcribe(parts)[0])
        self.piped_walls = [run.wall_s for run in ours]

        def cpu(runs):
            if not runs:
                return "not run"
            return "%.3f" % median([run.cpu_s / audio_s for run in runs])

        def rss(runs):
            return "%.1f MB" % median([run.rss_mb for run in runs]) if runs else "not run"

        ratio = median([a.cpu_s / b.cpu_s for a, b in zip(ours, tool)])
        self.rows += [
            ("CPU s per s of audio, %.0f s piped" % audio_s, cpu(ours),
             cpu(reference) + (" (Node, per file)" if reference else ""),
             cpu(tool) + " (ours/this %.2f)" % ratio, "<= 0.35"),
            ("peak RSS, %.0f s piped" % audio_s, rss(ours), rss(reference) + (
                " (Node)" if reference else ""), rss(tool), "<= 70 MB"),
            ("audio read ahead of recognition at end of input", "%.1f s" % median(
                [read_ahead_s(audio_s, run) for run in ours]), "", "", "a few s"),
        ]
        if self.details:
            self.note("piped transcript: " + final_text(ours[0].out))

    def realtime(self):
        pcm = self.dictation.pcm
        audio_s = len(pcm) / audio.BYTES_PER_S
        ending = self.dictation.parts[-1]
        self.note("%.0f s in real time, then %d runs of %.1f s of speech; each after %.0f s of "
                  "silence" % (audio_s, self.runs, len(ending) / audio.BYTES_PER_S, LEAD_S))
        lead = b"\0" * round(LEAD_S * audio.BYTES_PER_S)
        run = run_realtime([self.binary], lead + pcm)
        firsts = first_line_delays([LEAD_S + t for t in self.dictation.onsets_s], run.arrivals)
        finals = [final_delay(run)]
        for _ in range(self.runs):
            alone = run_realtime([self.binary], lead + ending)
            firsts += first_line_delays([LEAD_S + audio.speech_span_s(ending)[0]], alone.arrivals)
            finals.append(final_delay(alone))
        heard = [d for d in firsts if d is not None]
        missed = len(firsts) - len(heard)
        self.rows += [
            ("CPU fed in real time, share of one core", "%.2f" % (run.cpu_s / run.wall_s), "", "",
             "<= 0.5"),
            ("first line after start of speech, real time", "%.2f s (slowest %.2f%s)" % (
                median(heard), max(heard), ", %d of %d none" % (missed, len(firsts)) if missed
                else "") if heard else "none of %d" % len(firsts), "", "", "<= 0.6 s"),
            ("final line after end of input (%.1f s of speech)" % (
                len(ending) / audio.BYTES_PER_S), "%.2f s (slowest %.2f)" % (median(finals),
                                                                            max(finals)),
             "", "", "<= 0.3 s"),
        ]
        if self.details:
            self.note("real-time delays: " + " ".join("-" if d is None else "%.2f" % d
                                                      for d in firsts))

    def hour(self):
        if not self.piped_walls:
            self.note("timing two minutes piped first, to say how long the hour takes")
            self.piped_walls = [run_piped([self.binary], self.dictation.pcm).wall_s]
        per_s = median(self.piped_walls) / (len(self.dictation.pcm) / audio.BYTES_PER_S)
        seconds = self.hour_s
        length = "%g min" % (seconds / 60)
        self.note("%s piped: about %.1f minutes (started %s)" % (
            length, per_s * seconds / 60, time.strftime("%H:%M:%S")))
        run = run_piped([self.binary], audio.endless(self.pieces, PAUSE_S, seconds))
        self.rows += [
            ("peak RSS, %s piped" % length, "%.1f MB" % run.rss_mb, "", "", "<= 70 MB"),
            ("CPU s per s of audio, %s piped" % length, "%.3f" % (run.cpu_s / seconds), "", "",
             "<= 0.35"),
            ("audio read ahead of recognition at end of %s" % length,
             "%.1f s" % read_ahead_s(seconds, run), "", "", "a few s"),
        ]

    def read(self):
        clips = [r for r in self.recordings if r.name.startswith("librivox/")]
        joined = b"".join(r.pcm for r in clips)
        audio_s = len(joined) / audio.BYTES_PER_S
        paths = [write_raw(self.tmp, r.name, r.pcm) for r in clips]
        self.note("read speech: %d recordings, %.1f s; %d runs of each" % (
            len(clips), audio_s, self.runs))
        self.read_cpu(clips, paths, audio_s)

        lead = b"\0" * round(LEAD_S * audio.BYTES_PER_S)
        onset = LEAD_S + audio.speech_span_s(joined)[0]
        shares, firsts, finals = [], [], []
        for _ in range(self.runs):
            run = run_realtime([self.binary], lead + joined)
            shares.append(run.cpu_s / run.wall_s)
            firsts += [d for d in first_line_delays([onset], run.arrivals) if d is not None]
            finals.append(final_delay(run))
        self.rows += [
            ("CPU fed in real time, %.1f s of read speech" % audio_s,
             "%.3f of a core" % median(shares), "", "", "<= 0.08"),
            ("first line after start of speech, read speech",
             "%.2f s" % median(firsts) if firsts else "none", "", "", "<= 0.3 s"),
            ("final line after end of input, read speech", "%.2f s (slowest %.2f)" % (
                median(finals), max(finals)), "", "", "<= 0.2 s"),
        ]

        lone = audio.long_segment(self.pieces, LONE_SEGMENT_S)
        rss = [run_piped([self.binary], lone).rss_mb for _ in range(self.runs)]
        self.rows.append(("peak RSS, one %.1f s segment piped" % (len(lone) / audio.BYTES_PER_S),
                          "%.1f MB" % median(rss), "", "", "<= 70 MB"))

    def read_cpu(self, clips, paths, audio_s):
        """Ours with its start-up and model load subtracted (a run on empty input, median of
        three), as the reference's encoding and decoding are measured without theirs."""
        ours, inference, processes = [], [], []
        for _ in range(self.runs):
            load = median([run_piped([self.binary], b"").cpu_s for _ in range(3)])
            ours.append(sum(run_piped([self.binary], r.pcm).cpu_s - load for r in clips) / audio_s)
            if not self.reference.why_not:
                inference.append(self.reference.inference_s(paths) / audio_s)
                processes.append(sum(self.reference.lines([path])[0].cpu_s
                                     for path in paths) / audio_s)
        if not inference:
            reference, ratios = "not run: " + self.reference.why_not, ""
        else:
            reference = "%.3f encoding + decoding; %.3f a Node process each" % (
                median(inference), median(processes))
            ratios = " (%.2fx; %.2fx)" % (median([a / b for a, b in zip(ours, inference)]),
                                          median([a / b for a, b in zip(ours, processes)]))
        self.rows.append(("CPU s per s of audio, each recording its own process, load subtracted",
                          "%.3f%s" % (median(ours), ratios), reference, "", "<= 0.5x reference"))

    def table(self):
        header = ("measure (median of %d runs)" % self.runs, "vorlin-dictate",
                  "reference (ONNX Runtime)", "pocketsphinx_continuous", "target")
        widths = [max(len(row[i]) for row in [header] + self.rows) for i in range(5)]
        for row in [header] + self.rows:
            print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("binary", nargs="?", default="build/release/dictate/vorlin-dictate",
                        help="the vorlin-dictate to measure (default: %(default)s)")
    parser.add_argument("--runs", type=int, default=3, help="runs of each timed measure")
    parser.add_argument("--wer-runs", type=int, default=1,
                        help="runs of vorlin-dictate on each recording (decoding is deterministic)")
    parser.add_argument("--parts", default="wer,piped,realtime",
                        help="comma-separated, from those above (default: %(default)s)")
    parser.add_argument("--hour-s", type=float, default=HOUR_S,
                        help="seconds of audio the hour part pipes (default: %(default)s)")
    parser.add_argument("--details", action="store_true",
                        help="every transcript and delay, on standard error")
    args = parser.parse_args()
    parts = args.parts.split(",")
    unknown = set(parts) - {"wer", "piped", "realtime", "hour", "read"}
    if unknown or min(args.runs, args.wer_runs) < 1:
        parser.error("unknown parts %s" % ", ".join(sorted(unknown)) if unknown else "runs < 1")
    if not os.access(args.binary, os.X_OK):
        parser.error("no program at %s: build it, or name it" % args.binary)
    bench = Bench(args)
    try:
        for part in ("wer", "piped", "realtime", "hour", "read"):
            if part in parts:
                getattr(bench, part)()
    except BenchError as e:
        raise SystemExit("dictate_bench: %s" % e)
    print("%s, %s" % (os.path.abspath(args.binary), time.strftime("%Y-%m-%d %H:%M UTC",
                                                                  time.gmtime())))
    bench.table()


if __name__ == "__main__":
    main()
