#!/usr/bin/env bash
# Replays what the user guide shows a user, on the guide's own example files, and checks both the
# program's behaviour and that the guide still shows it: console lines, exit statuses, log file
# annotations, DetectedDevice reports, trace lines and the saved simulation.
# Usage: guide_walkthroughs.sh CASE KAVELWRITE EXAMPLES_DIR GUIDE [KXB]
set -u
case_name=$1 kavelwrite=$2 examples=$3 guide=$4 kxb=${5:-}

fail_prefix="$case_name: "
source "$(dirname "$0")/common.sh"

# Runs kavelwrite in the work folder on a script there; the rest of the arguments are
# environment assignments. Sets $status.
run() {
    local script=$1
    shift
    status=0
    (cd "$work" && env -u KAVELHID_SIMULATION -u KAVELHID_TRACE -u KAVELHID_SIMULATION_SAVE "$@" \
        "$kavelwrite" "$script" --logfile >"$work/stdout" 2>"$work/stderr") || status=$?
}
expect_status() { [ "$status" = "$1" ] || fail "exit status $status, expected $1"; }
expect_line() { grep -qxF -- "$1" "$work/stdout" || fail "no console line \"$1\""; }
log_file() { ls "$work/$1"_t* 2>/dev/null | head -n 1; }
# A line the guide shows must still be in the guide, byte for byte up to indentation.
guide_shows() {
    local line
    line=$(sed 's/^[[:space:]]*//' <<<"$1")
    sed 's/^[[:space:]]*//' "$guide" | grep -qxF -- "$line" || fail "the guide no longer shows: $line"
}
# Runs examples/command.kxb, as the guide does, on examples/writers-keyboard.xml with the Inject
# element that the guide shows added to it; the trace goes to $work/trace.
run_command_with_inject() {
    guide_shows "$1"
    sed "s#</Keyboard>#$1</Keyboard>#" "$examples/writers-keyboard.xml" >"$work/inject-keyboard.xml"
    cp "$examples/command.kxb" "$work/"
    run command.kxb KAVELHID_SIMULATION="$work/inject-keyboard.xml" KAVELHID_TRACE="$work/trace"
}

case "$case_name" in
CheckErrorNamesTheField)
    # The guide: <DST>10</DST> in the first command fails the check with PARSE_ERROR:DST, and a
    # script that fails the check sends nothing.
    sed '0,/<DST>0<\/DST>/s//<DST>10<\/DST>/' "$examples/command.kxb" >"$work/command.kxb"
    grep -q '<DST>10</DST>' "$work/command.kxb" || fail "examples/command.kxb has no <DST>0</DST> to change"
    run command.kxb KAVELHID_SIMULATION="$examples/writers-keyboard.xml" KAVELHID_TRACE="$work/trace"
    expect_status 160
    expect_line "ERROR: Kxb file check error"
    log=$(log_file command.kxb)
    [ -n "$log" ] || fail "no log file after a failed check"
    grep -q '<Command t[0-9]*="PARSE_ERROR:DST">' "${log:-/dev/null}" || fail "no PARSE_ERROR:DST on the Command"
    [ "$(grep -c PARSE_ERROR "${log:-/dev/null}")" = 1 ] || fail "not exactly one PARSE_ERROR annotation"
    [ ! -s "$work/trace" ] || fail "a script that failed the check sent something: $(cat "$work/trace")"
    guide_shows '<Command t20261208172306="PARSE_ERROR:DST">'
    ;;
UnsuitableKeyboardIsReportedAndLeftAlone)
    cp "$examples/keyboard-rm52.kxb" "$work/"
    run keyboard-rm52.kxb KAVELHID_SIMULATION="$examples/keyboard-velum.xml" KAVELHID_TRACE="$work/trace"
    expect_status 165
    expect_line " Device not suitable - nothing changed."
    log=$(log_file keyboard-rm52.kxb)
    for line in '<Controller Info="Id=20 Ver=1.4.a.0">Ok</Controller>' \
        '<Module0 Info="IdConfig=c3 Id=c3 IdSub=2b Id66=0 Ver=1.2.5.1">Not ok</Module0>'; do
        grep -qF -- "$line" "${log:-/dev/null}" || fail "the report lacks $line"
        guide_shows "$line"
    done
    grep -q '<Module1 Info' "${log:-/dev/null}" && fail "the report goes on after the unit that did not match"
    grep -q 'cmd=F1' "$work/trace" && fail "an unsuitable keyboard was reset"
    ;;
NoKeyboardEndsWithZero)
    cp "$examples/command.kxb" "$work/"
    run command.kxb
    expect_status 0
    expect_line "0 Kavel device(s) detected"
    grep -q 'device0' "$work/stdout" && fail "a keyboard block without a keyboard"
    ;;
TraceShowsEveryMessage)
    cp "$examples/command.kxb" "$work/"
    run command.kxb KAVELHID_SIMULATION="$examples/writers-keyboard.xml" KAVELHID_TRACE="$work/trace"
    expect_status 0
    expected_trace='Enumerate count=1
kb0 Open -> 0
kb0 EnumerateModules -> 0
kb0 SendCommand cmd=F7 dst=02 data=[] -> 0 answer=[11 01 02 03 00]
kb0 SendCommand cmd=11 dst=02 data=[] -> 0 answer=[66 00]
kb0 SendCommand cmd=F7 dst=04 data=[] -> 0 answer=[66 02 01 CE 12]
kb0 SendCommand cmd=30 dst=04 data=[] -> 0
kb0 SendCommand cmd=17 dst=02 data=[00 50 AA BB] -> 0
kb0 SendCommand cmd=30 dst=02 data=[01 02 03] -> 0
kb0 SendCommand cmd=F1 dst=02 data=[] -> 0'
    actual_trace=$(sed 's/^[0-9]* //' "$work/trace")
    [ "$actual_trace" = "$expected_trace" ] || fail "trace differs:
$actual_trace"
    while read -r line; do guide_shows "0 $line"; done <<<"$expected_trace"
    log=$(log_file command.kxb)
    for line in '<Controller Info="Id=11 Ver=1.2.3.0">Ok</Controller>' \
        '<Module0 Info="IdConfig=66 Id=66 IdSub=0 Id66=12 Ver=2.1.ce.0">Ok</Module0>' \
        '<Module13 Info="IdConfig=0 Id=0 IdSub=0 Id66=0 Ver=0.0.0.0">Ok</Module13>'; do
        grep -qF -- "$line" "${log:-/dev/null}" || fail "the report lacks $line"
        guide_shows "$line"
    done
    [ "$(grep -c '_device0="result=0"' "${log:-/dev/null}")" = 3 ] || fail "not three result=0 annotations"
    ;;
SavedSimulationHoldsTheWrites)
    cp "$examples/inteep.kxb" "$work/"
    run inteep.kxb KAVELHID_SIMULATION="$examples/writers-keyboard.xml" \
        KAVELHID_SIMULATION_SAVE="$work/after.xml"
    expect_status 0
    expected_memory='<Memory Unit="2" Address="1000">00 40 00 00</Memory>
<Memory Unit="2" Address="3FF8">10 20 30 40 50 60 70 80 01 02 03 04</Memory>
<Memory Unit="2" Address="4010">AA BB</Memory>'
    actual_memory=$(grep '<Memory' "$work/after.xml" | sed 's/^[[:space:]]*//')
    [ "$actual_memory" = "$expected_memory" ] || fail "saved memory differs:
$actual_memory"
    while read -r line; do guide_shows "$line"; done <<<"$expected_memory"
    log=$(log_file inteep.kxb)
    grep -q '<Data Offset="0" t[0-9]*_device0="skipped">55</Data>' "${log:-/dev/null}" ||
        fail "the block behind the pointer that holds 0 is not marked skipped"
    guide_shows '<Data Offset="0" t20261208172314_device0="skipped">55</Data>'
    ;;
BusyKeyboardIsAskedAgain)
    # The guide's Inject: three busy answers to message 30, then the command goes through.
    run_command_with_inject '<Inject Cmd="30" Count="3" Status="119"/>'
    expect_status 0
    sends=$(grep 'cmd=30 dst=04' "$work/trace" | sed 's/^[0-9]* //')
    [ "$sends" = "$(printf '%s\n' 'kb0 SendCommand cmd=30 dst=04 data=[] -> 119' \
        'kb0 SendCommand cmd=30 dst=04 data=[] -> 119' 'kb0 SendCommand cmd=30 dst=04 data=[] -> 119' \
        'kb0 SendCommand cmd=30 dst=04 data=[] -> 0')" ] || fail "not three busy answers and a success:
$sends"
    log=$(log_file command.kxb)
    grep -A2 '<Command t[0-9]*_device0="result=0">' "${log:-/dev/null}" | grep -q '<DST>0</DST>' ||
        fail "the command that met busy answers is not annotated result=0"
    ;;
CtrlCStopsBeforeTheNextMessage)
    # The guide's Inject: Ctrl-C while the second command (the memory write) is sent.
    run_command_with_inject '<Inject Cmd="17" Count="1" Signal="2"/>'
    expect_status 130
    # The keyboard's outcome follows its progress lines after a carriage return.
    grep -qF -- " ERROR: Interrupted - keyboard not reset." "$work/stdout" || fail "no interrupted keyboard"
    expect_line "ERROR: Interrupted by signal 2"
    guide_shows " ERROR: Interrupted - keyboard not reset."
    guide_shows "ERROR: Interrupted by signal 2"
    [ "$(grep -c 'SendCommand cmd=17' "$work/trace")" = 1 ] || fail "not one memory write in the trace"
    grep -q 'cmd=F1' "$work/trace" && fail "a stopped keyboard was reset"
    log=$(log_file command.kxb)
    grep -A2 '<Command t[0-9]*_device0="interrupted">' "${log:-/dev/null}" | grep -q '<CMD>130</CMD>' ||
        fail "the third command, due when the run stopped, is not annotated interrupted"
    guide_shows '<Command t20261208172306_device0="interrupted">'
    ;;
KxbCheckNamesEveryFault)
    # The guide: a copy of examples/command.kxb with three slips; kxb check names all three.
    sed '0,/<DST>0<\/DST>/s//<DST>10<\/DST>/; s/<Data>00 50 AA BB<\/Data>/<Dta>00 50 AA BB<\/Dta>/;
        44s/<Command>/<Comand>/; 48s/<\/Command>/<\/Comand>/' "$examples/command.kxb" >"$work/command.kxb"
    [ "$(grep -c '<DST>10</DST>\|<Dta>\|Comand>' "$work/command.kxb")" = 4 ] ||
        fail "examples/command.kxb no longer holds the lines the guide changes"
    status=0
    (cd "$work" && "$kxb" check command.kxb >"$work/stdout" 2>"$work/stderr") || status=$?
    expect_status 160
    expected='command.kxb:30:3: error: Command: DST: '"'10'"' is not a destination: 0 to E for a module, F for the controller
command.kxb:44:3: error: Comand: '"'Comand'"' is not an element of a kxb script (names are compared exactly)
command.kxb:39:4: warning: Command: Dta: is never read: Command reads DST, CMD and Data'
    [ "$(cat "$work/stdout")" = "$expected" ] || fail "kxb check says:
$(cat "$work/stdout")"
    while read -r line; do guide_shows "$line"; done <<<"$expected"
    # kavelwrite's check pass stops at the first of them.
    run command.kxb
    expect_status 160
    grep -q '<Command t[0-9]*="PARSE_ERROR:DST">' "$(log_file command.kxb)" || fail "kavelwrite annotates another fault"
    # A document that is not well-formed is placed where the parser stopped.
    sed '0,/<\/DST>/s//<\/DS>/' "$examples/command.kxb" >"$work/command.kxb"
    status=0
    (cd "$work" && "$kxb" check command.kxb >"$work/stdout" 2>"$work/stderr") || status=$?
    expect_status 169
    [ "$(cat "$work/stdout")" = "command.kxb:31:11: error: Start-end tags mismatch" ] || fail "kxb check says: $(cat "$work/stdout")"
    guide_shows '  with `</DS>` closing the first `<DST>`, `command.kxb:31:11: error: Start-end tags mismatch`'
    status=0
    "$kxb" check "$examples/command.kxb" >"$work/stdout" 2>"$work/stderr" || status=$?
    expect_status 0
    [ "$(cat "$work/stdout")" = "$examples/command.kxb: ok: 3 writes, 42 steps in a write pass" ] ||
        fail "kxb check says: $(cat "$work/stdout")"
    guide_shows "examples/command.kxb: ok: 3 writes, 42 steps in a write pass"
    ;;
KxbLogSaysWhatEachKeyboardDid)
    # The guide: examples/command.kxb on a keyboard whose memory write fails, then kxb log.
    inject='<Inject Cmd="17" Status="3"/>'
    sed "s#</Keyboard>#$inject</Keyboard>#" "$examples/writers-keyboard.xml" >"$work/failing-keyboard.xml"
    cp "$examples/command.kxb" "$work/"
    run command.kxb KAVELHID_SIMULATION="$work/failing-keyboard.xml"
    expect_status 166
    # The outcome follows the progress line's carriage return.
    tr '\r' '\n' <"$work/stdout" | grep -qxF " ERROR: Device write error" || fail "kavelwrite did not fail the write"
    log=$(log_file command.kxb)
    status=0
    (cd "$work" && "$kxb" log "$(basename "${log:-none}")" >"$work/stdout" 2>"$work/stderr") || status=$?
    expect_status 0
    # The guide shows the run of its own stamp.
    actual=$(sed 's/t[0-9]\{14\}/t20261208172306/g' "$work/stdout")
    expected='run t20261208172306
  check pass: passed
  device0: " ERROR: Device write error" (166): 1 done, 1 failed, 0 skipped
    identified: Controller Id=11 Ver=1.2.3.0 Ok
    identified: Module0 IdConfig=66 Id=66 IdSub=0 Id66=12 Ver=2.1.ce.0 Ok
    stopped: command.kxb_t20261208172306:104:3: Command ERROR=3'
    [ "$actual" = "$expected" ] || fail "kxb log says:
$actual"
    while read -r line; do guide_shows "$line"; done <<<"$expected"
    guide_shows '`<Inject Cmd="17" Status="3"/>` to its `Keyboard` element): kavelwrite prints'
    ;;
ProbeShowsWhatIsAttached)
    # The guide: kxb probe on the demo keyboard, its Device element pasted into a script, and a
    # twin on which the writer examples' command.kxb is written.
    probe() { (cd "$work" && env -u KAVELHID_TRACE -u KAVELHID_SIMULATION_SAVE "$@") || status=$?; }
    status=0
    probe KAVELHID_SIMULATION="$examples/demo-keyboard.xml" "$kxb" probe >"$work/stdout" 2>"$work/stderr"
    expect_status 0
    expected_probe='libkavelhidapi 1.4.2
1 Kavel device(s) detected

device0:
 Controller Id=11 Ver=1.2.3.0 Config=66.c5.0.0.0.0.0.0.0.0.0.0.0.0.0.0
 Module0 Address=4 IdConfig=66 Id=66 IdSub=0 Id66=12 Ver=2.1.ce.0 Family=type66
 Module1 Address=6 IdConfig=c5 Id=c5 IdSub=5 Id66=0 Ver=1.0.7.0 Family=velum'
    [ "$(cat "$work/stdout")" = "$expected_probe" ] || fail "kxb probe prints otherwise:
$(cat "$work/stdout")"
    while read -r line; do [ -z "$line" ] || guide_shows "$line"; done <<<"$expected_probe"

    probe KAVELHID_SIMULATION="$examples/demo-keyboard.xml" "$kxb" probe --device-element >"$work/device.xml"
    expect_status 0
    for line in '<Module Id="6612">' '<Version>02.01.CE.00</Version>' '<Module Id="5">' \
        '<Version>01.00.07.00</Version>' '<Module Id="0">' '<Version>00.00.00.00</Version>'; do
        grep -qxF -- "$line" <(sed 's/^[[:space:]]*//' "$work/device.xml") || fail "the Device element lacks $line"
        guide_shows "$line"
    done
    { echo '<XML_BIN_FILE>'; cat "$work/device.xml"; echo '<Command><DST>F</DST><CMD>30</CMD></Command>'
        echo '</XML_BIN_FILE>'; } >"$work/pasted.kxb"
    run pasted.kxb KAVELHID_SIMULATION="$examples/demo-keyboard.xml"
    expect_status 0
    expect_line " Done."

    probe KAVELHID_SIMULATION="$examples/writers-keyboard.xml" "$kxb" probe --simulation >"$work/twin.xml"
    expect_status 0
    cp "$examples/command.kxb" "$work/"
    run command.kxb KAVELHID_SIMULATION="$work/twin.xml"
    expect_status 0
    expect_line " Done."
    guide_shows 'KAVELHID_SIMULATION=examples/writers-keyboard.xml build/kxb probe --simulation > twin.xml'

    # What the twin cannot do: demo.kxb needs the demo keyboard's answer to its pointer command.
    probe KAVELHID_SIMULATION="$examples/demo-keyboard.xml" "$kxb" probe --simulation >"$work/demo-twin.xml"
    cp "$examples/demo.kxb" "$work/"
    run demo.kxb KAVELHID_SIMULATION="$work/demo-twin.xml"
    expect_status 166
    ;;
KxbVerifyChecksWhatAKeyboardHolds)
    # The guide: examples/demo.kxb written into the demo keyboard, then read back from it.
    top=$(dirname "$examples")
    readback() { status=0; (cd "$top" && env -u KAVELHID_TRACE -u KAVELHID_SIMULATION_SAVE "$@" \
        >"$work/stdout" 2>"$work/stderr") || status=$?; }
    (cd "$top" && env -u KAVELHID_TRACE KAVELHID_SIMULATION="$examples/demo-keyboard.xml" \
        KAVELHID_SIMULATION_SAVE="$work/after.xml" "$kavelwrite" examples/demo.kxb >/dev/null) ||
        fail "kavelwrite did not write the demo keyboard"
    readback KAVELHID_SIMULATION="$work/after.xml" "$kxb" verify examples/demo.kxb
    expect_status 0
    expected='1 Kavel device(s) detected
examples/demo.kxb:49:3: device0: not verified: Command: a command has effects, not bytes
examples/demo.kxb:70:4: device0: not verified: Data: its start address comes from a command of the script, which kxb sends only with --send-pointer-commands
device0: holds the script: blocks: 3 match, 0 differ, 2 not verified, 0 skipped, 0 unreadable; bytes: 10 match, 0 differ'
    [ "$(cat "$work/stdout")" = "$expected" ] || fail "kxb verify says:
$(cat "$work/stdout")"
    while read -r line; do guide_shows "$line"; done <<<"$expected"
    readback KAVELHID_SIMULATION="$work/after.xml" "$kxb" verify --send-pointer-commands examples/demo.kxb
    expect_status 0
    grep -qF 'blocks: 4 match, 0 differ, 1 not verified' "$work/stdout" || fail "the pointer command's block is not verified"
    grep -qF '`blocks: 4 match, 0 differ, 1 not verified`' "$guide" || fail "the guide no longer shows the sent pointer command"
    readback KAVELHID_SIMULATION="$examples/demo-keyboard.xml" "$kxb" verify examples/demo.kxb
    expect_status 167
    line='examples/demo.kxb:59:4: device0: differ: Data: unit 2, 4 bytes at 4000: 4 bytes differ, the first at 4000: the keyboard holds 00, the script leaves 11'
    grep -qxF -- "$line" "$work/stdout" || fail "no differ line on the keyboard before it was written"
    guide_shows "$line"
    ;;
KxbBackupUndoesAWrite)
    # The guide: a backup of the demo keyboard, the demo script, then the backup written back.
    top=$(dirname "$examples")
    status=0
    (cd "$top" && env -u KAVELHID_TRACE -u KAVELHID_SIMULATION_SAVE KAVELHID_SIMULATION="$examples/demo-keyboard.xml" \
        "$kxb" backup --send-pointer-commands --output "$work/demo-backup.kxb" examples/demo.kxb \
        >"$work/stdout" 2>"$work/stderr") || status=$?
    expect_status 0
    message='examples/demo.kxb:49:3: device0: not undone: Command: a command has effects, not bytes: a backup cannot take it back'
    [ "$(cat "$work/stderr")" = "$message" ] || fail "kxb backup says: $(cat "$work/stderr")"
    grep -qF "(\`$message\`)" "$guide" || fail "the guide no longer shows: $message"
    expected='<BinMemory>
<DST>2</DST>
<CMD>17</CMD>
<Data Address="4000">00 00 00 00</Data>
<Data Address="4010">00 00</Data>
<Data Address="5238">00 00 00</Data>
</BinMemory>
<BinMemory>
<DST>6</DST>
<CMD>17</CMD>
<Data Address="100">00 00 00 00</Data>
</BinMemory>'
    actual=$(sed -n '/<BinMemory>/,/<\/BinMemory>/p' "$work/demo-backup.kxb" | sed 's/^[[:space:]]*//')
    [ "$actual" = "$expected" ] || fail "the backup differs:
$actual"
    while read -r line; do guide_shows "$line"; done <<<"$expected"
    run_saved() { (cd "$work" && env -u KAVELHID_TRACE KAVELHID_SIMULATION="$1" KAVELHID_SIMULATION_SAVE="$2" \
        "$kavelwrite" "$3" >/dev/null) || fail "kavelwrite $3 did not end with 0"; }
    cp "$examples/demo.kxb" "$work/"
    run_saved "$examples/demo-keyboard.xml" "$work/written.xml" demo.kxb
    run_saved "$work/written.xml" "$work/restored.xml" demo-backup.kxb
    # Bytes that read 00 were 00 before: what is left is the memory the keyboard started with.
    memory() { grep '<Memory' "$1" | sed 's/^[[:space:]]*//' | grep -v '>\(00 \)*00</Memory>'; }
    [ "$(memory "$work/restored.xml")" = "$(memory "$examples/demo-keyboard.xml")" ] ||
        fail "the backup did not put the memory back: $(memory "$work/restored.xml")"
    grep -q 'A1 A2 A3\|DE AD' "$work/restored.xml" && fail "the script's bytes are still there"
    ;;
*)
    fail "unknown case"
    ;;
esac

finish "$case_name"
