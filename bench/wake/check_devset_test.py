"""check_devset.py on small sets written here: a sound one passes, and each fault a build of the
wake development set could make is found."""

import os
import sys
import tempfile
import unittest
import wave
from array import array

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_devset  # noqa: E402

END = 0.5  # where "Vorlin" ends in the positive clip written below


def write_wav(path, samples, rate=16000):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(array("h", samples).tobytes())


def speech_then_pause(rate=16000):
    """A tone up to END, then silence: the shape of a name followed by its pause."""
    voiced = round(END * rate)
    return [1000 if i % 2 else -1000 for i in range(voiced)] + [0] * rate


class CheckDevsetTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.manifest = [
            "pos-a-0.wav\tpositive\tclean\t%.4f\tdev" % END,
            "pos-b-0.wav\tpositive\tclean\t%.4f\theld" % END,
            "neg-a-s0.wav\tnegative\tsentences\t-\tdev",
            "neg-b-w0.wav\tnegative\tinword\t-\theld",
        ]
        self.texts = [
            "pos-a-0.wav\tflite:kal\tHey Vorlin, | what time is it?",
            "pos-b-0.wav\tflite:slt\tOkay, | hey Vorlin, | read me the news.",
            "neg-a-s0.wav\tflite:kal\tThe bus was late again.",
            "neg-b-w0.wav\tflite:slt\tWe drove through Vorlington today.",
        ]
        for name in ("pos-a-0.wav", "pos-b-0.wav", "neg-a-s0.wav", "neg-b-w0.wav"):
            write_wav(self.path(name), speech_then_pause())
        self.minimums = (check_devset.MIN_POSITIVES, check_devset.MIN_SPEECH_SECONDS)
        check_devset.MIN_POSITIVES, check_devset.MIN_SPEECH_SECONDS = 1, 0
        self.addCleanup(self.restore_minimums)

    def restore_minimums(self):
        check_devset.MIN_POSITIVES, check_devset.MIN_SPEECH_SECONDS = self.minimums

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def problems(self):
        for name, lines in (("manifest.tsv", self.manifest), ("texts.tsv", self.texts)):
            with open(self.path(name), "w") as f:
                f.write("".join(line + "\n" for line in lines))
        return check_devset.problems_of(self.dir.name)

    def assertFound(self, fragment):
        problems = self.problems()
        self.assertTrue(any(fragment in p for p in problems), problems)

    def test_sound_set_passes(self):
        self.assertEqual(self.problems(), [])

    def test_manifest_fields(self):
        for line, fragment in (
            ("pos-a-0.wav\tpositive\tclean\t0.5000", "4 fields"),
            ("pos-a-0.wav\tpositive\tclean\tsoon\tdev", "no number"),
            ("pos-a-0.wav\tpositive\tclean\t9.0\tdev", "outside the clip"),
            ("pos-a-0.wav\tkeyword\tclean\t0.5000\tdev", "kind 'keyword'"),
        ):
            with self.subTest(line=line):
                self.manifest[0] = line
                self.assertFound(fragment)
        self.manifest[0] = "pos-a-0.wav\tpositive\tclean\t%.4f\tdev" % END
        self.manifest.append(self.manifest[2])
        self.assertFound("listed twice")

    def test_audio_format(self):
        write_wav(self.path("neg-a-s0.wav"), speech_then_pause(8000), rate=8000)
        self.assertFound("not 16 kHz")
        os.remove(self.path("neg-a-s0.wav"))
        self.assertFound("unreadable")

    def test_clipping(self):
        for peak in (32767, -32768):
            with self.subTest(peak=peak):
                write_wav(self.path("neg-a-s0.wav"), [0, peak, 0])
                self.assertFound("neg-a-s0.wav: clipped")

    def test_end_of_name_is_exact(self):
        for end in (END + 0.01, END - 0.01):
            with self.subTest(end=end):
                self.manifest[0] = "pos-a-0.wav\tpositive\tclean\t%.4f\tdev" % end
                self.assertFound("does not end")

    def test_negatives_never_say_the_name(self):
        for line, fragment in (
            ("neg-a-s0.wav\tflite:kal\tThe bus was late, Vorlin.", "says \"vorlin\""),
            ("neg-b-w0.wav\tflite:slt\tWe met the Vorlins today.", "says the name"),
        ):
            with self.subTest(line=line):
                self.texts[2 if line.startswith("neg-a") else 3] = line
                self.assertFound(fragment)

    def test_splits_share_no_speaker_or_sentence(self):
        self.texts[1] = "pos-b-0.wav\tflite:kal\tOkay, | hey Vorlin, | read me the news."
        self.assertFound("speaker in both splits: flite:kal")
        self.texts[1] = "pos-b-0.wav\tflite:slt\tHey Vorlin, | what time is it?"
        self.assertFound("sentence in both splits: hey vorlin what time is it")
        self.texts[1] = "pos-b-0.wav\tflite:slt\tThe bus was late again. Hey Vorlin!"
        self.assertFound("sentence in both splits: the bus was late again")
        self.texts[0] = "pos-a-0.wav\tflite:kal\tHey Vorlin."
        self.texts[1] = "pos-b-0.wav\tflite:slt\tHey Vorlin!"
        self.assertEqual(self.problems(), [])

    def test_sizes(self):
        check_devset.MIN_POSITIVES = 2
        self.assertFound("1 positives in clean, dev: fewer than 2")
        check_devset.MIN_POSITIVES = 1
        check_devset.MIN_SPEECH_SECONDS = 60
        self.assertFound("of speech without the name")


if __name__ == "__main__":
    unittest.main()
