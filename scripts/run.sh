#!/usr/bin/env bash
# Sets up the machine, builds the system and runs the monitor in the
# foreground until it is told to end (Ctrl-C, TERM, or Quit from its tray
# menu). The monitor starts the service and keeps it running, and starts the
# watchdog worker.
# Beside it: pcscd with the virtual reader (vpcd) and the card emulator in
# its first reader, and the card control registered, so that a page reaches
# a card on a machine without a card reader; and the bank demo: its page,
# served at http://www.corvantix-bank.test:<port>, walks through the card
# methods, its side panel pulls the emulated card out and puts it back.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "run: $*"; }
fail() { echo "run: $*" >&2; exit 1; }

scripts/setup.sh
build=build/run
say "building the programs in $build"
scripts/build.sh "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANTIX_TESTS=OFF \
  || fail "the build failed (its output is above)"

# Unless told otherwise, everything the system writes stays in ./run.
export CORVANTIX_ROOT="${CORVANTIX_ROOT:-$PWD/run}"
mkdir -p "$CORVANTIX_ROOT"
root=$CORVANTIX_ROOT

started=()
monitor=""
# A process that runs (a zombie does not).
alive() { [ -e "/proc/$1" ] && ! grep -q '^State:.*Z' "/proc/$1/status" 2> /dev/null; }
cleanup() {
  # The service and the watchdog are the monitor's children: the monitor
  # is held first, so that its keeper starts no new service and the
  # watchdog resets nothing.
  local children=()
  if [ -n "$monitor" ]; then
    kill -STOP "$monitor" 2> /dev/null || true
    children=($(pgrep -P "$monitor" || true))
    kill -KILL "${children[@]}" "$monitor" 2> /dev/null || true
  fi
  for pid in "${started[@]}"; do
    kill "$pid" 2> /dev/null || true
  done
  for pid in "${started[@]}"; do
    wait "$pid" 2> /dev/null || true
  done
  for _ in $(seq 20); do
    local left=0
    for pid in "${children[@]}"; do alive "$pid" && left=1; done
    [ $left -eq 0 ] && break
    sleep 0.1
  done
  # What the ended processes leave behind: their dialog sockets (named
  # <pid>-<tag>.sock) and their notification icons.
  local sock pid
  for sock in "$root"/run/ui/*.sock; do
    [ -e "$sock" ] || continue
    pid=${sock##*/}
    pid=${pid%%-*}
    alive "$pid" || rm -f "$sock"
  done
  "$build/tools/CorvantixSession" icons > /dev/null 2>&1 || true
  local logs=()
  for log in "$root/card.log" "$root/pcscd.log"; do [ -e "$log" ] && logs+=("$log"); done
  say "ended${logs[*]:+; logs: ${logs[*]}}"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Each start appends to the logs, below a line that says when.
stamp() { echo "==== scripts/run.sh started $(date '+%F %T %Z')"; }

# pcscd: the system's when it runs (the vpcd package adds its readers to it;
# a socket-activated one starts at the first connection), else one of ours,
# which needs root.
pcscd_ok=yes
if [ -S /run/pcscd/pcscd.comm ]; then
  say "using the running pcscd"
else
  sudo=()
  why=""
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo > /dev/null; then
      why="pcscd needs root, and this user is not root and there is no sudo"
    elif ! sudo -n true 2> /dev/null && ! { [ -t 0 ] && sudo -v; }; then
      why="pcscd needs root, and sudo did not let this user run it"
    fi
    sudo=(sudo -n)
  fi
  if [ -n "$why" ]; then
    pcscd_ok=no
    say "pcscd could not be started: $why." \
      "Start it as root (systemctl start pcscd.socket, or pcscd) and run this again." >&2
  else
    say "starting pcscd (its log: $root/pcscd.log)"
    stamp >> "$root/pcscd.log"
    "${sudo[@]}" pcscd -f >> "$root/pcscd.log" 2>&1 &
    started+=($!)
    for _ in $(seq 50); do
      [ -S /run/pcscd/pcscd.comm ] && break
      kill -0 "${started[-1]}" 2>/dev/null || break
      sleep 0.1
    done
    if [ ! -S /run/pcscd/pcscd.comm ]; then
      pcscd_ok=no
      say "pcscd did not start: $(tail -n 1 "$root/pcscd.log")" \
        "(all of it in $root/pcscd.log)" >&2
    fi
  fi
fi

# The bank card in the first virtual reader ("Virtual PCD 00 00"), run by
# the demo server so that its page's side panel can move it.
demo_port="${CORVANTIX_DEMO_PORT:-56700}"
stamp >> "$root/card.log"
"$build/demo/CorvantixDemo" --port "$demo_port" --card-port 35963 \
  --reader "Virtual PCD 00 00" >> "$root/card.log" 2>&1 &
demo=$!
started+=($demo)

# The roots in the NSS database of a home in the run folder (with
# CORVANTIX_ROOT set, the worker's home and trust store are below it): a
# browser started with that HOME trusts the service.
"$build/worker/VondelCorvantixWorker" -importRootCACert \
  || say "the worker could not import the service's roots into $root/Home/.pki/nssdb;" \
    "a browser will not trust the service" >&2

# The card control, registered as its installer does.
"$build/control/TaveloRegister" "$PWD/$build/control/VondelTavelo.so" \
  || fail "the card control $build/control/VondelTavelo.so could not be registered"

# The monitor finds the service and the worker by their names: on the PATH.
export PATH="$PWD/$build/service:$PWD/$build/worker:$PATH"
say "starting the monitor $build/monitor/VondelCorvantixMonitor"
"$build/monitor/VondelCorvantixMonitor" &
monitor=$!
started+=($monitor)

# Which of the service's six addresses answer, asked of the service itself:
# a preflight it answers with 204, over TLS with its own certificate.
roots="$root/roots.pem"
cat certs/root-ecdsa.pem certs/root-rsa.pem > "$roots"
answers() { # host port
  [ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 --cacert "$roots" -X OPTIONS \
    -H 'Access-Control-Request-Method: POST' -H 'Access-Control-Request-Private-Network: true' \
    "https://$1:$2/")" = 204 ]
}
addresses=(127.0.0.1:56417 [::1]:56417 127.0.0.1:56517 [::1]:56517 127.0.0.1:56617 [::1]:56617)
listening=()
for _ in $(seq 300); do
  kill -0 "$monitor" 2>/dev/null \
    || fail "the monitor ended at once (does another one run with CORVANTIX_ROOT=$root?)"
  for address in "${addresses[0]}" "${addresses[1]}"; do
    if answers "${address%:*}" "${address##*:}"; then listening=(x); break 2; fi
  done
  sleep 0.1
done
# The service starts its daemons one after another: give the rest a moment.
[ ${#listening[@]} -eq 0 ] || sleep 0.5
listening=()
for address in "${addresses[@]}"; do
  host=${address%:*} port=${address##*:}
  if answers "$host" "$port"; then
    listening+=("https://$address")
  else
    # Who holds it, when anyone does (ss names the process to its owner only).
    held=$(ss -Hltnp "src $host and sport = :$port" 2> /dev/null | head -n 1)
    if [ -n "$held" ]; then
      who=$(grep -o 'users:((.*))' <<< "$held" || true)
      say "$address is held by another program${who:+ ($who)}; the service does not listen there" >&2
    else
      say "the service does not listen on $address" >&2
    fi
  fi
done
if [ ${#listening[@]} -eq 0 ]; then
  say "the service answers on none of its addresses (is another instance running?)." \
    "Its log is written only when a VondelCorvantix.ini enables it (README, Settings)." >&2
else
  say "the service listens on ${listening[*]}"
fi

say "data folder $root/ProgramData/VondelCorvantix"
say "pages trust it through certs/root-ecdsa.pem (certs/root-rsa.pem on old systems)"
# The emulated card is in its reader once the driver in pcscd took its
# connection.
card=no
if [ $pcscd_ok = yes ]; then
  for _ in $(seq 30); do
    if ss -Htn state established '( dport = :35963 )' 2> /dev/null | grep -q .; then
      card=yes
      break
    fi
    sleep 0.1
  done
fi
if [ $card = yes ]; then
  say "the card emulator answers in reader 'Virtual PCD 00 00' (PIN 123456; log: $root/card.log)"
elif [ $pcscd_ok = yes ]; then
  say "the card emulator has no connection to pcscd's virtual reader on 127.0.0.1:35963" \
    "(is vsmartcard-vpcd installed and /etc/reader.conf.d/vpcd in place? see $root/card.log):" \
    "pages find no card" >&2
else
  say "without pcscd pages find no reader and no card (GetReaderList lists none," \
    "ConnectCard answers 3999)" >&2
fi
kill -0 "$demo" 2>/dev/null || say "the demo server ended: $(tail -n 1 "$root/card.log")" >&2

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
say "the bank demo page (its log: $root/card.log) opens with:"
echo "  $(shell_words env "HOME=$root/Home" chromium "${no_sandbox[@]}" \
  "--user-data-dir=$root/chromium" \
  "--host-resolver-rules=MAP *.corvantix-bank.test 127.0.0.1" \
  "http://www.corvantix-bank.test:$demo_port/")"
tools=$PWD/$build/tools
say "the dialogs without a display, and the monitor's tray menu (from another shell):"
echo "  $(shell_words env "CORVANTIX_ROOT=$root" "$tools/CorvantixUser/CorvantixUser" list)"
echo "  $(shell_words env "CORVANTIX_ROOT=$root" "$tools/CorvantixSession" icon right-click \
  VondelCorvantixMonitor.exe)"
say "stop with Ctrl-C (or Quit in the monitor's menu)"
wait "$monitor" || true
