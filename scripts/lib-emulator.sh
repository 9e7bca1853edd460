# Sourced by the scripts that drive `teds serial-emulator`: a scratch folder
# $work and background processes $pids, both gone on exit (a script may
# define cleanup_more for its own), and start_emulator.
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
  if declare -F cleanup_more >/dev/null; then cleanup_more; fi
}
trap cleanup EXIT

# start_emulator TEDS OUT ERR [ARGS...]: starts `TEDS serial-emulator ARGS`
# with its output in OUT and its errors in ERR, and sets $pty to the terminal
# it serves (the first line it prints); exits with its errors if none comes.
start_emulator() {
  local teds=$1 out=$2 err=$3
  shift 3
  "$teds" serial-emulator "$@" > "$out" 2> "$err" &
  pids+=($!)
  for _ in $(seq 50); do [ -s "$out" ] && break; sleep 0.1; done
  pty=$(head -n 1 "$out")
  [ -n "$pty" ] || { cat "$err" >&2; exit 1; }
}
