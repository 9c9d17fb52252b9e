"""How the dictation bench measures: child processes, real-time feeding, line delays."""

import os
import sys
import tempfile
import unittest

import dictate_bench as bench

PYTHON = sys.executable


def program(source):
    """A stand-in for vorlin-dictate: a Python program in a file of its own."""
    f = tempfile.NamedTemporaryFile("w", suffix=".py", delete=False)
    f.write("import json, os, sys, time\n" + source)
    f.close()
    return [PYTHON, f.name]


class PipedTest(unittest.TestCase):
    def test_read_ahead_tells_a_swallowing_reader_from_one_that_keeps_pace(self):
        audio_s = 2.0
        pcm = b"\1" * round(audio_s * 32000)
        swallow = program("data = sys.stdin.buffer.read()\ntime.sleep(2)\nprint(len(data))\n")
        run = bench.run_piped(swallow, pcm)
        self.assertEqual(run.out, b"64000\n")
        self.assertGreater(bench.read_ahead_s(audio_s, run), 0.6 * audio_s)
        pace = program("n = 0\nwhile True:\n    piece = os.read(0, 3200)\n    if not piece:\n"
                       "        break\n    n += len(piece)\n    time.sleep(0.05)\nprint(n)\n")
        run = bench.run_piped(pace, pcm)
        self.assertEqual(run.out, b"64000\n")
        self.assertLess(bench.read_ahead_s(audio_s, run), 0.3 * audio_s)
        self.assertGreater(run.wall_s, 1.0)

    def test_input_from_a_generator(self):
        run = bench.run_piped(["wc", "-c"], (b"ab" for _ in range(50000)))
        self.assertEqual(run.out.split(), [b"100000"])

    def test_a_failure_is_reported_with_its_words(self):
        failing = program("sys.stdin.buffer.read(10)\nsys.stderr.write('no model here')\n"
                          "sys.exit(1)\n")
        with self.assertRaisesRegex(bench.BenchError, "exited with 1: no model here"):
            bench.run_piped(failing, b"\0" * 1000000)

    def test_cpu_and_memory_are_the_childs(self):
        busy = program("x = bytearray(60 * 1024 * 1024)\nt = time.process_time()\n"
                       "while time.process_time() - t < 0.3:\n    pass\n")
        run = bench.run_piped(busy)
        self.assertGreater(run.cpu_s, 0.25)
        self.assertGreater(run.rss_mb, 60)


class RealTimeTest(unittest.TestCase):
    def test_audio_is_delivered_when_spoken_never_ahead(self):
        # Echoes the audio it has received; a feeder that ran ahead of the clock shows here.
        echo = program("n = 0\nwhile True:\n    piece = os.read(0, 65536)\n    if not piece:\n"
                       "        break\n    n += len(piece)\n"
                       "    print(json.dumps({'text': str(n)}), flush=True)\n")
        run = bench.run_realtime(echo, b"\0" * 16000)
        self.assertEqual(run.arrivals[-1][1], "16000")
        for t, text in run.arrivals:
            self.assertGreaterEqual(t, int(text) / 32000 - 0.001, text)
        self.assertGreaterEqual(run.closed_s, 0.5)
        self.assertLess(run.closed_s, 0.8)

    def test_lines_after_the_end_are_timed_from_the_close(self):
        late = program("sys.stdin.buffer.read()\ntime.sleep(0.4)\nprint('{\"text\":\"done\"}')\n")
        run = bench.run_realtime(late, b"\0" * 3200)
        self.assertGreaterEqual(bench.final_delay(run), 0.4)
        self.assertLess(bench.final_delay(run), 0.8)


class FirstLineTest(unittest.TestCase):
    def test_the_first_line_with_new_words_after_each_start_of_speech(self):
        arrivals = [(0.5, ""), (1.2, "go"), (1.5, "go forward"), (3.0, "go forward."),
                    (3.4, "Go forward."), (3.5, "go forward ten"), (6.0, "go forward ten x"),
                    (9.5, "go forward ten x y")]
        # Speech at 1.0, 3.1 (a mark and capital do not count), 5.0 (its line comes only after
        # the next start, at 6.0), 5.9 and 9.0.
        delays = bench.first_line_delays([1.0, 3.1, 5.0, 5.9, 9.0], arrivals)
        self.assertEqual([None if d is None else round(d, 2) for d in delays],
                         [0.2, 0.4, None, 0.1, 0.5])
        self.assertEqual(bench.first_line_delays([1.0], []), [None])


if __name__ == "__main__":
    unittest.main()
