#!/usr/bin/env bash
# Builds the benchmark programs (native Release, in build/bench) and runs them, then prints a
# table of medians, ranges (fastest and slowest repetition) and ratios. Every comparison runs
# in one process run with its variants interleaved at random, on one file system; quote the
# ratios, never a single time.
#
#   scripts/bench.sh                    all three programs
#   scripts/bench.sh write scan merge   only the named ones
#
# QEM_BENCH_DIR: where the sandboxes go (default build/bench/sandbox, on the repository's disk).
# QEM_BENCH_REPETITIONS: repetitions of each benchmark (default 15 for writes, 5 for the scan,
# 10 for merge).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

programs=("$@")
[ ${#programs[@]} -gt 0 ] || programs=(write scan merge)

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQEM_BUILD_BENCHMARKS=ON \
  -DQEM_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench -j2 >/dev/null

export QEM_BENCH_DIR="${QEM_BENCH_DIR:-$PWD/build/bench/sandbox}"
results=build/bench/results
mkdir -p "$results"

run() {  # name repetitions extra-arguments...
  local name=$1 repetitions=${QEM_BENCH_REPETITIONS:-$2}
  shift 2
  echo "--- bench_$name ($repetitions repetitions, interleaved)" >&2
  # The machine description and any error go to $results/$name.log.
  if ! build/bench/bench/bench_"$name" --benchmark_repetitions="$repetitions" \
    --benchmark_enable_random_interleaving=true --benchmark_display_aggregates_only=true \
    --benchmark_out="$results/$name.json" --benchmark_out_format=json "$@" \
    >"$results/$name.log" 2>&1; then
    cat "$results/$name.log" >&2
    exit 1
  fi
  grep -h "ERROR OCCURRED" "$results/$name.log" >&2 || true
}

for p in "${programs[@]}"; do
  case "$p" in
    write) run write 15 ;;
    scan) run scan 5 --benchmark_min_time=0.2 ;;
    merge) run merge 10 --benchmark_min_time=0.1 ;;
    *) echo "unknown program: $p" >&2; exit 2 ;;
  esac
done

python3 - "$results" "${programs[@]}" <<'PY'
import json, sys, os

folder, programs = sys.argv[1], sys.argv[2:]

def short(run_name):
    return run_name.split("/iterations")[0].split("/manual_time")[0].split("/real_time")[0]

def scaled(b, field):
    return b[field] * {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]

def medians(name):
    # The median of each benchmark, with the range (fastest and slowest repetition) beside it.
    path = os.path.join(folder, name + ".json")
    out, times = {}, {}
    for b in json.load(open(path))["benchmarks"]:
        if b.get("error_occurred"):
            continue
        key = short(b["run_name"])
        if b.get("run_type") == "iteration":
            times.setdefault(key, []).append(scaled(b, "real_time"))
        elif b.get("aggregate_name") == "median":
            out[key] = b
    for key, b in out.items():
        b["range_ms"] = (min(times.get(key, [ms(b)])), max(times.get(key, [ms(b)])))
    return out

def ms(b):
    return scaled(b, "real_time")

def spread(b, digits, factor=1.0):
    # "median (fastest-slowest)", in ms times factor
    low, high = b["range_ms"]
    f = "%%.%df" % digits
    return (f + " (" + f + "-" + f + ")") % (ms(b) * factor, low * factor, high * factor)

def cpu_ms(b):
    # Processor time of the benchmark's thread, the system calls' time in the kernel included.
    return scaled(b, "cpu_time")

def row(cells):
    print("| " + " | ".join(str(c) for c in cells) + " |")

if "write" in programs:
    m = medians("write")
    print("\n### Durable single-key write (median ms per write, fastest-slowest repetition; "
          "ratio = other / service)\n")
    row(["keys", "doc bytes", "service", "SQLite DELETE+FULL", "SQLite WAL+FULL", "bare floor",
         "vs DELETE", "vs WAL", "vs floor", "CPU ms: service / WAL / floor"])
    row(["---"] * 10)
    for k in (10, 100, 1000):
        s, d, w, f = (m.get("BM_%s/%d" % (n, k)) for n in
                      ("ServiceWrite", "SqliteDeleteFull", "SqliteWalFull", "FloorWrite"))
        if not all((s, d, w, f)):
            continue
        row([k, int(s.get("doc_bytes", 0)), spread(s, 2), spread(d, 2), spread(w, 2),
             spread(f, 2), "%.2fx" % (ms(d) / ms(s)), "%.2fx" % (ms(w) / ms(s)),
             "%.2fx" % (ms(f) / ms(s)),
             "%.3f / %.3f / %.3f" % (cpu_ms(s), cpu_ms(w), cpu_ms(f))])
    print("\nGoals at 10 keys: vs DELETE >= 3x, vs WAL >= 1.0x, vs floor >= 0.7x.")

if "scan" in programs:
    m = medians("scan")
    print("\n### Scan as a process (median wall ms, fastest-slowest run; peak resident KiB; "
          "ratio = tool / floor)\n")
    row(["sub-domains", "tool", "floor (1 pass)", "floor, 1 pass kept", "floor, 2 passes kept",
         "SQLite", "tool / floor", "tool / 2-pass floor", "tool peak KiB", "cached docs heap KiB",
         "peak / heap"])
    row(["---"] * 11)
    for n in (1000, 10000):
        t, f, k, tw, q, h = (m.get("BM_%s/%d" % (x, n)) for x in
                             ("Tool", "Floor", "FloorKeep", "FloorTwice", "Sqlite",
                              "CachedDocumentsHeap"))
        if not all((t, f, k, tw, q, h)):
            continue
        row([n, spread(t, 0), spread(f, 0), spread(k, 0), spread(tw, 0), spread(q, 0),
             "%.2fx" % (ms(t) / ms(f)), "%.2fx" % (ms(t) / ms(tw)), int(t["peak_rss_kb"]),
             int(h["heap_kb"]), "%.2fx" % (t["peak_rss_kb"] / h["heap_kb"])])
    empty = m.get("BM_Tool/0")
    if empty:
        print("\nTool over an empty store: %.0f ms, %d KiB peak." % (ms(empty),
                                                                   int(empty["peak_rss_kb"])))
    a, b = m.get("BM_Tool/1000"), m.get("BM_Tool/10000")
    fa, fb = m.get("BM_Floor/1000"), m.get("BM_Floor/10000")
    if a and b and fa and fb:
        print("Growth 1,000 -> 10,000 sub-domains: tool %.1fx, floor %.1fx." %
              (ms(b) / ms(a), ms(fb) / ms(fa)))
    print("Goals at 10,000: tool / floor <= 2.3x; peak / heap <= 1.5x.")

if "merge" in programs:
    m = medians("merge")
    print("\n### Per document size (median us, fastest-slowest repetition)\n")
    row(["keys", "doc bytes", "load (read text -> cached doc)", "merge + print + seal",
         "listing, per document"])
    row(["---"] * 5)
    for k in (10, 100, 1000):
        l, g, s = (m.get("BM_%s/%d" % (n, k)) for n in ("Load", "MergePrintSeal",
                                                        "ListingPerDocument"))
        if not all((l, g, s)):
            continue
        per_doc = 1e6 / s["items_per_second"]
        row([k, int(l.get("doc_bytes", 0)), spread(l, 1, 1e3), spread(g, 1, 1e3),
             "%.1f" % per_doc])
    a, b = m.get("BM_Load/10"), m.get("BM_Load/1000")
    if a and b:
        print("\nGrowth 10 -> 1,000 keys (100x the keys): load %.0fx, merge %.0fx." %
              (ms(b) / ms(a), ms(m["BM_MergePrintSeal/1000"]) / ms(m["BM_MergePrintSeal/10"])))
PY
