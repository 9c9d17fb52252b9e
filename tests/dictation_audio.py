"""The audio the dictation's end-to-end tests and benchmarks play: the pocketsphinx-testdata
recordings with their words, the same recordings in continuous pink noise, and long dictations
made of them.

Audio is headerless 16 kHz mono s16le, as vorlin-dictate reads it, held as bytes.
"""

import array
import itertools
import os
import re
import subprocess
import sys
import wave
from typing import NamedTuple

from spoken_form import spoken_words

DATA = "/usr/share/pocketsphinx/test/data"
BYTES_PER_S = 32000
FRAME_SAMPLES = 320  # 20 ms
# A frame is speech when its energy is within this many dB of the recording's loudest frame.
ACTIVE_RANGE_DB = 30
NOISE_LEAD_S = 2.5  # continuous noise starts this long before the speech ...
NOISE_TAIL_S = 1.0  # ... and goes on this long after the recording
# The package has no transcript for these two; the first is the one its own tests expect.
UNTRANSCRIBED = {"goforward": "go forward ten meters", "something": "go somewhere and do something"}


class Recording(NamedTuple):
    name: str
    pcm: bytes
    words: list  # the spoken form of the reference transcript


def read_pcm(path):
    if not path.endswith(".wav"):
        with open(path, "rb") as f:
            return f.read()
    with wave.open(path, "rb") as w:
        if (w.getframerate(), w.getnchannels(), w.getsampwidth()) != (16000, 1, 2):
            raise SystemExit("%s is not 16 kHz mono 16-bit" % path)
        return w.readframes(w.getnframes())


def _transcripts(path):
    """{id: text} from a Sphinx transcription file: "<s> words </s> (id)" per line."""
    found = {}
    with open(path) as f:
        for line in f:
            m = re.match(r"\s*(.*?)\s*\((\S+)\)\s*$", line)
            if m:
                found[m[2]] = re.sub(r"</?s>", " ", m[1])
    return found


def recordings():
    """The 12 recordings: 5 librivox, 5 cards, goforward and something."""
    found = []
    for folder, transcription in (("librivox", "transcription"), ("cards", "cards.transcription")):
        texts = _transcripts(os.path.join(DATA, folder, transcription))
        for name in sorted(texts):
            pcm = read_pcm(os.path.join(DATA, folder, name + ".wav"))
            found.append(Recording(folder + "/" + name, pcm, spoken_words(texts[name])))
    for name, text in UNTRANSCRIBED.items():
        pcm = read_pcm(os.path.join(DATA, name + ".raw"))
        found.append(Recording(name, pcm, spoken_words(text)))
    return found


def samples_of(pcm):
    a = array.array("h")
    a.frombytes(pcm)
    if sys.byteorder != "little":
        a.byteswap()
    return a


def pcm_of(samples):
    a = array.array("h", samples)
    if sys.byteorder != "little":
        a.byteswap()
    return a.tobytes()


def frame_energies(samples):
    """Mean square of each whole 20 ms frame."""
    return [sum(x * x for x in samples[i:i + FRAME_SAMPLES]) / FRAME_SAMPLES
            for i in range(0, len(samples) - FRAME_SAMPLES + 1, FRAME_SAMPLES)]


def active_frames(energies):
    """Indexes of the frames that hold speech (see ACTIVE_RANGE_DB)."""
    floor = max(energies, default=0) / 10 ** (ACTIVE_RANGE_DB / 10)
    return [i for i, e in enumerate(energies) if e > floor and e > 0]


def speech_span_s(pcm):
    """(start, end) of the speech in seconds: the first and last active frame."""
    frames = active_frames(frame_energies(samples_of(pcm)))
    if not frames:
        raise ValueError("no speech in %d bytes" % len(pcm))
    return frames[0] * FRAME_SAMPLES / 16000, (frames[-1] + 1) * FRAME_SAMPLES / 16000


def speech_power(samples):
    energies = frame_energies(samples)
    frames = active_frames(energies)
    return sum(energies[i] for i in frames) / len(frames)


def pink_noise(seconds):
    """Pink noise from sox in its repeatable mode: the same samples at every run."""
    return subprocess.run(["sox", "-R", "-n", "-r", "16000", "-b", "16", "-c", "1", "-e", "signed",
                           "-t", "raw", "-", "synth", str(seconds), "pinknoise"],
                          check=True, capture_output=True).stdout


def in_noise(pcm, snr_db, noise, noise_offset_s=0.0):
    """The recording in continuous noise that starts NOISE_LEAD_S before its speech and ends
    NOISE_TAIL_S after it, scaled so that speech power over the active frames / noise power is
    snr_db. The noise is taken from `noise` at noise_offset_s; sums are clipped to 16 bits."""
    speech = samples_of(pcm)
    start_s, _ = speech_span_s(pcm)
    lead = round(max(0.0, NOISE_LEAD_S - start_s) * 16000)
    total = lead + len(speech) + round(NOISE_TAIL_S * 16000)
    first = round(noise_offset_s * 16000)
    noise = samples_of(noise)[first:first + total]
    if len(noise) < total:
        raise ValueError("%d noise samples for %d" % (len(noise), total))
    noise_power = sum(x * x for x in noise) / total
    gain = (speech_power(speech) / (noise_power * 10 ** (snr_db / 10))) ** 0.5
    mixed = [n * gain for n in noise]
    for i, s in enumerate(speech, lead):
        mixed[i] += s
    return pcm_of(max(-32768, min(32767, round(x))) for x in mixed)


class Dictation(NamedTuple):
    pcm: bytes
    onsets_s: list  # where the speech of each part starts
    parts: list  # each recording with its pause, then the ending: pcm is their sum


def dictation(pieces, pause_s, seconds, ending=b""):
    """Recordings one after another, each followed by pause_s of silence, repeated until
    `seconds` of audio, then `ending`."""
    pause = b"\0" * round(pause_s * 16000) * 2
    parts, onsets, length = [], [], 0
    for piece in itertools.cycle(pieces):
        if length + len(ending) >= seconds * BYTES_PER_S:
            break
        onsets.append(length / BYTES_PER_S + speech_span_s(piece)[0])
        parts.append(piece + pause)
        length += len(parts[-1])
    if ending:
        onsets.append(length / BYTES_PER_S + speech_span_s(ending)[0])
        parts.append(ending)
    return Dictation(b"".join(parts), onsets, parts)


def endless(pieces, pause_s, seconds):
    """Like dictation() without its ending, generated piece by piece so that an hour of audio is
    never held at once: exactly `seconds` of audio, cut at a sample."""
    pause = b"\0" * round(pause_s * 16000) * 2
    left = round(seconds * 16000) * 2
    for piece in itertools.cycle(pieces):
        for part in (piece, pause):
            if left <= 0:
                return
            yield part[:left]
            left -= len(part[:left])


def long_segment(pieces, max_s=10.0):
    """One unbroken stretch of speech of at most max_s: the speech of the pieces, taken in order
    while they fit, with the silence between them cut down to 0.1 s."""
    joined = b""
    for pcm in pieces:
        start_s, end_s = speech_span_s(pcm)
        speech = pcm[2 * round(max(0.0, start_s - 0.05) * 16000):2 * round((end_s + 0.05) * 16000)]
        if len(joined) + len(speech) <= max_s * BYTES_PER_S:
            joined += speech
    return joined
