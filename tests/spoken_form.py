"""The spoken form of a transcript: the words a listener heard, whatever way they were written.

Word error rates compare spoken forms, so that "10" for "ten", "Mr." for "mister" or a comma is no
error. Lowercase; numerals, times, money and percentages spelled out; hyphens and punctuation
become spaces; apostrophes inside a word stay ("don't").
"""

import re

_ONES = ("zero one two three four five six seven eight nine ten eleven twelve thirteen fourteen "
         "fifteen sixteen seventeen eighteen nineteen").split()
_TENS = "_ _ twenty thirty forty fifty sixty seventy eighty ninety".split()
_SCALES = ((10**12, "trillion"), (10**9, "billion"), (10**6, "million"), (1000, "thousand"))
_ORDINALS = {"one": "first", "two": "second", "three": "third", "five": "fifth", "eight": "eighth",
             "nine": "ninth", "twelve": "twelfth"}
_CURRENCIES = {"$": ("dollar", "dollars"), "£": ("pound", "pounds"), "€": ("euro", "euros")}
# Titles read out whole; "mr" also without its period, as some recognizers write it.
_TITLES = [(r"\bmrs\b\.?", "missus"), (r"\bmr\b\.?", "mister"), (r"\bdr\.", "doctor")]


def cardinal(n):
    """325 -> "three hundred twenty five" (no "and": both readings are heard as the same)."""
    if n < 20:
        return _ONES[n]
    if n < 100:
        return _TENS[n // 10] + ("" if n % 10 == 0 else " " + _ONES[n % 10])
    if n < 1000:
        return _ONES[n // 100] + " hundred" + ("" if n % 100 == 0 else " " + cardinal(n % 100))
    for scale, name in _SCALES:
        if n >= scale:
            rest = n % scale
            return cardinal(n // scale) + " " + name + ("" if rest == 0 else " " + cardinal(rest))
    raise AssertionError(n)


def ordinal(n):
    words = cardinal(n).split()
    last = words[-1]
    if last in _ORDINALS:
        words[-1] = _ORDINALS[last]
    elif last.endswith("y"):
        words[-1] = last[:-1] + "ieth"
    else:
        words[-1] = last + "th"
    return " ".join(words)


def _two_digits(n):
    """The minutes of a time or the second half of a year: 5 -> "oh five", 30 -> "thirty"."""
    return "oh " + _ONES[n] if n < 10 else cardinal(n)


def number(digits):
    """A plain numeral: years read in pairs (1999 -> "nineteen ninety nine"), others as counts.
    Leading zeros are read digit by digit ("007" -> "zero zero seven")."""
    if len(digits) > 1 and digits[0] == "0":
        return " ".join(_ONES[int(d)] for d in digits)
    n = int(digits)
    if len(digits) == 4 and (1100 <= n <= 1999 or 2010 <= n <= 2099):
        high, low = divmod(n, 100)
        return cardinal(high) + (" hundred" if low == 0 else " " + _two_digits(low))
    return cardinal(n)


def _decimal(whole, fraction):
    spoken = number(whole)
    if fraction:
        spoken += " point " + " ".join(_ONES[int(d)] for d in fraction)
    return spoken


def _money(m):
    singular, plural = _CURRENCIES[m["sign"]]
    whole = int(m["whole"])
    spoken = number(m["whole"]) + " " + (singular if whole == 1 else plural)
    if m["cents"] and int(m["cents"]):
        cents = int(m["cents"])
        spoken += " " + cardinal(cents) + (" cent" if cents == 1 else " cents")
    return spoken


def _time(m):
    minutes = int(m["minutes"])
    return cardinal(int(m["hours"])) + (" o'clock" if minutes == 0 else " " + _two_digits(minutes))


# Web and e-mail addresses, read out as dictated: "jane.doe@example.com", "www.example.org/news".
_ADDRESS = re.compile(r"(?<![\w@.])(?:www\.|[\w-]+(?:\.[\w-]+)*@)?[\w-]+(?:\.[\w-]+)*"
                      r"\.(?:com|org|net|edu|gov|io|co|us|uk|info)\b(?:/[\w./-]*\w)?")
_ADDRESS_SIGNS = {".": " dot ", "@": " at ", "/": " slash ", "_": " underscore ", "-": " dash "}
# Phone numbers and other digit strings said one digit at a time: "555-0134", "1-800-555-0100",
# and runs of five digits or more without commas.
_DIGIT_STRING = re.compile(r"\b(?:\d-)?(?:\d{3}-)?\d{3}-\d{4}\b|(?<![\d,.])\d{5,}(?![\d,.])")


def _spell_address(m):
    text = m[0].replace("www.", "w w w.")
    return " " + "".join(_ADDRESS_SIGNS.get(c, c) for c in text) + " "


def _digits(m):
    return " " + " ".join(_ONES[int(d)] for d in m[0] if d.isdigit()) + " "


def _decade(m):
    """"1980s" -> "nineteen eighties", "'60s" -> "sixties"."""
    words = number(m[1]).split() if len(m[1]) == 4 else cardinal(int(m[1])).split()
    words[-1] = words[-1][:-1] + "ies" if words[-1].endswith("y") else words[-1] + "s"
    return " ".join(words)


def _spell_numerals(text):
    text = _DIGIT_STRING.sub(_digits, text)
    text = re.sub(r"(?<![\w'])'?(\d\d|\d\d[1-9]0)s\b", _decade, text)
    text = re.sub(r"(?<![\w.-])-(?=\d)", " minus ", text)
    text = re.sub(r"(?<=\d),(?=\d{3}\b)", "", text)  # 1,000 -> 1000
    text = re.sub(r"(?P<sign>[$£€])\s?(?P<whole>\d+)(?:\.(?P<cents>\d\d))?\b", _money, text)
    text = re.sub(r"(\d+)(?:\.(\d+))?\s?%", lambda m: _decimal(m[1], m[2]) + " percent", text)
    text = re.sub(r"\b(?P<hours>\d{1,2}):(?P<minutes>[0-5]\d)\b", _time, text)
    text = re.sub(r"\b(\d+)(?:st|nd|rd|th)\b", lambda m: ordinal(int(m[1])), text)
    text = re.sub(r"(\d+)\.(\d+)", lambda m: _decimal(m[1], m[2]), text)
    return re.sub(r"\d+", lambda m: " " + number(m[0]) + " ", text)


def spoken_words(text):
    """The spoken form of text as a list of words."""
    text = text.lower().replace("\u2019", "'").replace("&", " and ")
    for pattern, spoken in _TITLES:
        text = re.sub(pattern, spoken, text)
    text = _ADDRESS.sub(_spell_address, text)
    text = _spell_numerals(text)
    words = re.sub(r"[^\w']|_", " ", text).split()
    words = [w for w in (word.strip("'") for word in words) if w]
    # "oh" between digits is a zero, however it was written: "five five five oh one".
    digits = set(_ONES[:10])
    return ["zero" if w in ("oh", "o") and 0 < i < len(words) - 1 and words[i - 1] in digits
            and words[i + 1] in digits else w for i, w in enumerate(words)]
