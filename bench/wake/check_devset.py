"""Checks a wake development set made by make_devset.sh, which runs it at the end of a build: a
set that fails a check is not one to measure on.

Usage: python3 bench/wake/check_devset.py DEVSET

- manifest.tsv: five tab-separated fields a line (file, kind, group, end of "Vorlin" or -,
  split); every file a 16 kHz mono 16-bit WAV, listed once, never at full scale (where a mix
  of speech and loud noise would have clipped); a positive's end inside its clip.
- The end of "Vorlin" in each clean synthesised positive is exact: the pause after the name is
  silent from that sample on, and the millisecond before it is not.
- No negative says the name: only the group `inword` holds it, and there only inside a longer
  word ("Vorlington"), never as itself or its plural.
- The held-out split shares no speaker and no sentence of four words or more with the
  development split (the phrase alone, "Hey Vorlin" or a near miss in its place, is the same
  words in both, and prose may share a "Not at all.").
- Each split has at least MIN_POSITIVES positives in every condition, and the set has at least
  two hours of speech without the name (groups prose and librivox, quiet).
"""

import collections
import os
import re
import sys
import wave
from array import array

MIN_POSITIVES = 30
MIN_SPEECH_SECONDS = 2 * 3600
QUIET_SPEECH_GROUPS = ("prose", "librivox")
SILENT_AFTER_SECONDS = 0.1
VOICED_BEFORE_SECONDS = 0.001
NAME_AS_WORD = re.compile(r"\bvorlin(s|'s)?\b")
MIN_SHARED_WORDS = 4

Clip = collections.namedtuple("Clip", "file kind group end split")


def read_manifest(devset, problems):
    clips = []
    with open(os.path.join(devset, "manifest.tsv")) as f:
        for number, line in enumerate(f, 1):
            fields = line.rstrip("\n").split("\t")
            if len(fields) != 5:
                problems.append("manifest line %d: %d fields, not 5" % (number, len(fields)))
                continue
            clip = Clip(*fields)
            if clip.kind not in ("positive", "negative"):
                problems.append("%s: kind %r" % (clip.file, clip.kind))
            if clip.split not in ("dev", "held"):
                problems.append("%s: split %r" % (clip.file, clip.split))
            if (clip.kind == "negative") != (clip.end == "-"):
                problems.append("%s: a %s with end %r" % (clip.file, clip.kind, clip.end))
            clips.append(clip)
    return clips


def read_texts(devset):
    """file -> (speaker, words) of every clean synthesised clip."""
    texts = {}
    with open(os.path.join(devset, "texts.tsv")) as f:
        for line in f:
            file, speaker, words = line.rstrip("\n").split("\t")
            texts[file] = (speaker, words)
    return texts


def samples_of(path):
    """The clip's samples and None, or None and why it is not a 16 kHz mono 16-bit WAV."""
    try:
        with wave.open(path) as w:
            if (w.getframerate(), w.getnchannels(), w.getsampwidth()) != (16000, 1, 2):
                return None, "not 16 kHz mono 16-bit"
            samples = array("h")
            samples.frombytes(w.readframes(w.getnframes()))
    except (OSError, EOFError, wave.Error) as e:
        return None, "unreadable: %s" % e
    if sys.byteorder == "big":
        samples.byteswap()
    return samples, None


def check_clips(devset, clips, texts, problems):
    """Returns seconds of audio per (kind, group, split)."""
    seconds = collections.Counter()
    seen = set()
    for clip in clips:
        if clip.file in seen:
            problems.append("%s: listed twice" % clip.file)
        seen.add(clip.file)
        samples, why = samples_of(os.path.join(devset, clip.file))
        if why:
            problems.append("%s: %s" % (clip.file, why))
            continue
        seconds[clip.kind, clip.group, clip.split] += len(samples) / 16000
        if samples and (max(samples) == 32767 or min(samples) == -32768):
            problems.append("%s: clipped" % clip.file)
        if clip.kind == "positive":
            check_end(clip, samples, clip.file in texts, problems)
    return seconds


def check_end(clip, samples, exact, problems):
    try:
        end = float(clip.end)
    except ValueError:
        problems.append("%s: end %r is no number" % (clip.file, clip.end))
        return
    if not 0 < end < len(samples) / 16000:
        problems.append("%s: end %.3f s outside the clip" % (clip.file, end))
        return
    if not exact:
        return
    at = round(end * 16000)
    after = samples[at:at + round(SILENT_AFTER_SECONDS * 16000)]
    before = samples[at - round(VOICED_BEFORE_SECONDS * 16000):at]
    if any(after) or not any(before):
        problems.append("%s: \"Vorlin\" does not end at %.4f s" % (clip.file, end))


def check_words(clips, texts, problems):
    split_of = {c.file: c.split for c in clips}
    group_of = {c.file: c.group for c in clips}
    kind_of = {c.file: c.kind for c in clips}
    speakers = collections.defaultdict(set)
    sentences = collections.defaultdict(set)
    for file, (speaker, words) in texts.items():
        if file not in split_of:
            problems.append("%s: has words but is not in the manifest" % file)
            continue
        lower = words.lower()
        if kind_of[file] == "negative":
            if group_of[file] != "inword" and "vorlin" in lower:
                problems.append("%s: a negative in %s says \"vorlin\"" % (file, group_of[file]))
            if NAME_AS_WORD.search(lower):
                problems.append("%s: a negative says the name" % file)
        speakers[split_of[file]].add(speaker)
        for sentence in re.split(r"[.!?]+", lower):
            bare = re.findall(r"[a-z']+", sentence)
            if len(bare) >= MIN_SHARED_WORDS:
                sentences[split_of[file]].add(" ".join(bare))
    for what, per_split in (("speaker", speakers), ("sentence", sentences)):
        for shared in sorted(per_split["dev"] & per_split["held"]):
            problems.append("%s in both splits: %s" % (what, shared))


def check_sizes(clips, seconds, problems):
    positives = collections.Counter((c.group, c.split) for c in clips if c.kind == "positive")
    for group in sorted({g for g, _ in positives}):
        for split in ("dev", "held"):
            if positives[group, split] < MIN_POSITIVES:
                problems.append("%d positives in %s, %s: fewer than %d" % (
                    positives[group, split], group, split, MIN_POSITIVES))
    speech = sum(s for (kind, group, _), s in seconds.items()
                 if kind == "negative" and group in QUIET_SPEECH_GROUPS)
    if speech < MIN_SPEECH_SECONDS:
        problems.append("%.0f min of speech without the name: fewer than %d" % (
            speech / 60, MIN_SPEECH_SECONDS / 60))


def problems_of(devset):
    problems = []
    clips = read_manifest(devset, problems)
    texts = read_texts(devset)
    seconds = check_clips(devset, clips, texts, problems)
    check_words(clips, texts, problems)
    check_sizes(clips, seconds, problems)
    return problems


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    problems = problems_of(sys.argv[1])
    for p in problems[:50]:
        print("check_devset: " + p, file=sys.stderr)
    if problems:
        sys.exit("check_devset: %d problems in %s" % (len(problems), sys.argv[1]))


if __name__ == "__main__":
    main()
