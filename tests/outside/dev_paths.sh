#!/usr/bin/env bash
# ./dev as a user runs it, from outside the clone: what the commands write
# must be on this machine afterwards, where they said, and the user's home
# must hold nothing else. Runs on the host (the test suite itself runs inside
# ./dev's environment and cannot see from outside); CI calls it.
set -euo pipefail

DEV=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/dev
# A fresh HOME, but the cached root stays where it is.
export CORVINA_ROOT_CACHE=${CORVINA_ROOT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvina-dev}
unset XDG_DATA_HOME XDG_CACHE_HOME XDG_CONFIG_HOME XDG_STATE_HOME CORVINA_SIMULATIONS_DIR MPLCONFIGDIR

work=$(mktemp -d "${TMPDIR:-/tmp}/corvina-dev-paths.XXXXXX")
elsewhere=""
cleanup() {
  rm -rf "$work"
  # shellcheck disable=SC2086  # a list of paths without blanks
  if [ -n "$elsewhere" ]; then rm -rf $elsewhere; fi
}
trap cleanup EXIT
export HOME=$work/home
mkdir "$HOME"
cd "$work"

fail() { printf 'dev_paths: FAIL: %s\n' "$*" >&2; exit 1; }
stored() { find "$1" -name '*.json' -type f 2>/dev/null | wc -l; }

cat > save_one.py <<'PY'
import sys
from corvina.core import simulation_storage as storage
from corvina.models import SimulationHyperparameters

record = storage.save_simulation_result(
    component_name="ring", factory_name="ring", component_settings={"gap": float(sys.argv[1])},
    model_parameters={}, hyperparameters=SimulationHyperparameters(), simulation_type="check",
    result={"through": [0.5, 0.25]}, wavelengths=[1.5, 1.6], execution_time_seconds=0.0,
)
print(record.simulation_id)
PY

inside=$("$DEV" python -c 'import os; print(os.environ.get("CORVINA_DEV_INSIDE", ""), os.path.expanduser("~"), os.getcwd())')
[ "$inside" = "${inside%% *} $HOME $work" ] || fail "HOME and the working directory inside are not the caller's: $inside"

# A script named by a relative path, using the default store (in HOME).
"$DEV" python save_one.py 0.1 >/dev/null
[ "$(stored "$HOME/.local/share/corvina/simulations")" = 1 ] || fail "the default store is not in the caller's HOME"

# A store named by the environment, in the host's temporary directory; the
# next command, with --store, finds what the first one saved.
id=$(CORVINA_SIMULATIONS_DIR=$work/store "$DEV" python save_one.py 0.2)
[ "$(stored "$work/store")" = 1 ] || fail "CORVINA_SIMULATIONS_DIR=$work/store got no result"
"$DEV" python -m corvina.cli --store "$work/store" list | grep -q "^$id " \
  || fail "--store $work/store does not list what the previous command saved"

# A picture into the working directory (the default) and into a new
# directory under /var/tmp.
"$DEV" python -m corvina.cli --store="$work/store" plot "$id" >/dev/null
[ -s "$work/$id.png" ] || fail "plot did not draw $id.png into the working directory"
pictures=$(mktemp -d /var/tmp/corvina-dev-paths.XXXXXX)
elsewhere=$pictures
"$DEV" python -m corvina.cli --store "$work/store" plot "$id" -o "$pictures/p.png" >/dev/null
[ -s "$pictures/p.png" ] || fail "plot -o $pictures/p.png drew nothing there"
rm -rf "$pictures"
elsewhere=""

# The demo's --store and --plot (the analytic model: no solver time).
"$DEV" demo --solver analytic --cost 0 --store "$work/demo" --plot "$work/pictures/sweep.png" >/dev/null
[ "$(stored "$work/demo")" = 12 ] || fail "the demo's --store $work/demo holds $(stored "$work/demo") results, not 12"
[ -s "$work/pictures/sweep.png" ] || fail "the demo's --plot drew nothing at $work/pictures/sweep.png"

# A store in a directory that does not exist yet, outside the usual mounts.
if [ -d /opt ] && [ -w /opt ]; then
  elsewhere=/opt/corvina-dev-paths.$$.$RANDOM
  CORVINA_SIMULATIONS_DIR=$elsewhere/store "$DEV" python save_one.py 0.3 >/dev/null
  [ "$(stored "$elsewhere/store")" = 1 ] || fail "a store in $elsewhere/store got no result"
fi

# Paths named by the arguments of a program ./dev knows nothing about, in
# every form an option takes: a word of its own, --option=PATH, and a short
# option with the path glued on. Each must reach this machine.
cat > write_to.py <<'PY'
import argparse, pathlib
parser = argparse.ArgumentParser()
parser.add_argument("paths", nargs="*")
parser.add_argument("-t", "--to", action="append", default=[])
args = parser.parse_args()
for name in [*args.paths, *args.to]:
    path = pathlib.Path(name)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("written inside\n")
PY
if [ -d /opt ] && [ -w /opt ]; then
  out=/opt/corvina-dev-paths.$$.out
  elsewhere="$elsewhere $out"
  mkdir "$out"
  cp write_to.py "$out/w.py"
  "$DEV" python "$out/w.py" "$out/word/a.txt"
  "$DEV" python write_to.py --to="$out/equals/b.txt"
  "$DEV" python write_to.py "-t$out/glued/c.txt"
  for f in word/a.txt equals/b.txt glued/c.txt; do
    [ -s "$out/$f" ] || fail "an argument naming $out/$f did not reach this machine"
  done
fi
# A path whose outermost directory does not exist yet is made first, so
# that what the command writes there is not lost inside the root.
if [ -w / ]; then
  fresh=/corvina-dev-paths.$$.$RANDOM
  elsewhere="$elsewhere $fresh"
  "$DEV" python write_to.py "$fresh/d.txt" 2>/dev/null
  [ -s "$fresh/d.txt" ] || fail "$fresh/d.txt, in a directory made for it, did not reach this machine"
fi
# A word naming nothing that can be bound (a new entry of "/") still runs.
ran=$("$DEV" python -c 'print("ran")' "/corvina-dev-paths.$$.absent" -x/y 2>/dev/null) || true
[ "$ran" = ran ] || fail "a command naming a path that cannot be bound did not run"

# Inside the environment, caches of its programs (matplotlib's) are its own.
if [ "${inside%% *}" = 1 ]; then
  extra=$(cd "$HOME" && find . -type f ! -path './.local/share/corvina/simulations/*')
  [ -z "$extra" ] || fail "the commands left files in HOME: $extra"
fi
echo "dev_paths: ok"
