#!/usr/bin/env bash
# Sets up the machine, builds the system and runs the monitor in the
# foreground until it is told to end (Ctrl-C, or Quit from its tray menu).
# The monitor starts the service and keeps it running, and starts the
# watchdog worker.
# Beside it: pcscd with the virtual reader (vpcd) and the card emulator in
# its first reader, and the card control registered, so that a page reaches
# a card on a machine without a card reader; and the bank demo: its page,
# served at http://www.corvantix-bank.test:<port>, walks through the card
# methods, its side panel pulls the emulated card out and puts it back.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
build=build/run
scripts/build.sh "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANTIX_TESTS=OFF

# Unless told otherwise, everything the system writes stays in ./run.
export CORVANTIX_ROOT="${CORVANTIX_ROOT:-$PWD/run}"
mkdir -p "$CORVANTIX_ROOT"

started=()
monitor=""
cleanup() {
  # The service and the watchdog are the monitor's children.
  [ -z "$monitor" ] || pkill -KILL -P "$monitor" 2>/dev/null || true
  for pid in "${started[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# pcscd: the system's when it runs (the vpcd package adds its readers to it;
# a socket-activated one starts at the first connection), else one of ours.
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ -S /run/pcscd/pcscd.comm ]; then
  echo "run: using the running pcscd"
else
  echo "run: starting pcscd"
  $sudo pcscd -f > "$CORVANTIX_ROOT/pcscd.log" 2>&1 &
  started+=($!)
  for _ in $(seq 50); do
    [ -S /run/pcscd/pcscd.comm ] && break
    sleep 0.1
  done
fi

# The bank card in the first virtual reader ("Virtual PCD 00 00"), run by
# the demo server so that its page's side panel can move it.
demo_port="${CORVANTIX_DEMO_PORT:-56700}"
"$build/demo/CorvantixDemo" --port "$demo_port" --card-port 35963 \
  --reader "Virtual PCD 00 00" > "$CORVANTIX_ROOT/card.log" 2>&1 &
started+=($!)

# The roots in the NSS database of a home in the run folder (with
# CORVANTIX_ROOT set, the worker's home and trust store are below it): a
# browser started with that HOME trusts the service.
"$build/worker/VondelCorvantixWorker" -importRootCACert

# The card control, registered as its installer does.
"$build/control/TaveloRegister" "$PWD/$build/control/VondelTavelo.so"

echo "run: data folder $CORVANTIX_ROOT/ProgramData/VondelCorvantix"
echo "run: listening on https://127.0.0.1 and https://[::1], ports 56417 56517 56617"
echo "run: pages trust it through certs/root-ecdsa.pem (certs/root-rsa.pem on old systems)"
echo "run: the card emulator answers in reader 'Virtual PCD 00 00' (log: $CORVANTIX_ROOT/card.log)"
# Chromium's own sandbox does not run as root.
no_sandbox=()
[ "$(id -u)" -ne 0 ] || no_sandbox=(--no-sandbox)
# Words as a shell reads them back: quoted unless plain.
shell_words() {
  local word line=""
  for word in "$@"; do
    if [[ "$word" =~ ^[A-Za-z0-9_./:=@%+-]+$ ]]; then
      line+=" $word"
    else
      line+=" '${word//\'/\'\\\'\'}'"
    fi
  done
  echo "${line# }"
}
echo "run: the bank demo page (its log: $CORVANTIX_ROOT/card.log) opens with:"
echo "  $(shell_words env "HOME=$CORVANTIX_ROOT/Home" chromium "${no_sandbox[@]}" \
  "--user-data-dir=$CORVANTIX_ROOT/chromium" \
  "--host-resolver-rules=MAP *.corvantix-bank.test 127.0.0.1" \
  "http://www.corvantix-bank.test:$demo_port/")"
# The monitor finds the service and the worker by their names: on the PATH.
export PATH="$PWD/$build/service:$PWD/$build/worker:$PATH"
echo "run: the monitor's tray menu: tools/CorvantixSession icon right-click VondelCorvantixMonitor.exe"
"$build/monitor/VondelCorvantixMonitor" &
monitor=$!
started+=($monitor)
wait "$monitor"
