#!/usr/bin/env bash
# The kit for a tester with Windows, unpacked into a fresh folder of the test prefix and run with Wine's own cmd,
# as a tester runs it. Each mode sets up the machine it needs, the user's own state file in place, and leaves
# none of it behind.
#   kit_test.sh suite ZIP PREFIX PROGRAMS   the suite runs from the kit: its last line says all PROGRAMS passed;
#                                           the state file and the install folder are left as they were
#   kit_test.sh refusal ZIP PREFIX          a real installation is refused and left byte for byte
#   kit_test.sh broken ZIP PREFIX           a run broken off once the suite laid out its world: the next run,
#                                           refused for an agent left running, first puts back what it set aside
set -euo pipefail
mode=$1 zip=$2
export WINEPREFIX=$(realpath "$3") WINEDEBUG=-all
if [ "$mode" = suite ] && grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
  echo "skipped: 32-bit code is emulated here (qemu-user-static, about a minute a start): most of an hour"
  exit 77
fi
wine64=/usr/lib/wine/wine64
kit="$WINEPREFIX/drive_c/kit $mode"  # a blank, as in many a profile's path
installed="$WINEPREFIX/drive_c/Program Files (x86)/Zelna"
state="$WINEPREFIX/drive_c/users/${USER:-root}/AppData/Roaming/Zelna"
fail() { echo "FAIL: $1" && exit 1; }
end_all() { "$wine64" taskkill /f /im ZelnaNivoroMonitor.exe /im ZelnaNivoroAgent.exe 2>&1 || true; }
tidy() { end_all >/dev/null && rm -rf "$kit" "$kit.ini" "$installed" "$state"; }
run_kit() { (cd "$kit" && "$wine64" cmd /c "C:\\kit $mode\\run-suite.cmd") >"$kit/$1" 2>&1; }  # LOG
tidy && trap tidy EXIT
mkdir -p "$kit" "$state" && (cd "$kit" && cmake -E tar xf "$zip")
printf '[Settings]\r\nService=6933c113c3\r\n; the user'"'"'s own\r\n' >"$state/info.ini" && cp "$state/info.ini" "$kit.ini"
if [ "$mode" = suite ]; then  # the kit's own agent stand-in, as a tester may have installed it by hand
  mkdir -p "$installed/Nivoro" && cp "$kit/standin_agent.exe" "$installed/Nivoro/ZelnaNivoroAgent.exe"
fi
if [ "$mode" = broken ]; then
  run_kit broken.log &
  for _ in $(seq 300); do [ -e "$installed/Nivoro/ZelnaTerminateService.exe" ] && break; sleep 0.2; done  # laid out
  "$wine64" taskkill /f /im cmd.exe /im kit.exe /im agent_processes_test.exe >/dev/null 2>&1 || true
  wait
  cat "$kit/broken.log"
  ! cmp -s "$state/info.ini" "$kit.ini" || fail "not broken off with the user's info.ini set aside"
  mkdir -p "$kit/running" && cp "$kit/standin_agent.exe" "$kit/running/ZelnaNivoroAgent.exe"
  "$wine64" start /unix "$kit/running/ZelnaNivoroAgent.exe"
fi
if [ "$mode" = refusal ]; then
  # A foreign agent and terminate service installed (the kit's own programs, each in the other's place), a
  # monitor and an agent running (the kit's stand-in under both names; listed once start returns).
  mkdir -p "$installed/Nivoro" "$kit/running"
  cp "$kit/standin_terminate_service.exe" "$installed/Nivoro/ZelnaNivoroAgent.exe"
  cp "$kit/standin_agent.exe" "$installed/Nivoro/ZelnaTerminateService.exe"
  for name in ZelnaNivoroMonitor.exe ZelnaNivoroAgent.exe; do
    cp "$kit/standin_agent.exe" "$kit/running/$name" && "$wine64" start /unix "$kit/running/$name"
  done
fi

set +e
run_kit run.log
code=$?
set -e
cat "$kit/run.log"
last=$(tail -n 1 "$kit/run.log" | tr -d '\r')
cmp "$state/info.ini" "$kit.ini" || fail "the user's info.ini is not as it was"
ended=$(end_all)

if [ "$mode" = suite ]; then
  [ "$last" = "$4 passed, 0 failed" ] && [ $code = 0 ] || fail "not \"$4 passed, 0 failed\" and exit code 0 ($code)"
  [ "$(ls -A "$installed/Nivoro")" = ZelnaNivoroAgent.exe ] || fail "not as found: $(ls -A "$installed/Nivoro")"
  cmp "$installed/Nivoro/ZelnaNivoroAgent.exe" "$kit/standin_agent.exe"
  ! grep -q terminated <<<"$ended" || fail "left running: $ended"
  echo "the kit's suite passed, put the user's info.ini back and left the install folder as it found it"
  exit 0
fi
[ $code != 0 ] && [[ "$last" == Refused* ]] || fail "not refused (exit code $code)"
if [ "$mode" = broken ]; then
  [ ! -e "$installed" ] || fail "what the broken run installed is left: $(find "$installed")"
  echo "the broken-off run's set-aside info.ini put back and its stand-ins removed, before the refusal"
  exit 0
fi
[[ "$last" == "Refused (4 above)"* ]] || fail "not refused for each of four reasons"
for reason in "ZelnaNivoroAgent.exe is not this kit's" "ZelnaTerminateService.exe is not this kit's" \
  "ZelnaNivoroMonitor.exe is running" "ZelnaNivoroAgent.exe is running"; do
  grep -qF "$reason" "$kit/run.log" || fail "no reason \"$reason\""
done
cmp "$installed/Nivoro/ZelnaNivoroAgent.exe" "$kit/standin_terminate_service.exe" || fail "the agent was touched"
cmp "$installed/Nivoro/ZelnaTerminateService.exe" "$kit/standin_agent.exe" || fail "the service was touched"
[ "$(grep -c terminated <<<"$ended")" = 2 ] || fail "the monitor and the agent did not both run on: $ended"
echo "refused, with every reason; the installation, the state file and the running programs left as they were"
