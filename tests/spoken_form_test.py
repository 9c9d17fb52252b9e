"""The spoken form that every word error rate compares."""

import unittest

from spoken_form import cardinal, ordinal, spoken_words


def said(text):
    return " ".join(spoken_words(text))


class SpokenFormTest(unittest.TestCase):
    def test_written_and_spoken_transcripts_meet(self):
        self.assertEqual(said("And Mr. John Dashwood had then leisure to consider."),
                         "and mister john dashwood had then leisure to consider")
        self.assertEqual(said("Unless to be rather cold-hearted, and rather selfish..."),
                         "unless to be rather cold hearted and rather selfish")
        self.assertEqual(said("4. Queen of Clubs!"), "four queen of clubs")
        self.assertEqual(said("Mrs. Smith & Dr. Who"), "missus smith and doctor who")

    def test_apostrophes_inside_words_stay_quotes_go(self):
        self.assertEqual(said("\u2018Don\u2019t,\u2019 she said; 'rock 'n' roll'"),
                         "don't she said rock n roll")

    def test_numerals(self):
        self.assertEqual(said("at 7:05 or 12:00"), "at seven zero five or twelve o'clock")
        self.assertEqual(said("$1 and $3.50 and $2.00"),
                         "one dollar and three dollars fifty cents and two dollars")
        self.assertEqual(said("40% or 2.5 %"), "forty percent or two point five percent")
        self.assertEqual(said("the 21st and 2nd and 100th"),
                         "the twenty first and second and one hundredth")
        self.assertEqual(said("1,250,000 people"), "one million two hundred fifty thousand people")
        self.assertEqual(said("in 1999, 1905, 1900, 2000, 2024"),
                         "in nineteen ninety nine nineteen oh five nineteen hundred two thousand "
                         "twenty twenty four")
        self.assertEqual(said("agent 007"), "agent zero zero seven")
        self.assertEqual(said("10am"), "ten am")

    def test_digit_strings_addresses_and_signs(self):
        self.assertEqual(said("call 555-0134 or 1-800-555-0100"),
                         "call five five five zero one three four or one eight zero zero five five "
                         "five zero one zero zero")
        self.assertEqual(said("oh no, code 31415 but 1,000 and 2024"),
                         "oh no code three one four one five but one thousand and twenty twenty four")
        self.assertEqual(said("Mail jane.doe@example.com, www.acme.org/news or tom-lee@web.org."),
                         "mail jane dot doe at example dot com w w w dot acme dot org slash news or "
                         "tom dash lee at web dot org")
        self.assertEqual(said("the 1980s and the '60s at -5 or 5-3"),
                         "the nineteen eighties and the sixties at minus five or five three")

    def test_number_words_at_the_edges(self):
        self.assertEqual(cardinal(0), "zero")
        self.assertEqual(cardinal(101), "one hundred one")
        self.assertEqual(cardinal(1001000), "one million one thousand")
        self.assertEqual(cardinal(10**12 + 5), "one trillion five")
        self.assertEqual(ordinal(12), "twelfth")
        self.assertEqual(ordinal(40), "fortieth")
        self.assertEqual(ordinal(103), "one hundred third")

    def test_nothing_to_say(self):
        self.assertEqual(spoken_words(" ... -- '' "), [])


if __name__ == "__main__":
    unittest.main()
