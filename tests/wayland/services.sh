# Sourced by the with-* scripts (with `name` set): a private work folder and
# XDG folders, buses that start no service by themselves (what is installed
# on the machine must not answer in place of the services started here),
# and helpers to start services, every one of them stopped at exit.
work=$(mktemp -d "/tmp/vidorel-$name.XXXXXX")
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[$i]}" 2>/dev/null && wait "${pids[$i]}" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

show_logs() { for log in "$work"/*.log; do echo "--- $log" >&2; tail -n 30 "$log" >&2; done; }
fail() { echo "with-$name: $1" >&2; show_logs; exit 1; }

export XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state"
export XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache"
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME"
chmod 700 "$XDG_RUNTIME_DIR"
# PipeWire must not take over the test desktop's audio server, which keeps its own path.
export PIPEWIRE_RUNTIME_DIR="$XDG_RUNTIME_DIR" PULSE_RUNTIME_PATH="${PULSE_RUNTIME_PATH:-}"
unset WAYLAND_DISPLAY

# start_bus TYPE: a bus of that type; its address in bus_address.
start_bus() {
  cat >"$work/$1.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>$1</type>
  <listen>unix:dir=$work</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  local info
  info=$(dbus-daemon --config-file="$work/$1.conf" --fork --print-address=1 --print-pid=1 \
    --nopidfile) || fail "could not start the $1 bus"
  pids+=("$(sed -n 2p <<<"$info")")
  bus_address=$(sed -n 1p <<<"$info")
}

# start LOG COMMAND...: in the background, its output in $work/LOG.log.
start() {
  local log=$1
  shift
  "$@" >"$work/$log.log" 2>&1 &
  pids+=($!)
}

# Polls COMMAND for ten seconds, while the last service started lives.
wait_until() {
  for _ in $(seq 1 100); do
    "$@" && return 0
    kill -0 "${pids[-1]}" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

owned() { # NAME has an owner on the session bus
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q "boolean true"
}

# start_named LOG NAME COMMAND...: started, and waited for until it owns NAME.
start_named() {
  local log=$1 bus_name=$2
  shift 2
  start "$log" "$@"
  wait_until owned "$bus_name" || fail "$log did not take $bus_name"
}

start_pipewire() {
  start pipewire pipewire
  wait_until test -S "$XDG_RUNTIME_DIR/pipewire-0" || fail "pipewire did not start"
  start wireplumber wireplumber
}

# Runs the command; its failure shows the services' logs.
run_command() {
  "$@"
  local status=$?
  [ $status -eq 0 ] || [ $status -eq 77 ] || show_logs
  exit $status
}
