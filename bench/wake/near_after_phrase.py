"""Builds a small set for wake_bench in which a near miss follows the wake phrase in steady pink
noise, as a person might say it in a room with a fan on: each of COUNT noise draws gives one
positive clip ("Hey Vorlin." twice) and, cut from the same recording, one negative clip (the near
miss). wake_bench runs them in order, so the recognizer hears the near miss with the state the
two wakes left, as the live listener would.

Usage: python3 bench/wake/near_after_phrase.py OUT "NEAR MISS" [VOICE] [SNR_DB] [COUNT]
Then:  build/bench/wake/wake_bench OUT
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
from wake_e2e import Speech, in_noise  # noqa: E402


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    out, near = sys.argv[1], sys.argv[2]
    voice = sys.argv[3] if len(sys.argv) > 3 else "kal16"
    snr = float(sys.argv[4]) if len(sys.argv) > 4 else 20
    count = int(sys.argv[5]) if len(sys.argv) > 5 else 12
    os.makedirs(out, exist_ok=True)
    speech = Speech()
    parts = [("Hey Vorlin.", "slt"), ("Hey Vorlin.", "slt"), (near, voice)]
    with open(os.path.join(out, "manifest.tsv"), "w") as manifest:
        for i in range(count):
            wav, ends, _ = in_noise(speech, parts, snr, "room%d" % i)
            # Halfway through the gap after the second phrase.
            cut = ends[1] + 1.5
            subprocess.run(["sox", wav, os.path.join(out, "pos%d.wav" % i), "trim", "0",
                            str(cut)], check=True, timeout=60)
            subprocess.run(["sox", wav, os.path.join(out, "neg%d.wav" % i), "trim", str(cut)],
                           check=True, timeout=60)
            manifest.write("pos%d.wav\tpositive\tphrase\t%.3f\n" % (i, ends[1]))
            manifest.write("neg%d.wav\tnegative\tnear\t-\n" % i)


if __name__ == "__main__":
    main()
