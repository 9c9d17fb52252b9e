"""The audio of the dictation benchmarks: references, noise at a known SNR, long dictations."""

import math
import unittest

import dictation_audio as audio


def tone(seconds, amplitude=8000):
    n = round(seconds * 16000)
    return audio.pcm_of(round(amplitude * math.sin(2 * math.pi * 440 * i / 16000))
                        for i in range(n))


def silence(seconds):
    return b"\0" * round(seconds * 16000) * 2


def power(samples):
    return sum(x * x for x in samples) / len(samples)


class RecordingsTest(unittest.TestCase):
    def test_twelve_recordings_with_their_words(self):
        found = {r.name: r for r in audio.recordings()}
        self.assertEqual(len(found), 12)
        self.assertEqual(found["cards/001"].words, ["ten", "of", "clubs"])
        self.assertEqual(found["librivox/sense_and_sensibility_01_austen_64kb-0880"].words,
                         "he was not an ill disposed young man".split())
        self.assertEqual(found["goforward"].words, ["go", "forward", "ten", "meters"])
        for r in found.values():
            self.assertGreater(len(r.pcm), 16000, r.name)
            self.assertEqual(len(r.pcm) % 2, 0, r.name)


class SpeechSpanTest(unittest.TestCase):
    def test_span_of_the_speech_not_of_a_quiet_room(self):
        self.assertEqual(audio.speech_span_s(silence(1) + tone(0.5) + silence(0.5)), (1.0, 1.5))
        quiet = tone(0.2, amplitude=100)  # 38 dB below the speech
        self.assertEqual(audio.speech_span_s(quiet + tone(0.4) + quiet), (0.2, 0.6))
        softer = tone(0.2, amplitude=800)  # 20 dB below: speech still
        self.assertEqual(audio.speech_span_s(softer + tone(0.4)), (0.0, 0.6))
        with self.assertRaises(ValueError):
            audio.speech_span_s(silence(1))


class NoiseTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.noise = audio.pink_noise(10)

    def test_noise_starts_before_the_speech_at_the_asked_snr(self):
        speech = silence(0.5) + tone(1) + silence(0.3)
        for snr in (20, 0):
            mixed = audio.samples_of(audio.in_noise(speech, snr, self.noise, 2.0))
            lead = round((audio.NOISE_LEAD_S - 0.5) * 16000)
            self.assertEqual(len(mixed), lead + len(speech) // 2 + audio.NOISE_TAIL_S * 16000)
            clean = [0] * lead + list(audio.samples_of(speech)) + [0] * 16000
            added = [m - c for m, c in zip(mixed, clean)]
            self.assertGreater(power(added[:320]), 0, "noise from the first frame")
            self.assertGreater(power(added[-320:]), 0, "noise to the last frame")
            measured = 10 * math.log10(8000 ** 2 / 2 / power(added))
            self.assertAlmostEqual(measured, snr, delta=0.1)

    def test_loud_sums_are_clipped_not_wrapped_and_too_little_noise_is_an_error(self):
        square = audio.pcm_of([32767, -32768] * 8000)
        mixed = audio.samples_of(audio.in_noise(square, -10, self.noise))
        self.assertEqual((max(mixed), min(mixed)), (32767, -32768))
        with self.assertRaises(ValueError):
            audio.in_noise(tone(1), 10, self.noise, 8.0)


class DictationTest(unittest.TestCase):
    pieces = [silence(0.2) + tone(1.0), tone(0.5) + silence(0.1)]

    def test_pieces_with_pauses_then_the_ending(self):
        ending = silence(0.3) + tone(0.4)
        d = audio.dictation(self.pieces, 0.5, 5, ending)
        self.assertEqual(d.pcm, b"".join(d.parts))
        self.assertEqual(d.parts[-1], ending)
        self.assertEqual(d.parts[:3], [self.pieces[0] + silence(0.5), self.pieces[1] + silence(0.5),
                                       self.pieces[0] + silence(0.5)])
        self.assertGreaterEqual(len(d.pcm), 5 * audio.BYTES_PER_S)
        self.assertLess(len(d.pcm), 5 * audio.BYTES_PER_S + len(d.parts[-2]))
        self.assertEqual(len(d.onsets_s), len(d.parts))
        self.assertEqual(d.onsets_s[:3], [0.2, 1.7, 3.0])
        self.assertAlmostEqual(d.onsets_s[-1], (len(d.pcm) - len(ending)) / 32000 + 0.3)

    def test_an_hour_is_generated_piece_by_piece_to_the_sample(self):
        chunks = audio.endless(self.pieces, 0.5, 3.3)
        self.assertEqual(next(chunks), self.pieces[0])
        rest = list(chunks)
        self.assertEqual(sum(map(len, rest)) + len(self.pieces[0]), round(3.3 * 16000) * 2)
        self.assertTrue(all(len(c) % 2 == 0 and c for c in rest))
        self.assertEqual(b"".join([self.pieces[0]] + rest),
                         audio.dictation(self.pieces, 0.5, 10).pcm[:round(3.3 * 16000) * 2])

    def test_long_segment_is_unbroken_speech_within_its_length(self):
        pieces = [silence(1) + tone(4) + silence(1), silence(1) + tone(7) + silence(1),
                  silence(0.5) + tone(3) + silence(2), tone(2)]
        segment = audio.long_segment(pieces, max_s=10)
        self.assertAlmostEqual(len(segment) / 32000, 4.1 + 3.1 + 2.0, delta=0.01)
        self.assertEqual(segment.find(silence(0.11)), -1, "no pause longer than 0.1 s")


if __name__ == "__main__":
    unittest.main()
