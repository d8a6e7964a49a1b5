# The sandbox of ./dev: a Debian testing root file system, made once and
# cached outside the clone, and the rules for running a command inside it
# with bubblewrap so that the user's paths stay the user's files.
#
# Sourced by ./dev, which defines before it: HERE (the clone), CALLER_PWD
# (where the user stands), PACKAGES and PY_MODULES (what the root holds),
# say and die. Entry points: make_root, then run_in_root ARGS.
# shellcheck shell=bash

root_key() { printf '%s\n' "${PACKAGES[@]}" | sha256sum | cut -c1-16; }
ROOT_BASE=${CORVINA_ROOT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvina-dev}
ROOT="$ROOT_BASE/root-$(root_key)"

make_root() {
  [ -f "$ROOT/.complete" ] && return 0
  [ "$(id -u)" = 0 ] || die "no CPython 3.14 with headers and packages ($PY_MODULES) on this machine.
  Either install CPython 3.14 with its development headers, a C++20 compiler, CMake and
  those packages (then ./dev uses them directly), or run ./dev as root on Debian so that it
  can build a Debian testing root file system with mmdebstrap and bubblewrap."
  [ -r /etc/debian_version ] || die "not a Debian machine: install CPython 3.14 with headers, a C++20 compiler, CMake and the packages $PY_MODULES yourself."
  mkdir -p "$ROOT_BASE"
  exec 9>"$ROOT_BASE/lock"
  say "waiting for the lock on $ROOT_BASE ..."
  flock 9
  if [ -f "$ROOT/.complete" ]; then flock -u 9; return 0; fi
  if ! command -v mmdebstrap >/dev/null || ! command -v bwrap >/dev/null; then
    say "installing mmdebstrap and bubblewrap from Debian's archive ..."
    apt-get update -qq >&2 || die "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap bubblewrap >&2 \
      || die "could not install mmdebstrap and bubblewrap"
  fi
  local mirror
  mirror=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$mirror" ] || mirror=$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
  [ -n "$mirror" ] || die "cannot find a Debian archive address in the apt configuration"
  local tmp="$ROOT.tmp.$$"
  rm -rf "$ROOT".tmp.*
  say "making a Debian testing root with CPython 3.14 in $ROOT"
  say "(once per machine; a few minutes, about 1 GB) ..."
  local incl
  incl=$(IFS=,; echo "${PACKAGES[*]}")
  if ! mmdebstrap --variant=apt --mode=root --quiet \
      --aptopt='Acquire::Check-Valid-Until "false"' \
      --aptopt='APT::Install-Recommends "false"' \
      --include="$incl" forky "$tmp" "$mirror" >&2; then
    rm -rf "$tmp"
    die "mmdebstrap failed to make the root (see above)"
  fi
  touch "$tmp/.complete"
  mv "$tmp" "$ROOT"
  say "root ready."
  flock -u 9
}

# --- the user's own files inside the root ----------------------------------
#
# Inside the root, the user's paths are the user's files: a store, a picture
# or a script named on the command line is read and written on this machine,
# not inside the cached root (where nobody looks) nor on a tmpfs that vanishes
# with the command. HOME, /tmp, /var/tmp, the usual data mounts, the clone,
# the working directory, the directories the environment names, and every
# path an argument names are bound at their own paths, read-write. The
# system directories stay the root's.

# The root's own directories. Something in them is bound only where the root
# has nothing of its own there (a HOME under /var/lib, say).
ROOT_OWN=(/bin /boot /dev /etc /lib /lib32 /lib64 /libx32 /proc /run /sbin /sys /usr /var)
BINDS=()

bound() {
  # bound PATH: whether PATH lies in a directory bound already
  local b
  for b in "${BINDS[@]}"; do
    case $1 in "$b" | "$b"/*) return 0 ;; esac
  done
  return 1
}

roots_own() {
  # roots_own PATH: whether PATH is the root's: "/", a system directory, or
  # something in one that the root has too
  local d
  [ "$1" = / ] && return 0
  for d in "${ROOT_OWN[@]}"; do
    case $1 in
      "$d") return 0 ;;
      "$d"/*) [ -e "$ROOT$1" ] || [ -L "$ROOT$1" ]; return ;;
    esac
  done
  return 1
}

add_bind() {
  # add_bind DIR: bind the existing directory DIR at its own path. Binds
  # below it become redundant (each shows the same directory of this machine)
  # and are dropped, so that no bind is ever hidden by a later one.
  local b kept=()
  bound "$1" && return 0
  for b in "${BINDS[@]}"; do
    case $b in "$1"/*) ;; *) kept+=("$b") ;; esac
  done
  BINDS=("${kept[@]}" "$1")
}

want() {
  # want [--create|--create-dir] PATH [BASE]: make PATH (a file or a
  # directory, there or yet to be made) this machine's inside the root; a
  # relative PATH is taken from BASE (default: where the user stands). What
  # is bound is the outermost directory holding PATH that is not the root's
  # own (/opt for /opt/a/b, /var/lib/x for /var/lib/x/y): a bind deeper down
  # would be a mount point, which the command inside could neither remove
  # nor rename. When that directory does not exist yet, it is made here
  # first (the command would make it anyway, but inside the root, where
  # nobody looks): --create-dir makes PATH, a directory; --create makes
  # PATH's parent, as PATH may be a file to be written. Both the path as
  # named and the path its symbolic links lead to are bound.
  local create="" p base named real q top rest part make
  case ${1:-} in --create | --create-dir) create=$1; shift ;; esac
  p=$1 base=${2:-$CALLER_PWD}
  case $p in
    '') return 0 ;;
    file://*) p=${p#file://} ;;
    *://*) return 0 ;;  # a URL: nothing here to bind
  esac
  # The store expands "~" itself; so must we, for an argument no shell saw.
  # shellcheck disable=SC2088  # the literal "~", not an expansion
  case $p in "~") p=${HOME:-} ;; "~/"*) p=${HOME:-}/${p#"~/"} ;; esac
  [ -n "$p" ] || return 0
  case $p in /*) ;; *) p=$base/$p ;; esac
  named=$(realpath -ms -- "$p" 2>/dev/null) && real=$(realpath -m -- "$p" 2>/dev/null) || return 0
  for q in "$named" "$real"; do
    if [ "$q" = / ] || bound "$q"; then continue; fi
    top="" rest=${q#/}
    while :; do
      part=${rest%%/*}
      top=$top/$part
      roots_own "$top" || break
      [ "$rest" != "$part" ] || continue 2  # PATH itself is the root's
      rest=${rest#*/}
    done
    if [ ! -e "$top" ] && [ ! -L "$top" ] && [ -n "$create" ]; then
      make=$q
      [ "$create" = --create-dir ] || make=$(dirname -- "$q")
      if [ "$make" = / ]; then
        # A new entry of "/" itself: a file or a directory, who knows.
        say "note: $q does not exist here: make it first, or what the command writes there stays inside the environment"
      elif mkdir -p -- "$make" 2>/dev/null; then
        say "note: made $make here, so that $1 is this machine's"
      else
        say "note: cannot make $make, so $1 is not this machine's inside the environment"
      fi
    fi
    if [ -d "$top" ]; then add_bind "$top"; fi
    [ "$real" != "$named" ] || break
  done
  return 0
}

want_named_paths() {
  # want_named_paths BASE ARGS...: every path the arguments name, whatever
  # program reads them and whichever option they belong to. Each argument is
  # taken as a path (the value of "--option=VALUE", and of a short option
  # with an absolute path glued on, "-o/tmp/x.png", too), relative ones from
  # BASE, where the command runs. A path in a directory bound already costs
  # nothing, so words that are not paths ("list", "gap>=0.2") fall away; a
  # path elsewhere has its outermost directory bound, and that directory is
  # made first when the argument plainly names a path (absolute, "~/...",
  # "./...", "../...", file://) and it does not exist yet.
  local base=$1 a value
  shift
  for a in "$@"; do
    case $a in
      --*=*) value=${a#*=} ;;
      -[!-]/* | -[!-]~/*) value=${a:2} ;;
      -*) continue ;;
      *) value=$a ;;
    esac
    case $value in
      /* | "~" | "~/"* | ./* | ../* | file://*) want --create "$value" "$base" ;;
      *) want "$value" "$base" ;;
    esac
  done
}

run_in_root() {
  # run_in_root ARGS...: this script again, inside the root
  local cmd=${1:-help} v b base=$CALLER_PWD
  local -a args=(--bind "$ROOT" / --proc /proc --dev /dev)
  # apt (in ./dev shell) and much else need a world-writable, sticky /tmp:
  # this machine's when it is one, else a private one as before.
  if [ -d /tmp ] && [ "$(stat -Lc %a /tmp)" = 1777 ]; then
    add_bind /tmp
  else
    args+=(--tmpfs /tmp)
    ROOT_OWN+=(/tmp)
  fi
  for b in /var/tmp /home /mnt /media /srv /data /scratch; do
    [ -d "$b" ] && add_bind "$b"
  done
  # HOME is the user's (and stays HOME); the root's /root stays the root's
  # unless HOME is /root.
  case ${HOME:-} in
    /?*) want "$HOME" ;;
    *) args+=(--setenv HOME /tmp) ;;
  esac
  add_bind "$HERE"
  want "$CALLER_PWD"
  want --create-dir "${CORVINA_SIMULATIONS_DIR:-}"
  for v in XDG_DATA_HOME XDG_CACHE_HOME XDG_CONFIG_HOME XDG_STATE_HOME CORVINA_BUILD_DIR \
      TMPDIR MPLCONFIGDIR AWS_CONFIG_FILE AWS_SHARED_CREDENTIALS_FILE AWS_CA_BUNDLE; do
    want "${!v:-}"
  done
  # Builds and the test suite run in the clone: their relative paths are
  # the clone's.
  case $cmd in build | test | docs) base=$HERE ;; esac
  want_named_paths "$base" "${@:2}"
  for b in "${BINDS[@]}"; do
    args+=(--bind "$b" "$b")
  done
  # The cache of roots, when a bind (HOME) shows it, is hidden: the root
  # would appear inside itself, with whatever a root being made elsewhere has
  # mounted (its /proc, /sys), and nothing inside has any use for it.
  case $ROOT_BASE in
    /?*) if bound "$ROOT_BASE" && [ -d "$ROOT_BASE" ]; then args+=(--tmpfs "$ROOT_BASE"); fi ;;
  esac
  # A working directory that is the root's own is entered there, if the root
  # has it; else the command starts in the clone.
  local cwd=$CALLER_PWD
  if ! bound "$cwd" && [ ! -d "$ROOT$cwd" ]; then
    say "note: $cwd does not exist inside the environment; running in $HERE"
    cwd=$HERE
  fi
  # Caches that belong to the root's programs (matplotlib's font list names
  # the root's fonts) live in the root, not in the user's HOME; a value the
  # user set is kept.
  local cache=/var/cache/corvina-dev
  if mkdir -p "$ROOT$cache/matplotlib" "$ROOT$cache/pip" 2>/dev/null; then
    [ -n "${MPLCONFIGDIR:-}" ] || args+=(--setenv MPLCONFIGDIR "$cache/matplotlib")
    [ -n "${PIP_CACHE_DIR:-}" ] || args+=(--setenv PIP_CACHE_DIR "$cache/pip")
  fi
  # The caller's environment comes along (the store's CORVINA_* variables,
  # AWS_*, ...), except what describes this machine's own programs, which the
  # root does not have; Python uses the root's packages, not a user
  # site-packages directory that the HOME may hold.
  exec bwrap "${args[@]}" \
    --ro-bind /etc/resolv.conf /etc/resolv.conf \
    --chdir "$cwd" \
    --unshare-ipc --unshare-uts --die-with-parent \
    --cap-add ALL \
    --unsetenv PYTHONHOME --unsetenv LD_LIBRARY_PATH --unsetenv LD_PRELOAD \
    --setenv PYTHONNOUSERSITE 1 --setenv CORVINA_DEV_INSIDE 1 \
    --setenv PATH /usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    --setenv TERM "${TERM:-dumb}" \
    "$HERE/dev" "$@"
}
