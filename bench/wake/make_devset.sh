#!/usr/bin/env bash
# Builds the wake development set into OUT (default: ./wake-devset): speech made with flite and
# espeak-ng, varied with sox, prose from Debian's fortunes package, plus the PocketSphinx test
# recordings. Nothing here is committed; run it again to rebuild: with the same flite, espeak-ng,
# sox and fortunes, every run builds the same clips, byte for byte. Writes OUT/manifest.tsv, one
# clip a line:
#   file (16 kHz int16 WAV)  kind (positive/negative)  group  seconds where "Vorlin" ends (or -)
#   split (dev, or held: voices and sentences of its own, measured and never tuned on)
# and OUT/texts.tsv: file, speaker and words of every clean synthesised clip.
# WAKE_DEVSET_JOBS (default 2) clips are made at once.
set -euo pipefail
shopt -s inherit_errexit

# Figures from two builds of the set compare only if the clips are the same: sox seeds its dither
# and its noise alike on every call (-R), and each job seeds bash's RANDOM, which picks the noise
# offsets, from its own number, so jobs may run in any order.
sox() { command sox -R "$@"; }

out=${1:-wake-devset}
max_jobs=${WAKE_DEVSET_JOBS:-2}
here=$(cd "$(dirname "$0")" && pwd)
librivox=/usr/share/pocketsphinx/test/data/librivox
fortunes=/usr/share/games/fortunes
lead=2.5         # seconds of room noise before the speech
gap=0.4          # seconds of silence around a spoken clip
pause=0.15       # seconds between separately spoken pieces of one sentence
noise_seconds=600

# A speaker is flite:VOICE or espeak:VOICE[+VARIANT]:WORDS_PER_MINUTE:PITCH (pitch 0-99). The
# held-out speakers share no voice and no variant with the development ones.
dev_speakers=(
  flite:kal flite:kal16 flite:rms
  espeak:en-us:175:50 espeak:en-us+m3:160:40 espeak:en-us+f2:170:60 espeak:en-us+klatt:150:50
  espeak:en-gb-x-rp+m1:185:45 espeak:en+f3:140:65 espeak:en-gb-scotland+m6:165:30
  espeak:en-us+Andy:180:55
)
held_speakers=(
  flite:awb flite:slt
  espeak:en-us-nyc+f4:165:70 espeak:en-029+m2:190:35 espeak:en-gb-x-gbcwmd+m5:155:45
  espeak:en-us-nyc+klatt3:170:55 espeak:en-gb-x-gbclan+f1:150:60 espeak:en-029+Michael:175:40
)
# Four voices of neither split read at once: the babble of a room.
babble_speakers=(espeak:en-us+m7:170:45 espeak:en+f5:160:60 espeak:en-us+m4:150:35
  espeak:en-gb-x-rp+m8:180:50)

# Sentences with the name, written as the pieces they are spoken in ("|"): see speak_pieces().
dev_phrases=(
  "Hey Vorlin."
  "Hey Vorlin, | what is the weather like today?"
  "Hey Vorlin, | set a timer for ten minutes."
  "Okay Vorlin, | turn on the lights."
  "Okay, | hey Vorlin, | play some music."
  "I think, | hey Vorlin, | what time is it?"
  "Okay then, | hey Vorlin, | can you open my calendar?"
  "Turn on the lights, | hey Vorlin."
  "What time is it, | hey Vorlin?"
)
held_phrases=(
  "Hey Vorlin!"
  "Hey Vorlin, | how long will the drive to work take?"
  "Hey Vorlin, | remind me to call my mother tonight."
  "Okay Vorlin, | what is on my shopping list?"
  "Okay, | hey Vorlin, | read me the news."
  "Sorry, | hey Vorlin, | stop the alarm."
  "I was thinking, and | hey Vorlin, | please turn the heating up."
  "Can you help me, | hey Vorlin?"
  "Good morning, | Vorlin."
)
# Words said in the name's place in the phrases above: what the recognizers hear for it.
near_words=(Berlin Marlin Merlin Marlon Darling Carlin Borland Verlin Forling Warlin Caroline
  Marvin)
dev_near=(
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
held_near=(
  "The conference in Berlin starts on Monday."
  "He caught a blue marlin off the coast of Florida."
  "My darling, dinner is on the table."
  "Marlon left the keys on the kitchen table."
  "Borland made software tools in the nineties."
  "Ask Caroline whether she wants to come along."
  "We bought a violin for our daughter."
  "I saved a seat for Lynn at the concert."
  "George Carlin was a famous comedian."
  "Merlin taught the young king many things."
  "Mister Warlin will see you now."
  "The four lean cows stood in the field."
)
# The name inside a longer word.
dev_inword=(
  "We drove through Vorlington on the way home."
  "Hey Vorlinska, nice to meet you."
)
held_inword=(
  "The train to Vorlington leaves at noon."
  "Anna Vorlinska sang at the opera last night."
)
dev_sentences=(
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
held_sentences=(
  "The bus was late again this morning."
  "Could you pick up some milk on the way home?"
  "I have never seen so much snow in April."
  "The printer on the second floor is out of paper."
  "We are planning a trip to the mountains in June."
  "He forgot his umbrella and got soaked."
  "Hey, have you seen the new bakery on the corner?"
  "Let me know when the washing machine has finished."
  "The doctor said I should drink more water."
  "Our neighbours are painting their fence blue."
  "It took us two hours to assemble the bookshelf."
  "The concert tickets sold out in ten minutes."
  "Please close the window, it is getting cold."
  "My phone battery is almost empty."
  "They opened a new swimming pool near the school."
  "The soup needs a little more salt."
  "I will call you back after the meeting."
  "The cat has been sleeping on the sofa all day."
  "We need to renew our passports before the summer."
  "Which platform does the next train leave from?"
)
passage="It was a bright cold day in April, and the clocks were striking thirteen. The hallway \
smelt of boiled cabbage and old rag mats. At one end of it a coloured poster, too large for \
indoor display, had been tacked to the wall. It depicted simply an enormous face, more than a \
metre wide: the face of a man of about forty-five, with a heavy black moustache and ruggedly \
handsome features. Outside, even through the shut window-pane, the world looked cold. Down in \
the street little eddies of wind were whirling dust and torn paper into spirals, and though \
the sun was shining and the sky a harsh blue, there seemed to be no colour in anything."
# Prose for false wakes: fortune files of each split (quotations, anecdotes, short passages from
# books), read in files of about three minutes.
dev_prose=(people literature)
held_prose=(wisdom humorists education)
babble_prose=(work)
dev_prose_files=34
held_prose_files=14
prose_chars=3000

# A room's noise runs all the time: pink (a fan, an air conditioner), brown (traffic, a rumble)
# and babble start 2.5 s before the speech and go on 0.5 s after it, at 20, 10 and 5 dB below the
# speech's active level (its pauses left out).
rooms=(pink20 pink10 pink5 brown20 brown10 brown5 babble20 babble10 babble5)
prose_rooms=(pink20 pink10 brown20 brown10 babble20 babble10)

fail() {
  echo "make_devset.sh: $*" >&2
  exit 1
}

# --- Speech

speaker_tag() { local t=${1#*:}; echo "${t//[:+]/-}"; }

check_speaker() {
  local voice variant
  case "$1" in
    flite:*) flite -lv | tr ' ' '\n' | grep -x "${1#flite:}" >/dev/null ;;
    espeak:*)
      IFS=: read -r _ voice _ _ <<<"$1"
      variant=${voice#*+}
      espeak-ng -v "${voice%%+*}" -q "" &&
        { [[ $voice != *+* ]] || espeak-ng --voices=variant | awk '{print $5}' | grep -x "!v/$variant" >/dev/null; }
      ;;
    *) false ;;
  esac || fail "no such speaker: $1"
}

synth() {  # speaker text_file raw_wav
  local voice wpm pitch
  case "$1" in
    flite:*) flite -voice "${1#flite:}" -f "$2" -o "$3" ;;
    espeak:*)
      IFS=: read -r _ voice wpm pitch <<<"$1"
      espeak-ng -v "$voice" -s "$wpm" -p "$pitch" -f "$2" -w "$3"
      ;;
  esac
}

# Every voice peaks 6 dB below full scale: loud enough, and a voice and its noise at 5 dB SNR,
# or resampling's overshoot, stay below full scale, where they would clip.
to_16k() { sox "$1" -r 16000 -c 1 -b 16 -e signed-integer "$2" "${@:3}" gain -n -6; }

# The silence around speech, trimmed so that lengths add up.
trim_silence=(silence 1 0.02 0.5% reverse silence 1 0.02 0.5% reverse)

# Speech at 16 kHz mono.
say() {  # speaker text out
  printf '%s\n' "$2" >"$tmp/text.txt"
  synth "$1" "$tmp/text.txt" "$tmp/raw.wav"
  to_16k "$tmp/raw.wav" "$3" "${trim_silence[@]}"
}
seconds() { soxi -D "$1"; }
# Digital silence, undithered: the pause after the name shows where the name ends.
silence() { sox -D -n -r 16000 -c 1 -b 16 -e signed-integer "$1" trim 0 "$2"; }

# One utterance cannot tell where the name inside it ends; so a sentence is spoken in pieces
# ("Okay, | hey Vorlin, | play some music."), each on its own, joined by short pauses, and where a
# piece ends with the name, the name's end in the clip is known to the sample. The name as a word
# anywhere else stops the build, since its end would be a guess.
speak_pieces() {  # speaker sentence: tmp/pieceN.wav, piece_count, named (piece index or -)
  local pieces piece lower i
  IFS='|' read -ra pieces <<<"$2"
  piece_count=${#pieces[@]}
  named=-
  for ((i = 0; i < piece_count; i++)); do
    piece=${pieces[$i]}
    piece=${piece#"${piece%%[! ]*}"}
    piece=${piece%"${piece##*[! ]}"}
    say "$1" "$piece" "$tmp/piece$i.wav"
    lower=${piece,,}
    if [[ $lower =~ (^|[^a-z])vorlin[^a-z]*$ ]]; then
      named=$i
    elif [[ $lower =~ (^|[^a-z])vorlin([^a-z]|$) ]]; then
      fail "the name inside a piece, not at its end: $piece"
    fi
  done
}

# Joins the pieces, each through the sox EFFECT if one is given, with pauses between them and
# silence around them; sets joined_end, where the name ends in the clip (or -). The pauses keep
# their length under a change of tempo, as a speaker's would; tempo and pitch leave a silent
# tail, trimmed again so that the piece ends where its sound does.
join_pieces() {  # out [effect...]
  local i piece parts=("$out/tmp/gap.wav") lengths=()
  for ((i = 0; i < piece_count; i++)); do
    piece="$tmp/piece$i.wav"
    if (($# > 1)); then
      sox "$piece" "$tmp/varied$i.wav" "${@:2}" "${trim_silence[@]}"
      piece="$tmp/varied$i.wav"
    fi
    parts+=("$piece" "$out/tmp/pause.wav")
    lengths+=("$(seconds "$piece")")
  done
  parts[${#parts[@]} - 1]="$out/tmp/gap.wav"
  sox "${parts[@]}" "$1"
  joined_end=-
  if [[ $named != - ]]; then
    joined_end=$(echo "${lengths[@]}" | awk -v n="$named" -v g="$gap" -v p="$pause" \
      '{e = g; for (i = 1; i <= n + 1; i++) e += $i; printf "%.6f\n", e + n * p}')
  fi
}

# --- Manifest: each job writes its own part; the parts are joined in the order the jobs began.

record() {  # file kind group end
  printf '%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" "$split" >>"$part"
}
words() {  # file speaker text
  printf '%s\t%s\t%s\n' "$1" "$2" "$(echo "$3" | tr -s '|\n\t' ' ' | sed 's/ *$//')" >>"$part_texts"
}

# Faster, slower and higher.
variant_effects=(fast:tempo:1.15 slow:tempo:0.88 high:pitch:250)

# A sentence as a clean clip, with its manifest line and words; with VARIED, also its variants,
# each joined from varied pieces, so that the name's end stays exact. Sets clip_end.
clip() {  # speaker kind group sentence file [varied]
  local base=${5%.wav} variant name effect value
  speak_pieces "$1" "$4"
  if [[ $2 == positive && $named == - ]]; then fail "no piece ends with the name: $4"; fi
  join_pieces "$out/$5"
  clip_end=$joined_end
  record "$5" "$2" "$3" "$clip_end"
  words "$5" "$1" "$4"
  [[ ${6:-} == varied ]] || return 0
  for variant in "${variant_effects[@]}"; do
    IFS=: read -r name effect value <<<"$variant"
    join_pieces "$out/$base-$name.wav" "$effect" "$value"
    record "$base-$name.wav" "$2" "$3" "$joined_end"
    words "$base-$name.wav" "$1" "$4"
  done
}

# --- Noise

rms_of() { sox "$1" -n "${@:2}" stat 2>&1 | awk '/RMS +amplitude/ {print $3}'; }
# The gain that puts NOISE at SNR dB below the speech's RMS level.
gain_under() {  # noise speech_rms snr
  sox "$1" -n stat 2>&1 |
    awk -v a="$2" -v s="$3" '/RMS +amplitude/ {printf "%.6f", a / (10 ^ (s / 20)) / $3}'
}

noise_sources() {
  local colour i=0 parts=() file
  for colour in pink brown; do
    sox -n -r 16000 -c 1 -b 16 -e signed-integer "$out/tmp/$colour.wav" \
      synth "$noise_seconds" "${colour}noise"
  done
  prose_chunks babble "${#babble_speakers[@]}" 12000 "${babble_prose[@]}"
  for speaker in "${babble_speakers[@]}"; do
    file="$out/tmp/prose/babble-0$i.txt"
    synth "$speaker" "$file" "$out/tmp/babble-raw$i.wav"
    to_16k "$out/tmp/babble-raw$i.wav" "$out/tmp/babble$i.wav" repeat 2 trim 0 "$noise_seconds"
    parts+=(-v 0.25 "$out/tmp/babble$i.wav")
    i=$((i + 1))
  done
  sox -m "${parts[@]}" "$out/tmp/babble.wav" gain -n -6
}

# A stretch of a noise, cut at a point of the clip's own: seeded alike, every stretch would be
# the same noise.
noise_cut() {  # colour seconds out
  local room=$((noise_seconds - ${2%.*} - 1))
  sox "$out/tmp/$1.wav" "$3" trim "$(((RANDOM * 32768 + RANDOM) % (room * 16000)))s" "$2"
}

# Moves an end in the clip by the noise's lead (or leaves -).
later() {
  if [[ $1 == - ]]; then echo -; else awk -v e="$1" -v l="$2" 'BEGIN {printf "%.6f\n", e + l}'; fi
}

# The clip in some rooms: ROOM is a colour and an SNR (pink10); each goes to group PREFIX+ROOM.
in_rooms() {  # file kind prefix end room...
  local file=$1 kind=$2 prefix=$3 end room length active gain
  end=$(later "$4" "$lead")
  shift 4
  [[ $# -gt 0 ]] || return 0
  sox "$out/$file" "$tmp/padded.wav" pad "$lead" 0.5
  length=$(seconds "$tmp/padded.wav")
  active=$(rms_of "$out/$file" silence -l 1 0.02 1% -1 0.05 1%)
  for room in "$@"; do
    noise_cut "${room%%[0-9]*}" "$length" "$tmp/noise.wav"
    gain=$(gain_under "$tmp/noise.wav" "$active" "${room##*[a-z]}")
    sox -m -v 1 "$tmp/padded.wav" -v "$gain" "$tmp/noise.wav" "$out/${file%.wav}-$room.wav"
    record "${file%.wav}-$room.wav" "$kind" "$prefix$room" "$end"
  done
}

# The older noisy groups: pink noise only under the clip, at the level of the whole clip.
under_pink() {  # file kind group snr end
  local base=${1%.wav} gain
  noise_cut pink "$(seconds "$out/$1")" "$tmp/noise.wav"
  gain=$(gain_under "$tmp/noise.wav" "$(rms_of "$out/$1")" "$4")
  sox -m "$out/$1" -v "$gain" "$tmp/noise.wav" "$out/$base-snr$4.wav"
  record "$base-snr$4.wav" "$2" "$3" "$5"
}

# A recording, faster, slower and higher.
variants() {  # file kind group
  local base=${1%.wav} variant name effect value
  for variant in "${variant_effects[@]}"; do
    IFS=: read -r name effect value <<<"$variant"
    sox "$out/$1" "$out/$base-$name.wav" "$effect" "$value"
    record "$base-$name.wav" "$2" "$3" -
  done
}

# Every third room for the clip numbered I (of speaker S): each room hears every kind of clip.
third_of_rooms() {  # i s
  local c
  for c in "${!rooms[@]}"; do
    if (((c + $1 + $2) % 3 == 0)); then echo "${rooms[$c]}"; fi
  done
}

# --- Jobs

job_count=0
running=0
# Runs FUNCTION ARGS... in the background, at most max_jobs at once, with a manifest part and a
# scratch folder of its own, and RANDOM seeded from the job's number.
spawn() {
  if ((running >= max_jobs)); then
    wait -n || :
    running=$((running - 1))
  fi
  local id
  id=$(printf '%03d' "$job_count")
  job_count=$((job_count + 1))
  running=$((running + 1))
  (
    RANDOM=$((10#$id + 1))
    part="$out/parts/$id.tsv" part_texts="$out/parts/$id.texts" tmp="$out/tmp/$id"
    mkdir -p "$tmp"
    : >"$part"
    : >"$part_texts"
    "$@"
    rm -rf "$tmp"
    touch "$out/parts/$id.ok"
  ) &
}
# A job that failed leaves no .ok: the set is not written, rather than written without its clips.
finish() {
  wait
  local id
  for ((id = 0; id < job_count; id++)); do
    [[ -e $out/parts/$(printf '%03d' "$id").ok ]] || fail "job $id failed"
  done
  cat "$out"/parts/*.tsv >"$out/manifest.tsv"
  cat "$out"/parts/*.texts >"$out/texts.tsv"
}

speaker_job() {  # split index speaker
  split=$1
  local s=$2 speaker=$3 tag i end word
  local -n phrases=${split}_phrases near=${split}_near inword=${split}_inword
  local -n sentences=${split}_sentences
  tag=$(speaker_tag "$speaker")
  for i in "${!phrases[@]}"; do
    clip "$speaker" positive clean "${phrases[$i]}" "pos-$tag-$i.wav" varied
    end=$clip_end
    under_pink "pos-$tag-$i.wav" positive snr20 20 "$end"
    under_pink "pos-$tag-$i.wav" positive snr10 10 "$end"
    in_rooms "pos-$tag-$i.wav" positive "" "$end" "${rooms[@]}"
  done
  for i in "${!near_words[@]}"; do
    word=${near_words[$i]}
    clip "$speaker" negative near "${phrases[(i + s) % ${#phrases[@]}]//Vorlin/$word}" \
      "neg-$tag-as-${word,,}.wav"
    in_rooms "neg-$tag-as-${word,,}.wav" negative near- - $(third_of_rooms "$i" "$s")
  done
  for i in "${!near[@]}"; do
    clip "$speaker" negative near "${near[$i]}" "neg-$tag-near$i.wav"
    in_rooms "neg-$tag-near$i.wav" negative near- - $(third_of_rooms "$((i + 1))" "$s")
  done
  for i in "${!inword[@]}"; do
    clip "$speaker" negative inword "${inword[$i]}" "neg-$tag-inword$i.wav"
    in_rooms "neg-$tag-inword$i.wav" negative inword- - $(third_of_rooms "$i" "$s")
  done
  for i in "${!sentences[@]}"; do
    clip "$speaker" negative sentences "${sentences[$i]}" "neg-$tag-sentence$i.wav"
    in_rooms "neg-$tag-sentence$i.wav" negative sentences- - \
      "${rooms[(i + s) % ${#rooms[@]}]}"
  done
  if [[ $split == dev ]]; then
    clip "$speaker" negative sentences "$passage" "neg-$tag-passage.wav"
  fi
}

# Cuts the fortunes of FILES into COUNT texts of about CHARS characters, without attributions
# ("-- Mark Twain") and without any fortune that holds the name: tmp/prose/NAME-NN.txt.
prose_chunks() {  # name count chars file...
  mkdir -p "$out/tmp/prose"
  (cd "$fortunes" && cat "${@:4}") | awk -v RS='%\n' -v dir="$out/tmp/prose" -v name="$1" \
    -v count="$2" -v size="$3" '
    k == count || tolower($0) ~ /vorlin/ { next }
    {
      n = split($0, lines, "\n")
      for (i = 1; i <= n; i++) if (lines[i] !~ /^[ \t]*--/) chunk = chunk lines[i] "\n"
      if (length(chunk) >= size) {
        file = sprintf("%s/%s-%02d.txt", dir, name, k++)
        printf "%s", chunk > file
        close(file)
        chunk = ""
      }
    }
    END { if (k < count) exit 1 }' || fail "too little prose in ${*:4} for $2 files"
}

prose_job() {  # split index speaker
  split=$1
  local k=$2 speaker=$3 text file
  text="$out/tmp/prose/$split-$(printf '%02d' "$k").txt"
  file="neg-prose-$split$(printf '%02d' "$k")-$(speaker_tag "$speaker").wav"
  synth "$speaker" "$text" "$tmp/raw.wav"
  to_16k "$tmp/raw.wav" "$out/$file"
  record "$file" negative prose -
  words "$file" "$speaker" "$(cat "$text")"
  # Every other file also in a room, each room in turn.
  if ((k % 2 == 1)); then
    in_rooms "$file" negative prose- - "${prose_rooms[(k / 2) % ${#prose_rooms[@]}]}"
  fi
}

librivox_job() {
  split=dev
  local f base
  for f in "$librivox"/*.wav; do
    base=neg-$(basename "$f" .wav)
    cp "$f" "$out/$base.wav"
    record "$base.wav" negative librivox -
    variants "$base.wav" negative librivox
    under_pink "$base.wav" negative librivox 20 -
    under_pink "$base.wav" negative librivox 10 -
  done
}

split_jobs() {  # split
  local k
  local -n speakers=${1}_speakers
  for k in "${!speakers[@]}"; do
    spawn speaker_job "$1" "$k" "${speakers[$k]}"
  done
}

prose_jobs() {  # split
  local k
  local -n speakers=${1}_speakers files=${1}_prose_files
  for ((k = 0; k < files; k++)); do
    spawn prose_job "$1" "$k" "${speakers[k % ${#speakers[@]}]}"
  done
}

main() {
  local speaker
  for speaker in "${dev_speakers[@]}" "${held_speakers[@]}" "${babble_speakers[@]}"; do
    check_speaker "$speaker"
  done
  mkdir -p "$out"
  # A set rebuilt in place keeps no clip of an older build.
  if [[ -e $out/manifest.tsv ]]; then rm -f "$out"/*.wav "$out/manifest.tsv" "$out/texts.tsv"; fi
  rm -rf "$out/tmp" "$out/parts"
  mkdir -p "$out/tmp" "$out/parts"
  tmp="$out/tmp"
  silence "$out/tmp/gap.wav" "$gap"
  silence "$out/tmp/pause.wav" "$pause"
  noise_sources
  prose_chunks dev "$dev_prose_files" "$prose_chars" "${dev_prose[@]}"
  prose_chunks held "$held_prose_files" "$prose_chars" "${held_prose[@]}"
  # A build that stops leaves no job running on.
  trap 'jobs -pr | xargs -r kill 2>/dev/null' EXIT
  split_jobs dev
  split_jobs held
  prose_jobs dev
  prose_jobs held
  spawn librivox_job
  finish
  rm -rf "$out/tmp" "$out/parts"
  # A set that fails its check must not pass for one the benches can measure on.
  if ! python3 "$here/check_devset.py" "$out"; then
    mv "$out/manifest.tsv" "$out/manifest.failed.tsv"
    fail "the set failed its check; its manifest is now manifest.failed.tsv"
  fi
  awk -F'\t' '{n[$5 " " $2]++} END {for (k in n) print n[k], k}' "$out/manifest.tsv" | sort -k2
}

# One line, read whole before it runs: a build goes on unharmed when this file is edited under it.
main; exit
