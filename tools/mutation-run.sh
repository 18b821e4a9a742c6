#!/usr/bin/env bash
# Mutation run over the driver sources: makes COUNT single-point mutants (a constant one off, a
# comparison turned, a call dropped, a result swapped), chosen with a fixed seed; for each one
# rebuilds the host preset incrementally and runs the host tests, stopping at the first failure;
# restores every file; prints the score and each surviving mutant. Run by hand, not in CI.
#
#   tools/mutation-run.sh [COUNT] [SEED]      (defaults: 60 mutants, seed 1)
#
# The tree must be clean in the driver folders; a mutated file is restored on exit, also on
# Ctrl-C. Environment: JOBS (build and test parallelism, default 2), LOG (per-mutant log,
# default build/mutation/run.log).
set -euo pipefail
count=${1:-60}
seed=${2:-1}
jobs=${JOBS:-2}
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
out="$root/build/mutation"
log=${LOG:-$out/run.log}
mkdir -p "$out"

if [ -n "$(git status --porcelain -- flash capsule board pirq support)" ]; then
  echo "mutation-run: driver sources have uncommitted changes; commit or stash them first" >&2
  exit 2
fi

# The host build must be configured and green before any mutant is judged against it.
cmake --preset host >/dev/null
cmake --build --preset host -j"$jobs" >/dev/null
if ! ctest --preset host -L host -j"$jobs" >"$out/baseline.log" 2>&1; then
  echo "mutation-run: host tests fail without any mutant (see $out/baseline.log)" >&2
  exit 2
fi

# Sites: one line per possible mutant, "file<TAB>line<TAB>column<TAB>operator<TAB>from<TAB>to",
# chosen round-robin over the operators so that each gets its share.
python3 - "$count" "$seed" >"$out/mutants.tsv" <<'EOF'
import glob, random, re, sys

count, seed = int(sys.argv[1]), int(sys.argv[2])
files = sorted(f for pattern in ("flash/*.cpp", "flash/*.h", "capsule/*.cpp", "capsule/*.h", "board/*.cpp",
                                 "board/*.h", "board/*/*.cpp", "board/*/*.h", "pirq/*.cpp", "pirq/*.h",
                                 "support/startup/*.cpp", "support/cfg_pcd_buffer/*.cpp",
                                 "support/timer/*.cpp")
               for f in glob.glob(pattern))

def code_only(line):
    # Blank out string and character literals and the comment, keeping columns.
    line = re.sub(r'"(\\.|[^"\\])*"', lambda m: '"' + " " * (len(m.group()) - 2) + '"', line)
    line = re.sub(r"'(\\.|[^'\\])*'", lambda m: "'" + " " * (len(m.group()) - 2) + "'", line)
    at = line.find("//")
    return line if at < 0 else line[:at] + " " * (len(line) - at)

turn = {"==": "!=", "!=": "==", "<=": ">", ">=": "<", "<": ">=", ">": "<="}
swap = {"TRUE": "FALSE", "FALSE": "TRUE", "EFI_SUCCESS": "EFI_DEVICE_ERROR", "&&": "||", "||": "&&"}
sites = {"constant": [], "comparison": [], "call": [], "result": []}
for path in files:
    for number, raw in enumerate(open(path, encoding="utf-8"), 1):
        line = raw.rstrip("\n")
        code = code_only(line)
        stripped = code.strip()
        if not stripped or stripped.startswith("#") or "static_assert" in code or "template" in code:
            continue
        for m in re.finditer(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)([uUlL]*)(?![\w.])", code):
            text = m.group(1)
            value = int(text, 16 if text[:2].lower() == "0x" else 10)
            new = value + 1 if value == 0 or (m.start() * 7 + number) % 2 else value - 1
            spelled = (text[:2] + format(new, "X")) if text[:2].lower() == "0x" else str(new)
            sites["constant"].append((path, number, m.start(1), text, spelled))
        for m in re.finditer(r"(?<![<>=!&|+\-*/%^])(==|!=|<=|>=|<|>)(?![<>=])", code):
            # Skip template brackets and casts: a comparison has spaces around it in this code.
            if code[m.start() - 1:m.start()] != " " or code[m.end():m.end() + 1] != " ":
                continue
            sites["comparison"].append((path, number, m.start(), m.group(), turn[m.group()]))
        for m in re.finditer(r"(?<![\w])(TRUE|FALSE|EFI_SUCCESS)(?![\w])|(&&|\|\|)", code):
            token = m.group()
            if token in ("TRUE", "FALSE", "EFI_SUCCESS") and "return" not in code:
                continue
            sites["result"].append((path, number, m.start(), token, swap[token]))
        # A statement that is only a call: dropped.
        if path.endswith(".cpp") and "EFIAPI" not in code and re.fullmatch(
                r"\s*[A-Za-z_][\w:]*(->[\w]+|\.[\w]+)*\(.*\);\s*", code) and not re.match(
                r"\s*(return|if|for|while|switch|else|case|do|sizeof|static_cast)\b", code):
            indent = len(line) - len(line.lstrip())
            sites["call"].append((path, number, indent, line.strip(), ";"))
rng = random.Random(seed)
order = ["constant", "comparison", "call", "result"]
chosen, seen = [], set()
for kind in order:
    rng.shuffle(sites[kind])
while len(chosen) < count and any(sites.values()):
    for kind in order:
        if len(chosen) == count:
            break
        while sites[kind]:
            site = sites[kind].pop()
            if site[:3] not in seen:
                seen.add(site[:3])
                chosen.append((kind,) + site)
                break
for kind, path, number, column, text, new in chosen:
    print("\t".join([path, str(number), str(column), kind, text, new]))
EOF

backup="$out/original"
current=""
restore() {
  if [ -n "$current" ]; then cp "$backup" "$current"; current=""; fi
}
trap 'restore' EXIT
trap 'restore; exit 130' INT TERM

apply() {  # file line column from to
  python3 - "$@" <<'EOF'
import sys
path, number, column, old, new = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
lines = open(path, encoding="utf-8").read().split("\n")
line = lines[number - 1]
if new == ";":  # a dropped call keeps its indentation
    lines[number - 1] = line[:column] + ";"
else:
    assert line[column:column + len(old)] == old, (path, number, line, old)
    lines[number - 1] = line[:column] + new + line[column + len(old):]
open(path, "w", encoding="utf-8").write("\n".join(lines))
EOF
}

: >"$log"
killed=0 survived=0 broken=0 n=0
survivors=()
total=$(wc -l <"$out/mutants.tsv")
start=$(date +%s)
while IFS=$'\t' read -r file line column kind from to; do
  n=$((n + 1))
  what="$file:$line $kind: '$from' -> '$to'"
  cp "$file" "$backup"
  current=$file
  apply "$file" "$line" "$column" "$from" "$to"
  if ! cmake --build --preset host -j"$jobs" </dev/null >>"$log" 2>&1; then
    verdict="did not compile"
    broken=$((broken + 1))
  elif ctest --preset host -L host -j"$jobs" --stop-on-failure --timeout 60 </dev/null >"$out/last-test.log" 2>&1; then
    verdict="SURVIVED"
    survived=$((survived + 1))
    survivors+=("$what")
  else
    # The first line of CTest's list of failed tests: "<n> - <name> (<how>)".
    verdict="killed by $(sed -nE 's/^[[:space:]]+[0-9]+ - (.*)$/\1/p' "$out/last-test.log" | head -n 1)"
    killed=$((killed + 1))
  fi
  restore
  printf '[%2d/%d %4ds] %s: %s\n' "$n" "$total" "$(($(date +%s) - start))" "$what" "$verdict" | tee -a "$log"
done <"$out/mutants.tsv"

# Leave the build matching the restored sources.
cmake --build --preset host -j"$jobs" >>"$log" 2>&1 || true

compiled=$((killed + survived))
echo
echo "mutants: $total (seed $seed), compiled: $compiled, killed: $killed, survived: $survived, did not compile: $broken"
if [ "$compiled" -gt 0 ]; then
  echo "score: $((100 * killed / compiled)) % of the mutants that compiled were killed"
fi
for s in "${survivors[@]+"${survivors[@]}"}"; do echo "survivor: $s"; done
