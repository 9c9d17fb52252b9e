#!/usr/bin/env bash
# Builds the wake development set into OUT (default: ./wake-devset): speech made with flite,
# varied with sox, plus the PocketSphinx test recordings. Nothing here is committed; run it again
# to rebuild: with the same flite and sox, every run builds the same clips, byte for byte. Writes
# OUT/manifest.tsv, one clip a line:
#   file (16 kHz int16 WAV)  kind (positive/negative)  group  seconds where "Vorlin" ends (or -)
set -euo pipefail

# Figures from two builds of the set compare only if the clips are the same: sox seeds its dither
# and its noise alike on every call (-R), and bash's RANDOM picks the same noise offsets.
sox() { command sox -R "$@"; }
RANDOM=1

out=${1:-wake-devset}
librivox=/usr/share/pocketsphinx/test/data/librivox
voices=(kal kal16 awb rms slt)
mkdir -p "$out/tmp"
manifest="$out/manifest.tsv"
: >"$manifest"

# Speech from flite at 16 kHz mono, with the silence around it trimmed so that lengths add up.
say() {  # voice text file
  flite -voice "$1" -t "$2" -o "$out/tmp/raw.wav"
  sox "$out/tmp/raw.wav" -r 16000 -c 1 -b 16 -e signed-integer "$3" \
    silence 1 0.02 0.5% reverse silence 1 0.02 0.5% reverse
}
seconds() { soxi -D "$1"; }
gap() { sox -n -r 16000 -c 1 -b 16 -e signed-integer "$1" trim 0 "$2"; }
# Seeded alike, every synthesised stretch would be the same noise; each clip's is cut instead from
# two minutes of it, at a point of its own.
for colour in pink brown; do
  sox -n -r 16000 -c 1 -b 16 -e signed-integer "$out/tmp/$colour.wav" synth 120 "${colour}noise"
done
noise_cut() {  # colour seconds out
  sox "$out/tmp/$1.wav" "$3" trim "$((RANDOM % 100))" "$2"
}

# Pink noise at `snr` dB below the clip's own RMS level.
noisy() {  # in out snr
  local rms
  rms=$(sox "$1" -n stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
  local level
  level=$(awk -v r="$rms" -v s="$3" 'BEGIN {printf "%.6f", r / (10 ^ (s / 20))}')
  local length
  length=$(seconds "$1")
  noise_cut pink "$length" "$out/tmp/noise.wav"
  local noise_rms
  noise_rms=$(sox "$out/tmp/noise.wav" -n stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
  local gain
  gain=$(awk -v l="$level" -v n="$noise_rms" 'BEGIN {printf "%.6f", l / n}')
  sox -m "$1" -v "$gain" "$out/tmp/noise.wav" "$2"
}

starts=("Hey Vorlin, what is the weather like today?" "Hey Vorlin, set a timer for ten minutes.")
befores=("Okay then," "I was thinking, and")
afters=("can you open my calendar?" "please play some music.")
ends=("Turn on the lights, hey Vorlin." "What time is it, hey Vorlin?")

n=0
positive() {  # file group vorlin_end
  echo -e "$1\tpositive\t$2\t$3" >>"$manifest"
}

for v in "${voices[@]}"; do
  say "$v" "Hey Vorlin." "$out/tmp/phrase.wav"
  phrase=$(seconds "$out/tmp/phrase.wav")
  gap "$out/tmp/gap.wav" 0.4
  # The phrase alone, with a little silence either side, as someone calling the assistant.
  sox "$out/tmp/gap.wav" "$out/tmp/phrase.wav" "$out/tmp/gap.wav" "$out/pos-$v-alone.wav"
  positive "pos-$v-alone.wav" clean "$(awk -v p="$phrase" 'BEGIN {print p + 0.4}')"
  # At the start: one utterance from flite, so the phrase runs into the sentence.
  i=0
  for text in "${starts[@]}"; do
    say "$v" "$text" "$out/pos-$v-start$i.wav"
    sox "$out/tmp/gap.wav" "$out/pos-$v-start$i.wav" "$out/tmp/s.wav"
    mv "$out/tmp/s.wav" "$out/pos-$v-start$i.wav"
    # flite says the phrase at about the same length inside a sentence as alone.
    positive "pos-$v-start$i.wav" clean "$(awk -v p="$phrase" 'BEGIN {print p + 0.4}')"
    i=$((i + 1))
  done
  # In the middle: sentence, a short pause, the phrase, the rest.
  gap "$out/tmp/short.wav" 0.15
  say "$v" "${befores[0]}" "$out/tmp/before.wav"
  say "$v" "${afters[0]}" "$out/tmp/after.wav"
  before=$(seconds "$out/tmp/before.wav")
  sox "$out/tmp/gap.wav" "$out/tmp/before.wav" "$out/tmp/short.wav" "$out/tmp/phrase.wav" \
    "$out/tmp/short.wav" "$out/tmp/after.wav" "$out/tmp/gap.wav" "$out/pos-$v-middle.wav"
  positive "pos-$v-middle.wav" clean "$(awk -v b="$before" -v p="$phrase" 'BEGIN {print 0.4 + b + 0.15 + p}')"
  # At the end: one utterance from flite, whose last word is "Vorlin".
  i=0
  for text in "${ends[@]}"; do
    say "$v" "$text" "$out/tmp/end.wav"
    sox "$out/tmp/gap.wav" "$out/tmp/end.wav" "$out/tmp/gap.wav" "$out/pos-$v-end$i.wav"
    positive "pos-$v-end$i.wav" clean "$(awk -v e="$(seconds "$out/tmp/end.wav")" 'BEGIN {print 0.4 + e}')"
    i=$((i + 1))
  done
done

# Tempo and pitch variants of some clean clips; tempo moves the end of the phrase.
while IFS=$'\t' read -r file kind group end; do
  base=${file%.wav}
  case "$base" in
    *-alone | *-start0 | *-end0) ;;
    *) continue ;;
  esac
  sox "$out/$file" "$out/$base-fast.wav" tempo 1.15
  positive "$base-fast.wav" clean "$(awk -v e="$end" 'BEGIN {print e / 1.15}')"
  sox "$out/$file" "$out/$base-slow.wav" tempo 0.88
  positive "$base-slow.wav" clean "$(awk -v e="$end" 'BEGIN {print e / 0.88}')"
  sox "$out/$file" "$out/$base-high.wav" pitch 250
  positive "$base-high.wav" clean "$end"
done < <(grep -v -- '-fast\|-slow\|-high\|-low' "$manifest")

# Every clean clip again under pink noise at 20 and 10 dB SNR.
while IFS=$'\t' read -r file kind group end; do
  base=${file%.wav}
  noisy "$out/$file" "$out/$base-snr20.wav" 20
  positive "$base-snr20.wav" snr20 "$end"
  noisy "$out/$file" "$out/$base-snr10.wav" 10
  positive "$base-snr10.wav" snr10 "$end"
done < <(grep -v -- '-fast\|-slow\|-high' "$manifest")

negative() {  # file group
  echo -e "$1\tnegative\t$2\t-" >>"$manifest"
}

sentences=(
  "The meeting has been moved to Thursday afternoon."
  "Could you send me the report before lunch?"
  "I think we should take the train instead of driving."
  "The weather tomorrow will be cloudy with light rain."
  "She bought three apples and a loaf of bread."
  "Please remember to water the plants while I am away."
  "Our flight leaves at seven in the morning."
  "He has been learning to play the guitar for a year."
  "The library closes early on public holidays."
  "Turn left at the second traffic light and park behind the bank."
  "We watched a documentary about whales last night."
  "Dinner will be ready in about twenty minutes."
  "Hey, do you know where I left my keys?"
  "The children are playing football in the garden."
  "Can you turn the volume down a little?"
  "My sister lives in a small village near the coast."
  "The new software update fixed most of the problems."
  "I would like a cup of tea with milk, please."
  "The museum has a fine collection of old maps."
  "It is going to be a long week at work."
)
near=(
  "Hey Marlin, what is the weather like today?"
  "We spent a week in Berlin last summer."
  "She plays the violin in the city orchestra."
  "This letter is for Lynn, not for me."
  "Merlin was a wizard in the old stories."
  "Hey Caroline, are you coming to dinner?"
  "Hey Marvin, turn on the lights."
  "The four lean years taught us a lot."
  "Hey Carlin, set a timer for ten minutes."
  "Marlin fishing is popular off the coast."
  "I bought a violin for Lynn."
  "Hey, Berlin is lovely in the spring."
)
passage="It was a bright cold day in April, and the clocks were striking thirteen. The hallway \
smelt of boiled cabbage and old rag mats. At one end of it a coloured poster, too large for \
indoor display, had been tacked to the wall. It depicted simply an enormous face, more than a \
metre wide: the face of a man of about forty-five, with a heavy black moustache and ruggedly \
handsome features. Outside, even through the shut window-pane, the world looked cold. Down in \
the street little eddies of wind were whirling dust and torn paper into spirals, and though \
the sun was shining and the sky a harsh blue, there seemed to be no colour in anything."

# say_all VOICE KIND GROUP TEXT...: neg-VOICE-KIND0.wav, neg-VOICE-KIND1.wav, ... in GROUP.
say_all() {
  local v=$1 kind=$2 group=$3 i=0
  shift 3
  for text in "$@"; do
    say "$v" "$text" "$out/neg-$v-$kind$i.wav"
    negative "neg-$v-$kind$i.wav" "$group"
    i=$((i + 1))
  done
}

for v in "${voices[@]}"; do
  say_all "$v" sentence sentences "${sentences[@]}"
  say_all "$v" near near "${near[@]}"
  say "$v" "$passage" "$out/neg-$v-passage.wav"
  negative "neg-$v-passage.wav" sentences
done

for f in "$librivox"/*.wav; do
  base=$(basename "$f" .wav)
  cp "$f" "$out/neg-$base.wav"
  negative "neg-$base.wav" librivox
  sox "$f" "$out/neg-$base-fast.wav" tempo 1.15
  negative "neg-$base-fast.wav" librivox
  sox "$f" "$out/neg-$base-slow.wav" tempo 0.88
  negative "neg-$base-slow.wav" librivox
  sox "$f" "$out/neg-$base-high.wav" pitch 250
  negative "neg-$base-high.wav" librivox
  noisy "$f" "$out/neg-$base-snr20.wav" 20
  negative "neg-$base-snr20.wav" librivox
  noisy "$f" "$out/neg-$base-snr10.wav" 10
  negative "neg-$base-snr10.wav" librivox
done

# A room's noise runs all the time: pink (a fan, an air conditioner), brown (traffic, a rumble)
# and babble (four other voices reading at once) start 2.5 s before the speech and go on 0.5 s
# after it, at 20, 10 and 5 dB below the speech's active level (its pauses left out). The phrase
# in every base clip, and the near misses and some ordinary sentences, one voice each in turn.
babble() {  # the passage in four voices, each from another point of it, mixed
  local i=0 parts=()
  for v in kal16 awb rms slt; do
    say "$v" "$passage" "$out/tmp/babble$i.wav"
    sox "$out/tmp/babble$i.wav" "$out/tmp/babble-loop$i.wav" trim "$((i * 7))" : repeat 2
    sox "$out/tmp/babble-loop$i.wav" "$out/tmp/babble-cut$i.wav" trim 0 60
    parts+=(-v 1 "$out/tmp/babble-cut$i.wav")
    i=$((i + 1))
  done
  sox -m "${parts[@]}" "$out/tmp/babble.wav"
}
rms_of() { sox "$1" -n "${@:2}" stat 2>&1 | awk '/RMS +amplitude/ {print $3}'; }
lead=2.5
in_room() {  # in out noise snr
  local length active level gain
  sox "$1" "$out/tmp/padded.wav" pad "$lead" 0.5
  length=$(seconds "$out/tmp/padded.wav")
  active=$(rms_of "$1" silence -l 1 0.02 1% -1 0.05 1%)
  case "$3" in
    pink | brown) noise_cut "$3" "$length" "$out/tmp/noise.wav" ;;
    babble) sox "$out/tmp/babble.wav" "$out/tmp/noise.wav" trim "$((RANDOM % 20))" "$length" ;;
  esac
  level=$(awk -v r="$active" -v s="$4" 'BEGIN {printf "%.6f", r / (10 ^ (s / 20))}')
  gain=$(awk -v l="$level" -v n="$(rms_of "$out/tmp/noise.wav")" 'BEGIN {printf "%.6f", l / n}')
  sox -m -v 1 "$out/tmp/padded.wav" -v "$gain" "$out/tmp/noise.wav" "$2" 2>/dev/null
}
babble
near_i=0
sentence_i=0
for noise in pink brown babble; do
  for snr in 20 10 5; do
    while IFS=$'\t' read -r file kind group end; do
      base=${file%.wav}
      case "$base" in
        pos-*-alone | pos-*-start? | pos-*-middle | pos-*-end?) ;;
        *) continue ;;
      esac
      in_room "$out/$file" "$out/$base-$noise$snr.wav" "$noise" "$snr"
      positive "$base-$noise$snr.wav" "$noise$snr" "$(awk -v e="$end" -v l="$lead" 'BEGIN {print e + l}')"
    done < <(grep 'positive	clean' "$manifest")
    for i in "${!near[@]}"; do
      v=${voices[$(((i + near_i) % ${#voices[@]}))]}
      in_room "$out/neg-$v-near$i.wav" "$out/neg-$v-near$i-$noise$snr.wav" "$noise" "$snr"
      negative "neg-$v-near$i-$noise$snr.wav" "near-$noise$snr"
    done
    near_i=$((near_i + 1))
    for i in 0 2 4 6 8 10 12 14 16 18; do
      j=$(((i + sentence_i) % ${#sentences[@]}))
      v=${voices[$(((i / 2 + sentence_i) % ${#voices[@]}))]}
      in_room "$out/neg-$v-sentence$j.wav" "$out/neg-$v-sentence$j-$noise$snr.wav" "$noise" "$snr"
      negative "neg-$v-sentence$j-$noise$snr.wav" "sentences-$noise$snr"
    done
    sentence_i=$((sentence_i + 1))
  done
done

rm -rf "$out/tmp"
awk -F'\t' '{n[$2]++} END {for (k in n) print n[k], k}' "$manifest"
