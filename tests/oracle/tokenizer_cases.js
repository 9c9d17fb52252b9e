// Writes the tokenizer's reference cases: token ids and their text as llama-tokenizer-js decodes
// them, one case a line, "ID ID ...<TAB>HEX OF THE UTF-8 TEXT". The cases are the token ids that
// moonshine_ort.js printed for real recordings (its JSON lines on standard input), the encodings
// of a few texts with spacing and byte-fallback pieces, and byte pieces that do not add up to
// UTF-8, and random mixtures of byte and text pieces (a fixed seed). Control pieces and ids beyond the vocabulary are left out: this library prints the
// former and fails on the latter.
// Usage: node moonshine_ort.js MODEL_DIR FILE.raw... | node tokenizer_cases.js > CASES
'use strict';
const fs = require('fs');

const texts = [
  'Hello world', '  two  spaces', 'trailing ', 'é😀 naïve', 'line\nbreak', 'tab\there',
  'Mr. Dashwood, 1999.', '中文 𝄞', '▁', 'ǅemo ♯ Ωmega',
];
const byte = (b) => 3 + b;  // the byte pieces <0x00>..<0xFF> follow the three control pieces
const sequences = [
  [], [29871], [259, 259], [30004], [byte(0x20), 15043],
  [byte(0xF0), byte(0x9F), byte(0x98), byte(0x80)],   // a whole character
  [15043, byte(0xE2), byte(0x96), byte(0x81), 3186],  // "▁" spelled in bytes is a space too
  [byte(0xC3)], [byte(0xC3), byte(0x28)], [byte(0xC3), 3186],
  [byte(0xF0), byte(0x9F), byte(0x98), 15043],        // a character cut short
  [byte(0xED), byte(0xA0), byte(0x80)],                // a surrogate
  [byte(0xC0), byte(0x80)], [byte(0xE0), byte(0x80), byte(0x80)],  // overlong forms
  [byte(0xF4), byte(0x90), byte(0x80), byte(0x80)],    // beyond U+10FFFF
  [byte(0xFF), byte(0xFE), byte(0x80)],
  [3186, byte(0xE2), byte(0x82), byte(0x28), byte(0xA1)],
];

// A fixed-seed generator (mulberry32), so the cases are the same on every run.
function random(seed) {
  return () => {
    seed = (seed + 0x6D2B79F5) | 0;
    let t = Math.imul(seed ^ (seed >>> 15), 1 | seed);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

async function main() {
  const {default: tokenizer} = await import('llama-tokenizer-js');
  const next = random(8);
  for (let n = 0; n < 40; n++) {
    const ids = [];
    const length = 1 + Math.floor(next() * 12);
    for (let i = 0; i < length; i++) {
      ids.push(next() < 0.7 ? byte(Math.floor(next() * 256)) : 259 + Math.floor(next() * 31741));
    }
    sequences.push(ids);
  }
  for (const line of fs.readFileSync(0, 'utf8').split('\n')) {
    if (line.trim()) sequences.push(JSON.parse(line).tokens);
  }
  for (const text of texts) sequences.push(tokenizer.encode(text, false, true));
  for (const ids of sequences) {
    const text = tokenizer.decode(ids, false);
    process.stdout.write(ids.join(' ') + '\t' + Buffer.from(text, 'utf8').toString('hex') + '\n');
  }
}

main().catch((e) => {
  process.stderr.write(`tokenizer_cases: ${e.stack || e}\n`);
  process.exit(1);
});
