# Sourced by the benches: both sides of a bench run ROUNDS times, one after
# the other (kvemmc, then the plain tools, then kvemmc again ...), each after
# the page cache is dropped, so that neither side finds the other's data in
# memory and a busy moment of the machine falls on both. What is printed:
# the median of each side, the median of the rounds' ratios, and the spread
# (min-max) of each.
#
# BENCH_ROUNDS in the environment sets the number of rounds (default 3).

bench_rounds=${BENCH_ROUNDS:-3}
[[ $bench_rounds =~ ^[1-9][0-9]*$ ]] || { echo "BENCH_ROUNDS must be a positive number" >&2; exit 1; }

# The page cache and the dentries go (root only; a no-op otherwise).
drop_caches() {
  sync
  [ -w /proc/sys/vm/drop_caches ] && echo 3 > /proc/sys/vm/drop_caches || true
}

# bench_report NAME PLAIN_NAME KVEMMC_SECONDS PLAIN_SECONDS PEAK_KIB [throughput]
# (the seconds as space-separated lists, one per round, in round order;
# "throughput" adds the inverse ratio, plain time / kvemmc time)
bench_report() {
  awk -v name="$1" -v plain_name="$2" -v k="$3" -v p="$4" -v kib="$5" -v inverse="${6:-}" '
    function median(a, n,   i, j, t) {
      for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
      return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    function spread(a, n,   i, lo, hi) {
      lo = hi = a[1]; for (i = 2; i <= n; i++) { if (a[i] < lo) lo = a[i]; if (a[i] > hi) hi = a[i] }
      return sprintf("%.2f-%.2f", lo, hi)
    }
    BEGIN {
      n = split(k, ks, " "); m = split(p, ps, " ")
      if (n == 0 || n != m) { print "bench: the rounds did not all give a time" > "/dev/stderr"; exit 1 }
      for (i = 1; i <= n; i++) { r[i] = ks[i] / ps[i]; t[i] = ps[i] / ks[i] }
      printf "%-34s median %.2f s (spread %s s, %d rounds)\n", name ":", median(ks, n), spread(ks, n), n
      printf "%-34s median %.2f s (spread %s s)\n", plain_name ":", median(ps, n), spread(ps, n)
      printf "time ratio (kvemmc / plain tools): median %.2f (spread %s)\n", median(r, n), spread(r, n)
      if (inverse == "throughput")
        printf "throughput ratio (kvemmc / plain tools): median %.2f (spread %s)\n", median(t, n), spread(t, n)
      printf "kvemmc peak resident memory: %.1f MiB\n", kib / 1024
    }'
}

# The wall time and the peak resident memory (KiB) that /usr/bin/time -v
# wrote into FILE: "SECONDS KIB".
time_file_values() {
  awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i] }
    /Maximum resident set size/ { kib = $2 }
    END { if (s == "" || kib == "") exit 1; print s, kib }' "$1"
}

# The kernel starts writing a copy back while it runs once its dirty pages
# pass a share of the free memory. With this machine's memory a copy of
# 1 GiB may or may not pass it, depending on how full the images' tmpfs is,
# so one side's sync would pay for all of it and the other's for little.
# A box has a tenth of this memory: for both sides, as there, write-back
# starts at 256 MiB (the setting is restored when the bench ends; root only).
box_like_writeback() {
  [ -w /proc/sys/vm/dirty_background_bytes ] || return 0
  saved_dirty_bytes=$(cat /proc/sys/vm/dirty_background_bytes)
  saved_dirty_ratio=$(cat /proc/sys/vm/dirty_background_ratio)
  trap restore_writeback EXIT
  echo $((256 << 20)) > /proc/sys/vm/dirty_background_bytes
}
restore_writeback() {
  if [ "$saved_dirty_bytes" != 0 ]; then
    echo "$saved_dirty_bytes" > /proc/sys/vm/dirty_background_bytes
  else
    echo "$saved_dirty_ratio" > /proc/sys/vm/dirty_background_ratio
  fi
}
