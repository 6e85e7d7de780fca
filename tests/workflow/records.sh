# Sourced by the workflow tests.

# require TOOL...: exits with "skipped" (status 77) when a tool is missing.
require() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed${hint:+ ($hint)}: skipped" >&2; exit 77; }
  done
}

# Both sides of a comparison go through BAM (which writes
# floats in its own way), and samtools merge moves the RG tag to the end of a
# record, so the tags of each record are compared as a set.
canonical() {
  python3 -c 'import sys
for l in sys.stdin:
    f = l.rstrip("\n").split("\t")
    print("\t".join(f[:11] + sorted(f[11:])))' | LC_ALL=C sort
}

# same_as_one_run LODESTAR PRESET READ_GROUP BAM MIN_RECORDS READS...: the
# merged BAM holds exactly the records of one unsharded run; prints why not.
same_as_one_run() {
  local cmd=$1 preset=$2 rg=$3 bam=$4 min=$5 tmp
  shift 5
  tmp=$(mktemp -d)
  "$cmd" -a -x "$preset" -t2 -R "$rg" "$@" 2>/dev/null | samtools view -b - | samtools view - | canonical >"$tmp/whole.sam"
  samtools view "$bam" | canonical >"$tmp/sharded.sam"
  local n; n=$(wc -l <"$tmp/whole.sam")
  if [ "$n" -lt "$min" ]; then
    echo "the unsharded run gave $n records, fewer than $min"
  elif ! cmp -s "$tmp/whole.sam" "$tmp/sharded.sam"; then
    echo "sharded records differ from one unsharded run: $(diff "$tmp/whole.sam" "$tmp/sharded.sam" | head -3)"
  fi
  rm -rf "$tmp"
}
