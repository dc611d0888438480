#!/usr/bin/env bash
# The kit for a tester with Windows, unpacked into a fresh folder of the test prefix (its name not ASCII, as
# many a profile's is) and run with Wine's own cmd, as a tester runs it. Each mode sets up the machine it needs,
# the user's own state file in place, and leaves none of it behind.
#   kit_test.sh suite ZIP PREFIX PROGRAMS   the suite runs from the kit with two programs that fail beside it
#                                           (one crashes, one writes no result file): each counted as it is, the
#                                           results file and the result XMLs beside the kit; the state file and
#                                           the install folder left as they were
#   kit_test.sh refusal ZIP PREFIX          a real installation, or a kit with the mark of a download, is refused
#                                           and left byte for byte
#   kit_test.sh broken ZIP PREFIX           a second run started while a test program runs changes nothing; the
#                                           first, broken off in the middle of that program, leaves nothing running
#                                           once "kit.exe end" has run, and the user's info.ini back byte for byte
# The failing programs are the small helper of the 32-bit tree (kit_crash_test), which the kit does not ship.
set -euo pipefail
mode=$1 zip=$2
export WINEPREFIX=$(realpath "$3") WINEDEBUG=-all
if [ "$mode" = suite ] && grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
  echo "skipped: 32-bit code is emulated here (qemu-user-static, about a minute a start): most of an hour"
  exit 77
fi
wine64=/usr/lib/wine/wine64
crash=$(dirname "$zip")/bin/kit_crash_test.exe
kit="$WINEPREFIX/drive_c/kit 測試 $mode"
installed="$WINEPREFIX/drive_c/Program Files (x86)/Zelna"
roaming="$WINEPREFIX/drive_c/users/${USER:-root}/AppData/Roaming"
state="$roaming/Zelna"
fail() { echo "FAIL: $1" && exit 1; }
end_all() {
  "$wine64" taskkill /f /im ZelnaNivoroMonitor.exe /im ZelnaNivoroAgent.exe /im ZelnaNivoroAgent.exex 2>&1 || true
}
# Where a kit under test left one refusing its end: this prefix's own Wine processes, ended by their ids.
left() {
  for d in /proc/[0-9]*; do
    grep -qzx "WINEPREFIX=$WINEPREFIX" "$d/environ" && grep -qa Zelna "$d/cmdline" && echo "${d#/proc/}"
  done 2>/dev/null || true
}
tidy() {
  end_all >/dev/null && (kill $(left) 2>/dev/null || true)
  rm -rf "$kit" "$kit.ini" "$installed" "$state" "$roaming/Zelna-kit-saved"
}
run_kit() { (cd "$kit" && timeout "${limit:-500}" "$wine64" cmd /c run-suite.cmd /unattended) >"$kit/$1" 2>&1; }  # LOG
running() {  # how many processes of that name
  "$wine64" wmic process get name 2>/dev/null | iconv -f UTF-16 -t UTF-8 | tr -d '\r ' | grep -c "^$1\$" || true
}
tidy && trap tidy EXIT
mkdir -p "$kit" "$state" && (cd "$kit" && cmake -E tar xf "$zip")
printf '[Settings]\r\nService=6933c113c3\r\n; the user'"'"'s own\r\n' >"$state/info.ini" && cp "$state/info.ini" "$kit.ini"
if [ "$mode" = suite ]; then  # the kit's own agent stand-in, as a tester may have installed it by hand
  mkdir -p "$installed/Nivoro" && cp "$kit/standin_agent.exe" "$installed/Nivoro/ZelnaNivoroAgent.exe"
  cp "$crash" "$kit/kit_crash_test.exe" && cp "$crash" "$kit/kit_silent_test.exe"
fi
if [ "$mode" = broken ]; then
  rm "$kit"/*_test.exe && cp "$crash" "$kit/kit_crash_test.exe" && touch "$kit/kit_crash_test.hold"
  run_kit first.log &
  for _ in $(seq 300); do [ -e "$kit/kit_crash_test.ready" ] && break; sleep 0.1; done
  set +e
  limit=60 run_kit second.log  # one that is not refused would wait on the first one's program
  code=$?
  set -e
  cat "$kit/second.log"
  [ $code = 2 ] && grep -q "kit.exe is running" "$kit/second.log" || fail "the second run not refused (exit code $code)"
  cmp "$roaming/Zelna-kit-saved/info.ini" "$kit.ini" || fail "the second run touched what the first set aside"
  # One the job cannot reach, as a program started through "runas" may be: refusing its end, a look-alike name.
  mkdir -p "$kit/running" && cp "$kit/standin_agent.exe" "$kit/running/ZelnaNivoroAgent.exex"
  "$wine64" start /unix "$kit/running/ZelnaNivoroAgent.exex" --other-user
  # Broken off as a closed console breaks it: the script and kit.exe end, the program and what it started not.
  "$wine64" taskkill /f /im cmd.exe /im kit.exe >/dev/null 2>&1 || true
  wait
  sleep 1
  cat "$kit/first.log"
  for name in kit_crash_test.exe ZelnaNivoroMonitor.exe ZelnaNivoroAgent.exe; do
    [ "$(running $name)" = 0 ] || fail "$name outlived the run's job"
  done
  [ "$(running ZelnaNivoroAgent.exex)" = 1 ] || fail "the look-alike out of the job's reach did not run"
  set +e
  (cd "$kit" && "$wine64" cmd /c kit.exe end) >"$kit/end.log" 2>&1
  code=$?
  set -e
  cat "$kit/end.log"
  [ $code = 0 ] && grep -q "Ended .*ZelnaNivoroAgent.exex" "$kit/end.log" || fail "the look-alike not ended ($code)"
  [ "$(running ZelnaNivoroAgent.exex)" = 0 ] || fail "the look-alike still runs"
  cmp "$state/info.ini" "$kit.ini" || fail "the user's info.ini is not as it was"
  [ ! -e "$installed" ] || fail "what the broken run installed is left: $(find "$installed")"
  echo "the second run refused untouched; the broken-off run's programs ended with its job, the rest by end"
  exit 0
fi
if [ "$mode" = refusal ]; then
  # A foreign agent and terminate service installed (the kit's own programs, each in the other's place), a
  # monitor and an agent running (the kit's stand-in under both names; listed once start returns), and the kit
  # marked as downloaded (Wine has no streams: the stream's name makes a plain file, which the check finds too).
  mkdir -p "$installed/Nivoro" "$kit/running"
  cp "$kit/standin_terminate_service.exe" "$installed/Nivoro/ZelnaNivoroAgent.exe"
  cp "$kit/standin_agent.exe" "$installed/Nivoro/ZelnaTerminateService.exe"
  for name in ZelnaNivoroMonitor.exe ZelnaNivoroAgent.exe; do
    cp "$kit/standin_agent.exe" "$kit/running/$name" && "$wine64" start /unix "$kit/running/$name"
  done
  (cd "$kit" && "$wine64" cmd /c "echo [ZoneTransfer]>kit.exe:Zone.Identifier")
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
  [ "$last" = "$4 passed, 2 failed, 0 skipped" ] && [ $code = 1 ] || fail "not \"$4 passed, 2 failed\" ($code)"
  grep -q "kit_crash_test.exe: FAILED (exit code 0xC0000005, access violation" "$kit/run.log" || fail "crash unnamed"
  grep -q "kit_silent_test.exe: FAILED (exit code 0 but no result file" "$kit/run.log" || fail "no result, no failure"
  grep -q "dll_search_test.exe: passed (1 of 2 tests skipped: " "$kit/run.log" || fail "the DLL-search skip not shown"
  results=$(ls "$kit"/kit-results-*.txt) && [ "$(wc -l <<<"$results")" = 1 ] || fail "not one results file: $results"
  [ "$(tail -n 1 "$results" | tr -d '\r')" = "$last" ] || fail "the results file does not end with the summary"
  grep -q "^Send this file: C:\\\\kit 測試 suite\\\\kit-results-" "$results" || fail "the file to send unnamed"
  for program in "$kit"/*_test.exe; do
    grep -q "===== $(basename "$program"): " "$results" || fail "$program not in the results file"
  done
  [ "$(ls "$kit"/*_test.xml | wc -l)" = "$4" ] || fail "not one result XML per test program: $(ls "$kit")"
  [ "$(ls -A "$installed/Nivoro")" = ZelnaNivoroAgent.exe ] || fail "not as found: $(ls -A "$installed/Nivoro")"
  cmp "$installed/Nivoro/ZelnaNivoroAgent.exe" "$kit/standin_agent.exe"
  ! grep -q terminated <<<"$ended" || fail "left running: $ended"
  echo "the kit's suite counted as it ran, put the user's info.ini back and left the install folder as it found it"
  exit 0
fi
[ $code = 2 ] && [[ "$last" == "Refused (5 above)"* ]] || fail "not refused for each of five reasons (exit code $code)"
for reason in "ZelnaNivoroAgent.exe is not this kit's" "ZelnaTerminateService.exe is not this kit's" \
  "ZelnaNivoroMonitor.exe is running" "ZelnaNivoroAgent.exe is running" "kit.exe among them)"; do
  grep -qF "$reason" "$kit/run.log" || fail "no reason \"$reason\""
done
cmp "$installed/Nivoro/ZelnaNivoroAgent.exe" "$kit/standin_terminate_service.exe" || fail "the agent was touched"
cmp "$installed/Nivoro/ZelnaTerminateService.exe" "$kit/standin_agent.exe" || fail "the service was touched"
[ "$(grep -c terminated <<<"$ended")" = 2 ] || fail "the monitor and the agent did not both run on: $ended"
echo "refused, with every reason; the installation, the state file and the running programs left as they were"
