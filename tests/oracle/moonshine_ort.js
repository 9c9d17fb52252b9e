// Transcribes headerless 16 kHz mono s16le recordings with the Moonshine ONNX files through ONNX
// Runtime (one thread), greedily, as the reference for our own engine. One JSON line per file:
//   {"file":..., "tokens":[...], "text":..., "encode_ms":..., "decode_ms":..., "cpu_ms":...,
//    "logits":[[...], ...]}   (the first --logits N steps' full logits, when asked for)
// encode_ms and decode_ms are wall time; cpu_ms is the process's CPU time over both, which a
// busy machine does not inflate.
// Usage: node moonshine_ort.js MODEL_DIR [--logits N] FILE.raw...
'use strict';
const fs = require('fs');
const path = require('path');
const ort = require('onnxruntime-node');

const kLayers = 6, kHeads = 8, kHeadDim = 36;
const kStart = 1, kEnd = 2;
const kMaxTokensPerSecond = 6;

function readSamples(file) {
  const bytes = fs.readFileSync(file);
  const samples = new Float32Array(bytes.length >> 1);
  for (let i = 0; i < samples.length; i++) samples[i] = bytes.readInt16LE(2 * i) / 32768;
  return samples;
}

function emptyCache(encoderFrames) {
  const feeds = {};
  for (let l = 0; l < kLayers; l++) {
    for (const part of ['decoder', 'encoder']) {
      for (const kind of ['key', 'value']) {
        feeds[`past_key_values.${l}.${part}.${kind}`] =
            new ort.Tensor('float32', new Float32Array(0), [1, kHeads, 0, kHeadDim]);
      }
    }
  }
  return feeds;
}

function argmax(data, offset, length) {
  let best = 0;
  for (let i = 1; i < length; i++) if (data[offset + i] > data[offset + best]) best = i;
  return best;
}

async function transcribe(encoder, decoder, samples, keepLogits) {
  const options = {};
  let t0 = performance.now();
  const encoded = await encoder.run(
      {input_values: new ort.Tensor('float32', samples, [1, samples.length])}, options);
  const hidden = encoded.last_hidden_state;
  const encodeMs = performance.now() - t0;

  t0 = performance.now();
  const maxTokens = Math.ceil((samples.length / 16000) * kMaxTokensPerSecond);
  let cache = emptyCache();
  let token = kStart;
  const tokens = [];
  const logits = [];
  for (let step = 0; step < maxTokens; step++) {
    const feeds = Object.assign({}, cache, {
      input_ids: new ort.Tensor('int64', BigInt64Array.from([BigInt(token)]), [1, 1]),
      encoder_hidden_states: hidden,
      use_cache_branch: new ort.Tensor('bool', [step > 0], [1]),
    });
    const out = await decoder.run(feeds, options);
    const vocab = out.logits.dims[2];
    const last = out.logits.data;
    if (step < keepLogits) logits.push(Array.from(last.subarray(0, vocab)));
    token = argmax(last, 0, vocab);
    const next = {};
    for (let l = 0; l < kLayers; l++) {
      for (const kind of ['key', 'value']) {
        next[`past_key_values.${l}.decoder.${kind}`] = out[`present.${l}.decoder.${kind}`];
        // The cross-attention cache is computed once, at the first step, and kept.
        const enc = `past_key_values.${l}.encoder.${kind}`;
        next[enc] = step === 0 ? out[`present.${l}.encoder.${kind}`] : cache[enc];
      }
    }
    cache = next;
    if (token === kEnd) break;
    tokens.push(token);
  }
  return {tokens, logits, encodeMs, decodeMs: performance.now() - t0};
}

async function main() {
  const args = process.argv.slice(2);
  const modelDir = args.shift();
  let keepLogits = 0;
  if (args[0] === '--logits') {
    args.shift();
    keepLogits = Number(args.shift());
  }
  const options = {intraOpNumThreads: 1, interOpNumThreads: 1, executionMode: 'sequential'};
  const encoder = await ort.InferenceSession.create(path.join(modelDir, 'encoder_model.onnx'), options);
  const decoder =
      await ort.InferenceSession.create(path.join(modelDir, 'decoder_model_merged.onnx'), options);
  const {default: tokenizer} = await import('llama-tokenizer-js');
  for (const file of args) {
    const samples = readSamples(file);
    const cpu = process.cpuUsage();
    const r = await transcribe(encoder, decoder, samples, keepLogits);
    const used = process.cpuUsage(cpu);
    const line = {file, tokens: r.tokens, text: tokenizer.decode(r.tokens, false).trim(),
                  encode_ms: r.encodeMs, decode_ms: r.decodeMs,
                  cpu_ms: (used.user + used.system) / 1000};
    if (keepLogits) line.logits = r.logits;
    process.stdout.write(JSON.stringify(line) + '\n');
  }
}

main().catch((e) => {
  process.stderr.write(`moonshine_ort: ${e.stack || e}\n`);
  process.exit(1);
});
