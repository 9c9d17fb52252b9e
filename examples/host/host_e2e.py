"""End to end: the example host against a private PulseAudio daemon.

Usage: host_e2e.py HOST_BINARY, with VORLIN_HELPER_PATH naming the directories of vorlin-wake
and vorlin-dictate (put in front of PATH).

"Hey Vorlin", a pause and a read sentence are played into the daemon's null sink, whose monitor
is the default source for both vorlin-wake and the host's recorder. The host must wake, print a
running transcript, end the dictation by itself after the sentence and print the final text
close to the sentence's words; on SIGTERM it must end with status 0 and leave no helper behind.
"""

import os
import queue
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from e2e_common import SKIP, LIBRIVOX, check, librivox_clips, word_errors, words_of  # noqa: E402
from wake_e2e import alive  # noqa: E402

PULSE = os.path.join(ROOT, "tests", "pulse", "pulse_daemon.sh")


def need(*tools):
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        print("SKIPPED: not installed: " + " ".join(missing))
        sys.exit(SKIP)


def wav_pcm(path):
    with wave.open(path, "rb") as w:
        assert (w.getframerate(), w.getnchannels(), w.getsampwidth()) == (16000, 1, 2), path
        return w.readframes(w.getnframes())


def make_clip(scratch):
    """1 s of silence, "Hey Vorlin.", 2 s of silence, a read sentence, 4 s of silence."""
    said = os.path.join(scratch, "hey.wav")
    subprocess.run(["flite", "-voice", "slt", "-t", "Hey Vorlin.", "-o", said], check=True)
    hey16 = os.path.join(scratch, "hey16.wav")
    subprocess.run(["sox", said, "-r", "16000", "-c", "1", "-b", "16", hey16], check=True)
    name, sentence, ref = next(c for c in librivox_clips() if c[0].endswith("0870"))
    silence = lambda seconds: b"\0\0" * int(16000 * seconds)
    pcm = silence(1) + wav_pcm(hey16) + silence(2) + sentence + silence(4)
    path = os.path.join(scratch, "play.raw")
    with open(path, "wb") as f:
        f.write(pcm)
    return path, ref


def start_daemon():
    out = subprocess.run(["bash", PULSE, "start"], capture_output=True, check=True, text=True)
    values = {}
    for line in out.stdout.splitlines():
        if "=" in line and not line.startswith("export"):
            key, value = line.split("=", 1)
            values[key] = shlex.split(value)[0]
    return values["PULSE_DIR"], values["PULSE_SERVER"]


def pump(stream, lines):
    for raw in stream:
        lines.put((time.monotonic(), raw.decode("utf-8", "replace").rstrip("\n")))
    lines.put(None)


def wait_for(lines, seen, predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            item = lines.get(timeout=max(0.0, deadline - time.monotonic()))
        except queue.Empty:
            break
        if item is None:
            return None
        seen.append(item[1])
        if predicate(item[1]):
            return item[1]
    return None


def children_of(pid):
    found = set()
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/children" % (pid, task)) as f:
            found.update(int(p) for p in f.read().split())
    return found


def main():
    host = sys.argv[1]
    need("pulseaudio", "pactl", "parec", "flite", "sox")
    if not os.path.isdir(LIBRIVOX):
        print("SKIPPED: no recordings in " + LIBRIVOX)
        sys.exit(SKIP)
    scratch = tempfile.mkdtemp(prefix="vorlin-host-e2e.")
    clip, ref = make_clip(scratch)
    pulse_dir, server = start_daemon()
    try:
        env = dict(os.environ)
        for key in ("PULSE_SINK", "PULSE_SOURCE", "DISPLAY", "DBUS_SESSION_BUS_ADDRESS"):
            env.pop(key, None)
        env.update(PULSE_SERVER=server, HOME=os.path.join(pulse_dir, "home"),
                   XDG_RUNTIME_DIR=pulse_dir, PULSE_CLIENTCONFIG="/dev/null",
                   PULSE_COOKIE=os.path.join(pulse_dir, "cookie"),
                   PATH=os.environ.get("VORLIN_HELPER_PATH", "") + ":" + os.environ["PATH"])
        p = subprocess.Popen([host], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        out, err = queue.Queue(), queue.Queue()
        threading.Thread(target=pump, args=(p.stdout, out), daemon=True).start()
        threading.Thread(target=pump, args=(p.stderr, err), daemon=True).start()
        out_seen, err_seen = [], []
        try:
            check(wait_for(err, err_seen, lambda l: l == "vorlin-wake: listening", 60) is not None,
                  "vorlin-wake never listened; stderr: %r" % err_seen)
            helpers = children_of(p.pid)
            check(len(helpers) == 2, "expected vorlin-wake and parec, found %r" % helpers)
            subprocess.run(["bash", PULSE, "play", pulse_dir, clip], check=True)
            said = wait_for(out, out_seen, lambda l: l.startswith("said: "), 60)
            while True:  # what the host said on stderr meanwhile, for the log
                try:
                    item = err.get_nowait()
                except queue.Empty:
                    break
                if item is not None:
                    err_seen.append(item[1])
            print("\n".join(out_seen))
            print("\n".join(err_seen), file=sys.stderr)
            check(said is not None, "no final transcript")
            check(any(l.startswith("hearing: ") for l in out_seen[:-1]),
                  "no running transcript before the final one")
            check(any(l.startswith("vorlin-host: wake") for l in err_seen), "no wake reported")
            final = words_of(said[len("said: "):])
            errors = word_errors(ref, final)
            print("%d word errors of %d" % (errors, len(ref)))
            check(errors <= len(ref) // 2, "final transcript far from the sentence")
            helpers = children_of(p.pid)
            check(len(helpers) == 2, "the dictation helper was not reaped: %r" % helpers)
        finally:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
            try:
                status = p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
                raise
        check(status == 0, "host ended with status %d after SIGTERM" % status)
        left = [pid for pid in helpers if alive(pid)]
        check(not left, "helpers still running after the host ended: %r" % left)
    finally:
        subprocess.run(["bash", PULSE, "stop", pulse_dir])
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
    print("1 passed, 0 failed")
