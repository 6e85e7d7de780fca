#!/usr/bin/env bash
# Loading an index saved in the stream format against the mapped format, in
# one run: for each FASTA given, both files are saved (-d, --index-format),
# then each is loaded to map 10 reads, first with the file out of the page
# cache (when this runs as root and may drop the caches) and then again.
# The mapped file is loaded once more with --no-index-check. Prints wall,
# user and system time and the memory of the process as
# /proc/PID/smaps_rollup reports it once the index is loaded: resident, of
# which anonymous (the process's own copy) and file pages (the page cache,
# shareable), and proportional (Pss: shared pages divided among the
# processes that map them). Last, four processes load the mapped file at
# once: their total Pss against one process's.
#   bench/index_formats.sh GENOME.fa [GENOME.fa ...]     (work files beside build/)
# Needs a Release build in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$PWD/build/lodestar
sim=$PWD/build/lodestar-sim
work=$PWD/build/bench-index-formats
mkdir -p "$work"

drop_caches() {  # best effort: only root may, and not in every container
  sync
  echo 1 >/proc/sys/vm/drop_caches 2>/dev/null || echo "  (page cache not dropped: needs root)" >&2
}

# smaps [OPTIONS] IDX: starts the mapper on a query FIFO, waits until the index is
# loaded (its log says so), prints "rss_MB private_MB shared_MB pss_MB",
# then lets it map and finish.
smaps() {
  local fifo=$work/q.fifo log=$work/smaps.log pid
  rm -f "$fifo"
  mkfifo "$fifo"
  "$bin" -t1 "$@" "$fifo" >/dev/null 2>"$log" &
  pid=$!
  exec 3>"$fifo" # the mapper alone holds the reading end
  for _ in $(seq 600); do grep -q 'loaded in' "$log" 2>/dev/null && break; sleep 0.1; done
  awk '/^Rss:/ {r = $2} /^Pss:/ {p = $2} /^Anonymous:/ {a = $2}
       END {printf "%.0f %.0f %.0f %.0f\n", r / 1024, a / 1024, (r - a) / 1024, p / 1024}' "/proc/$pid/smaps_rollup"
  cat "$work/reads.fq" >&3
  exec 3>&-
  wait $pid
  rm -f "$fifo"
}

printf "%-34s %8s %8s %8s %8s %8s %8s %8s\n" run wall_s user_s sys_s rss_MB anon_MB file_MB pss_MB
for fa in "$@"; do
  name=$(basename "$fa" | sed 's/\.gz$//; s/\.fa$//')
  "$sim" reads -g "$fa" --seed 3 -n 10 --mean-len 5000 --sd-len 500 --sub 0.02 -o "$work/reads.fq" >/dev/null
  for fmt in stream mapped; do
    idx=$work/$name.$fmt.idx
    [ -s "$idx" ] || "$bin" -v1 -t2 --index-format "$fmt" -d "$idx" "$fa"
    passes=(first second)
    [ "$fmt" = mapped ] && passes+=(unchecked)
    for pass in "${passes[@]}"; do
      [ "$pass" = first ] && drop_caches
      opts=()
      [ "$pass" = unchecked ] && opts=(--no-index-check)
      /usr/bin/time -f "%e %U %S" -o "$work/time.txt" "$bin" -t1 "${opts[@]}" "$idx" "$work/reads.fq" >/dev/null 2>&1
      read -r w u s <"$work/time.txt"
      read -r rss anon filemb pss < <(smaps "${opts[@]}" "$idx")
      printf "%-34s %8.2f %8.2f %8.2f %8s %8s %8s %8s\n" "$name $fmt ($pass run)" "$w" "$u" "$s" "$rss" "$anon" \
        "$filemb" "$pss"
    done
    awk -v f="$fmt" -v s="$(stat -c %s "$idx")" 'BEGIN { printf "  %s file: %.0f MB\n", f, s / 1048576 }'
  done
  # Four at once on the mapped file: each holds the index until all four
  # have loaded it, then their Pss is summed.
  pids=()
  fifos=()
  for i in 1 2 3 4; do
    rm -f "$work/q$i.fifo"
    mkfifo "$work/q$i.fifo"
    "$bin" -t1 "$work/$name.mapped.idx" "$work/q$i.fifo" >/dev/null 2>"$work/four$i.log" &
    pids+=($!)
  done
  for i in 1 2 3 4; do
    exec {fd}>"$work/q$i.fifo"
    fifos+=("$fd")
  done
  for i in 1 2 3 4; do
    for _ in $(seq 600); do grep -q 'loaded in' "$work/four$i.log" 2>/dev/null && break; sleep 0.1; done
  done
  total=0
  for pid in "${pids[@]}"; do
    total=$((total + $(awk '/^Pss:/ {print $2}' "/proc/$pid/smaps_rollup")))
  done
  for fd in "${fifos[@]}"; do cat "$work/reads.fq" >&"$fd"; exec {fd}>&-; done
  wait "${pids[@]}"
  rm -f "$work"/q?.fifo
  read -r _ _ _ one < <(smaps "$work/$name.mapped.idx")
  awk -v t="$total" -v o="$one" 'BEGIN { printf "  four processes on the mapped file: Pss %.0f MB in all, %.2fx one process (%s MB)\n",
    t / 1024, t / 1024 / o, o }'
done
