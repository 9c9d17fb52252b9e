"""Word error rate of vorlin-dictate on the spoken clips of the wake development set, each clip
dictated by a process of its own, against the engine's own recognizer on the same clips.

Usage: python3 bench/dictate_devset_wer.py DEVSET [path/to/vorlin-dictate]

DEVSET is made by bench/wake/make_devset.sh: its quiet sentences and near misses in flite's five
voices (the words of each in its texts.tsv), and the librivox recordings with their tempo, pitch
and noise variants. A
fresh process hears each clip's first words before it has heard the speaker's channel, which the
101 words of dictate_bench.py's recordings show too little of to compare settings by. Word error
rates compare spoken forms (tests/spoken_form.py), as dictate_bench.py does.
"""

import collections
import json
import os
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
from e2e_common import librivox_clips, pcm_of, word_errors, words_of  # noqa: E402

DEVSET = sys.argv[1]
BINARY = sys.argv[2] if len(sys.argv) > 2 else "build/release/dictate/vorlin-dictate"


def rows(name):
    with open(os.path.join(DEVSET, name)) as f:
        return [line.rstrip("\n").split("\t") for line in f]


def clips():
    """(file, reference words, group) for each clip whose words are known."""
    group_of = {fields[0]: fields[2] for fields in rows("manifest.tsv")}
    references = {name: words for name, _, words in librivox_clips()}
    found = [(file, words_of(text), "flite") for file, speaker, text in rows("texts.tsv")
             if speaker.startswith("flite:") and group_of.get(file) in ("sentences", "near")]
    for file in sorted(os.listdir(DEVSET)):
        m = re.fullmatch(r"neg-(.+?)(-fast|-slow|-high|-snr20|-snr10)?\.wav", file)
        if m and m[1] in references:
            found.append((file, words_of(" ".join(references[m[1]])), "librivox" + (m[2] or "")))
    return found


def ours(path):
    out = subprocess.run([BINARY], input=pcm_of(path), capture_output=True, check=True).stdout
    return json.loads(out.decode().rstrip("\n").split("\n")[-1])["text"]


def baseline(path):
    return subprocess.run(["pocketsphinx_continuous", "-infile", path, "-logfn", "/dev/null"],
                          capture_output=True, check=True).stdout.decode()


def main():
    found = clips()
    tally = collections.defaultdict(lambda: [0, 0, 0])  # errors, baseline errors, words

    def measure(clip):
        file, ref, group = clip
        path = os.path.join(DEVSET, file)
        return group, word_errors(ref, words_of(ours(path))), word_errors(
            ref, words_of(baseline(path))), len(ref)

    with ThreadPoolExecutor(2) as pool:
        for group, errors, base_errors, words in pool.map(measure, found):
            for key in {group, group.split("-")[0], "all"}:
                tally[key][0] += errors
                tally[key][1] += base_errors
                tally[key][2] += words
    print("%-20s %8s %16s %24s" % ("clips", "words", "vorlin-dictate", "pocketsphinx_continuous"))
    for key in sorted(tally):
        errors, base_errors, words = tally[key]
        print("%-20s %8d %15.1f%% %23.1f%%" % (key, words, 100 * errors / words,
                                                100 * base_errors / words))


if __name__ == "__main__":
    main()
