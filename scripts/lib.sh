# shellcheck shell=bash
# Shared by the scripts in this folder; sourced, never run.

# The repository root, from this file's own location.
LAUNCHER_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Third-party sources and the Windows-side prefix live here; other worktrees may point it at a shared copy.
launcher_deps_dir() {
  local d=${LAUNCHER_DEPS:-$LAUNCHER_ROOT/.deps}
  mkdir -p "$d"
  (cd "$d" && pwd -P)
}

launcher_jobs() {
  echo "${LAUNCHER_JOBS:-$(nproc)}"
}

say() { printf '%s: %s\n' "${0##*/}" "$*"; }
die() { printf '%s: error: %s\n' "${0##*/}" "$*" >&2; exit 1; }

# Runs a command without a network (a network namespace of its own, when this user may make one), so that
# the real launcher started by a check or a benchmark asks no host outside the machine for a release.
offline() {
  if unshare -n true 2>/dev/null; then
    unshare -n "$@"
  else
    "$@"
  fi
}

# Runs a command with its output going to a log file; on failure shows the end of the log and fails.
run_logged() {
  local log=$1; shift
  mkdir -p "$(dirname "$log")"
  if ! "$@" >"$log" 2>&1; then
    printf '%s: command failed: %s\n' "${0##*/}" "$*" >&2
    tail -n 40 "$log" >&2
    printf '%s: full log: %s\n' "${0##*/}" "$log" >&2
    return 1
  fi
}
