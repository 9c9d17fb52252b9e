#!/usr/bin/env python3
"""How well dictation comes out as written text, on the formatting development set.

  bench/format_devset/make_audio.sh build/format-devset [SENTENCES.tsv]
  python3 bench/format_bench.py build/format-devset BUILD/bench/format_text \
      [--oracle models/moonshine-tiny | --dictate BUILD/dictate/vorlin-dictate | --said] \
      [--sentences SENTENCES.tsv] [--plain] [--show]

--plain turns the transcriber's text into lower-case words without marks first, as PocketSphinx
writes them. The transcriber is the reference (ONNX Runtime through tests/oracle/moonshine_ort.js) or the
real program, whose last line is its committed text. Each text is scored as the transcriber gave
it and after BUILD/bench/format_text, the formatter, has written it:
- spoken WER: both sides as plain spoken words (lower case, numerals spelled out, spoken marks
  and punctuation dropped), so "15" for "fifteen" is no error;
- written WER: tokens as written, case and punctuation included, against the written reference;
- formatting gap: written WER minus spoken WER;
- entities: of the reference's numbers, times, amounts, addresses, titles and names (capitalised words
  other than a sentence's first) that the recogniser heard (their spoken words are in its
  output), the share written exactly as in the reference;
- sentences heard word for word (spoken WER 0): their written WER is due to the writing alone,
  whereas the gap over all sentences also holds recognition errors that weigh differently on
  the two sides ("415555142" is one written error and several spoken ones);
- sentence ends: of the reference's sentence-closing marks, the share the output closes with
  the same mark (the last one of the text, and inner ones where the words line up).
"""

import argparse
import difflib
import json
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))
from e2e_common import word_errors  # noqa: E402
from spoken_form import spoken_words  # noqa: E402

UNITS = "zero one two three four five six seven eight nine ten eleven twelve thirteen fourteen " \
        "fifteen sixteen seventeen eighteen nineteen".split()
TENS = "_ _ twenty thirty forty fifty sixty seventy eighty ninety".split()
NUMBER_WORDS = set(UNITS + TENS[2:] + ["hundred", "thousand", "million", "oh"])
TITLES = {"mr.": "mister", "mrs.": "missus", "dr.": "doctor", "ms.": "miz"}
SPOKEN_MARKS = ["question mark", "exclamation mark", "exclamation point", "full stop",
                "new paragraph", "new line", "semicolon", "comma", "period", "colon", "open quote",
                "close quote", "open paren", "close paren", "dash"]
ABBREVIATIONS = set(TITLES)


def is_address(token):
    return "@" in token or re.search(r"\w\.(com|org|net|edu|gov|io)\b", token.lower())


def spell(token):
    """A written token as spoken words (tests/spoken_form.py, the rule of every WER here), or
    None when it is neither a numeral form nor an address."""
    return spoken_words(token) if re.search(r"\d", token) or is_address(token) else None


def spoken(text, literal=False):
    """The text as plain spoken words; `literal` keeps spoken marks and every "and"."""
    words = []
    for raw in text.replace("\n", " ").split():
        core = raw.strip("\"()[]{}")
        if core.lower() in TITLES:
            words.append(TITLES[core.lower()])
            continue
        core = core.rstrip(".,;:!?\"')]}")
        if core in ("AM", "PM", "A.M", "P.M", "a.m", "p.m"):
            words += [core[0].lower(), "m"]
            continue
        spelled = spell(core)
        if spelled:
            words += spelled
            continue
        for part in re.sub(r"[^a-z0-9']+", " ", core.lower().replace("-", " ")).split():
            words.append(part.strip("'"))
    text = " ".join(w for w in words if w)
    text = re.sub(r"\bper cent\b", "percent", text)
    text = re.sub(r"\bpm\b", "p m", text)
    if literal:
        return text.split()
    for mark in SPOKEN_MARKS:
        text = re.sub(r"\b%s\b" % mark, " ", text)
    words = text.split()
    # "three hundred and fifty", "nine dollars and five cents": the "and" is not always said.
    keep = []
    for i, w in enumerate(words):
        if (w == "and" and 0 < i < len(words) - 1 and words[i + 1] in NUMBER_WORDS
                and (words[i - 1] in NUMBER_WORDS or words[i - 1] in ("dollars", "dollar"))):
            continue
        keep.append(w)
    return keep


def written(text):
    """Tokens as written; a line break is a token of its own."""
    return text.replace("\n", " \u00b6 ").split()


def core_of(token):
    return token.strip(".,;:!?\"'()[]{}")


def entities(reference):
    """(token core, its spoken words) for each number, amount, title and name of the reference."""
    found = []
    tokens = written(reference)
    for i, token in enumerate(tokens):
        core = core_of(token)
        if token.lower() in TITLES:
            found.append((token, [TITLES[token.lower()]]))
            continue
        sentence_start = i == 0 or tokens[i - 1] == "\u00b6" or (
            tokens[i - 1][-1] in ".?!" and tokens[i - 1].lower() not in ABBREVIATIONS)
        numeric = re.search(r"[\d$%]", core) or core in ("AM", "PM") or is_address(core)
        named = core[:1].isupper() and core != "I" and not sentence_start
        if numeric or named:
            found.append((core, spoken(core)))
    return found


def contains(words, part):
    return any(words[i:i + len(part)] == part for i in range(len(words) - len(part) + 1))


def sentence_ends(reference, hypothesis):
    """(right, total) sentence-closing marks of the reference closed alike by the hypothesis."""
    ref, hyp = written(reference), written(hypothesis)
    right = total = 0
    if ref and ref[-1][-1] in ".?!":
        total += 1
        right += bool(hyp) and hyp[-1][-1] == ref[-1][-1]
    matcher = difflib.SequenceMatcher(a=[core_of(t).lower() for t in ref],
                                      b=[core_of(t).lower() for t in hyp], autojunk=False)
    pairs = {}
    for block in matcher.get_matching_blocks():
        for k in range(block.size):
            pairs[block.a + k] = block.b + k
    for i, token in enumerate(ref[:-1]):
        if token[-1] in ".?!" and token.lower() not in ABBREVIATIONS:
            total += 1
            if i in pairs:
                right += hyp[pairs[i]][-1] == token[-1]
    return right, total


def score(refs, hyps):
    spoken_err = spoken_n = written_err = written_n = 0
    heard_err = heard_n = heard_sentences = 0
    ent_right = ent_heard = ent_all = ends_right = ends_total = 0
    misses = []
    for ref, hyp in zip(refs, hyps):
        r, h = spoken(ref), spoken(hyp)
        spoken_err += word_errors(r, h)
        spoken_n += len(r)
        written_err += word_errors(written(ref), written(hyp))
        written_n += len(written(ref))
        if r == h:
            heard_sentences += 1
            heard_err += word_errors(written(ref), written(hyp))
            heard_n += len(written(ref))
        hyp_cores = [core_of(t) for t in written(hyp)] + written(hyp)
        for core, words in entities(ref):
            ent_all += 1
            if contains(h, words):
                ent_heard += 1
                if core in hyp_cores:
                    ent_right += 1
                else:
                    misses.append("%s  (in: %s)" % (core, hyp))
        right, total = sentence_ends(ref, hyp)
        ends_right += right
        ends_total += total
    return {
        "spoken": spoken_err / spoken_n,
        "written": written_err / written_n,
        "entities": (ent_right, ent_heard, ent_all),
        "ends": (ends_right, ends_total),
        "misses": misses,
        "heard": (heard_sentences, heard_err / max(heard_n, 1)),
    }


def oracle_texts(model, files):
    out = subprocess.run(["node", os.path.join(ROOT, "tests/oracle/moonshine_ort.js"), model] +
                         files, capture_output=True, check=True, text=True).stdout
    texts = {}
    for line in out.splitlines():
        obj = json.loads(line)
        texts[os.path.basename(obj["file"])] = obj["text"]
    return [texts[os.path.basename(f)] for f in files]


def dictate_texts(binary, files):
    texts = []
    for f in files:
        with open(f, "rb") as audio:
            out = subprocess.run([binary], stdin=audio, capture_output=True, check=True).stdout
        texts.append(json.loads(out.decode().splitlines()[-1])["text"])
    return texts


def formatted(formatter, texts, provisional=False):
    lines = "".join(t.replace("\n", " ") + "\n" for t in texts)
    out = subprocess.run([formatter] + (["--volatile"] if provisional else []), input=lines,
                         capture_output=True, check=True, text=True).stdout
    return [line.replace("\\n", "\n") for line in out.split("\n")[:-1]]


def provisional_stops(args, files):
    """Provisional results of the first part of each clip: how many end in a full stop."""
    with tempfile.TemporaryDirectory() as work:
        cut = []
        for f in files:
            with open(f, "rb") as audio:
                pcm = audio.read()
            keep = int(len(pcm) * args.cut) // 2 * 2
            cut.append(os.path.join(work, os.path.basename(f)))
            with open(cut[-1], "wb") as out:
                out.write(pcm[:keep])
        engine = oracle_texts(args.oracle, cut)
    ours = formatted(args.formatter, engine, provisional=True)
    heard = [t for t in engine if t.strip()]
    for name, texts in (("engine text", engine), ("with formatter", ours)):
        stops = sum(1 for t in texts if t.rstrip().endswith(".") and not t.rstrip().endswith(".."))
        print("first %d%% of each clip, %s: %d of %d provisional results end in a full stop" % (
            100 * args.cut, name, stops, len(heard)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("audio", help="directory made by bench/format_devset/make_audio.sh")
    parser.add_argument("formatter", help="BUILD/bench/format_text")
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--oracle", default=os.path.join(ROOT, "models/moonshine-tiny"),
                       help="model directory for the reference transcriber (default)")
    group.add_argument("--dictate", help="vorlin-dictate instead of the reference")
    group.add_argument("--said", action="store_true",
                       help="no transcriber: the sentences' words as said (lower case, no marks), "
                            "so every formattable thing is heard and only the writing is scored")
    parser.add_argument("--sentences", default=os.path.join(HERE, "format_devset/sentences.tsv"),
                        help="the sentence list the audio was made from")
    parser.add_argument("--plain", action="store_true",
                        help="turn the transcriber's text into lower-case spoken words first, "
                             "as PocketSphinx writes")
    parser.add_argument("--show", action="store_true", help="print every sentence")
    parser.add_argument("--cut", type=float,
                        help="also read the first CUT of each clip (0.6: its first 60%%), as the "
                             "open phrase is read while it is spoken, and count the provisional "
                             "results that end in a full stop though the sentence goes on")
    args = parser.parse_args()

    rows = []
    with open(args.sentences) as f:
        for line in f:
            voice, said, reference = line.rstrip("\n").split("\t")
            rows.append((voice, said, reference.replace("\\n", "\n")))
    files = [os.path.join(args.audio, "%02d.raw" % (i + 1)) for i in range(len(rows))]
    if args.said:
        engine = [r[1] for r in rows]
    elif args.dictate:
        engine = dictate_texts(args.dictate, files)
    else:
        engine = oracle_texts(args.oracle, files)
    if args.plain:
        engine = [" ".join(spoken(t, literal=True)) for t in engine]
    ours = formatted(args.formatter, engine)
    refs = [r[2] for r in rows]
    if args.show:
        for ref, raw, fmt in zip(refs, engine, ours):
            print("ref: %r\n  engine: %r\n  ours:   %r" % (ref, raw, fmt))
    transcriber = "none, the words as said" if args.said else args.dictate or "reference (ONNX Runtime)"
    print("%d sentences, transcriber: %s%s" % (len(rows), transcriber,
                                             ", as plain spoken words" if args.plain else ""))
    print("%-18s %8s %8s %8s %18s %14s" % ("", "spoken", "written", "gap", "entities right",
                                          "sentence ends"))
    for name, hyps in (("engine text", engine), ("with formatter", ours)):
        s = score(refs, hyps)
        right, heard, everything = s["entities"]
        ends_right, ends_total = s["ends"]
        print("%-18s %7.1f%% %7.1f%% %8.3f %8d/%-3d %5.1f%% %6d/%-3d %5.1f%%" % (
            name, 100 * s["spoken"], 100 * s["written"], s["written"] - s["spoken"], right, heard,
            100 * right / max(heard, 1), ends_right, ends_total, 100 * ends_right / ends_total))
        heard_sentences, heard_wer = s["heard"]
        print("%-18s %d sentences heard word for word: written WER %.1f%% (all of it formatting)"
              % ("", heard_sentences, 100 * heard_wer))
        if args.show and name == "with formatter":
            for miss in s["misses"]:
                print("  entity written otherwise: " + miss)
    print("(entities heard: %d of %d in the references)" % (heard, everything))
    if args.cut:
        provisional_stops(args, files)
    print("targets: gap <= 0.050, entities >= 90%, sentence ends >= 90%, spoken WER unchanged")


if __name__ == "__main__":
    main()
