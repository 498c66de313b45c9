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
# A call line of a recording or a trace that a document shows, whatever its time: the document
# must hold the line with some time before it. Usage: shows_call LINE_WITHOUT_TIME [DOCUMENT]
shows_call() {
    sed -E 's/^[[:space:]]*[0-9]+ //' "${2:-$guide}" | grep -qxF -- "$1" || fail "${2:-the guide} no longer shows the call: $1"
}
# The console as a terminal shows it: each progress line overwritten by what follows it.
console() { tr '\r' '\n' <"$work/stdout" | grep -v '^ Writing progress: [0-9]\{1,2\} %$'; }
# Runs a program in the work folder without the library's variables but those given; the rest of
# the arguments are environment assignments, then the program and its arguments. Sets $status.
run_in_work() {
    status=0
    (cd "$work" && env -u KAVELHID_SIMULATION -u KAVELHID_TRACE -u KAVELHID_SIMULATION_SAVE "$@" \
        >"$work/stdout" 2>"$work/stderr") || status=$?
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
    # The schema marks all three as well, as an editor would.
    "$kxb" schema >"$work/kxb.xsd" || fail "kxb schema failed"
    status=0
    (cd "$work" && xmllint --noout --schema kxb.xsd command.kxb >"$work/stdout" 2>"$work/stderr") || status=$?
    expect_status 3
    [ "$(grep -c 'Schemas validity error' "$work/stderr")" = 3 ] || fail "xmllint says: $(cat "$work/stderr")"
    while read -r line; do guide_shows "$line"; done <"$work/stderr"
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
KavelwriteVerifyReadsBackBeforeTheReset)
    # The guide: examples/demo.kxb with --verify on the demo keyboard, then on a copy of it that
    # loses the first memory write, one whose read fails, and a station whose second keyboard
    # loses it.
    top=$(dirname "$examples")
    status=0
    (cd "$top" && env -u KAVELHID_SIMULATION_SAVE KAVELHID_SIMULATION="$examples/demo-keyboard.xml" \
        KAVELHID_TRACE="$work/trace" "$kavelwrite" examples/demo.kxb --verify >"$work/stdout" 2>"$work/stderr") ||
        status=$?
    expect_status 0
    for line in " Verified: 13 bytes in 4 blocks, 1 message not verified" " Writing progress: 100 %" " Done."; do
        console | grep -qxF -- "$line" || fail "no console line \"$line\""
        guide_shows "$line"
    done
    guide_shows 'KAVELHID_SIMULATION=examples/demo-keyboard.xml build/kavelwrite examples/demo.kxb --verify'
    [ "$(grep -c 'cmd=16' "$work/trace")" = 5 ] || fail "not the pointer read and four reads back: $(grep 'cmd=16' "$work/trace")"
    tail -n 1 "$work/trace" | grep -q 'cmd=F1' || fail "the reset is not the last message"

    inject='<Inject Cmd="17" Dst="2" Count="1"/>'
    guide_shows "$inject"
    cp "$examples/demo.kxb" "$work/"
    sed "s#</Keyboard>#$inject</Keyboard>#" "$examples/demo-keyboard.xml" >"$work/demo-keyboard.xml"
    rm -f "$work/trace"
    run_in_work KAVELHID_SIMULATION=demo-keyboard.xml KAVELHID_TRACE=demo.trace "$kavelwrite" demo.kxb --verify --logfile
    expect_status 167
    guide_shows 'KAVELHID_SIMULATION=demo-keyboard.xml KAVELHID_TRACE=demo.trace build/kavelwrite demo.kxb --verify --logfile'
    for line in " demo.kxb:59:4: device0: differ: Data: unit 2, 4 bytes at 4000: 4 bytes differ, the first at 4000: the keyboard holds 00, the script leaves 11" \
        " ERROR: Device verify error"; do
        console | grep -qxF -- "$line" || fail "no console line \"$line\""
        guide_shows "$line"
    done
    grep -q 'cmd=F1' "$work/demo.trace" && fail "a keyboard that lost a write was reset"
    expected='kb0 SendCommand cmd=17 dst=06 data=[00 01 DE AD BE EF] -> 0
kb0 SendCommand cmd=16 dst=02 data=[00 40 04] -> 0 answer=[00 00 00 00]
kb0 SendCommand cmd=16 dst=02 data=[10 40 02] -> 0 answer=[55 66]
kb0 SendCommand cmd=16 dst=02 data=[38 52 03] -> 0 answer=[A1 A2 A3]
kb0 SendCommand cmd=16 dst=06 data=[00 01 04] -> 0 answer=[DE AD BE EF]'
    actual=$(tail -n 5 "$work/demo.trace" | sed 's/^[0-9]* //')
    [ "$actual" = "$expected" ] || fail "the trace does not end with the reads back:
$actual"
    while read -r line; do shows_call "$line"; done <<<"$expected"
    log=$(log_file demo.kxb)
    for line in '<Data Offset="0" t20261208172306_device0="result=0" t20261208172306_device0_verify="differ;bytes=4;first=4000;keyboard=00;script=11">11 22 33 44</Data>' \
        '<Data Offset="10" t20261208172306_device0="result=0" t20261208172306_device0_verify="match">55 66</Data>'; do
        sed 's/t[0-9]\{14\}/t20261208172306/g; s/^[[:space:]]*//' "${log:-/dev/null}" | grep -qxF -- "$line" ||
            fail "the log file lacks $line"
        guide_shows "$line"
    done
    status=0
    (cd "$work" && "$kxb" log "$(basename "${log:-none}")" >"$work/stdout" 2>"$work/stderr") || status=$?
    expect_status 0
    actual=$(sed 's/t[0-9]\{14\}/t20261208172306/g' "$work/stdout")
    expected='run t20261208172306
  check pass: passed
  device0: " ERROR: Device verify error" (167): 7 done, 0 failed, 0 skipped
    read back: 3 match, 1 differ, 0 unreadable
    identified: Controller Id=11 Ver=1.2.3.0 Ok
    identified: Module0 IdConfig=66 Id=66 IdSub=0 Id66=12 Ver=2.1.ce.0 Ok
    identified: Module1 IdConfig=c5 Id=c5 IdSub=5 Id66=0 Ver=1.0.7.0 Ok
    stopped: demo.kxb_t20261208172306:108:4: Data differ;bytes=4;first=4000;keyboard=00;script=11'
    [ "$actual" = "$expected" ] || fail "kxb log says:
$actual"
    while read -r line; do guide_shows "$line"; done <<<"$expected"
    "$kxb" log --json "$log" | grep -q '"readBack": {' || fail "kxb log --json has no readBack object"

    # Without --verify the lost write goes unnoticed.
    run_in_work KAVELHID_SIMULATION=demo-keyboard.xml "$kavelwrite" demo.kxb
    expect_status 0
    console | grep -qxF " Done." || fail "without --verify the keyboard is not taken for written"

    # A read that fails.
    inject='<Inject Cmd="16" Dst="6" Status="102"/>'
    grep -qF "\`$inject\`" "$guide" || fail "the guide no longer shows $inject"
    sed "s#</Keyboard>#$inject</Keyboard>#" "$examples/demo-keyboard.xml" >"$work/unreadable-keyboard.xml"
    run_in_work KAVELHID_SIMULATION=unreadable-keyboard.xml KAVELHID_TRACE=unreadable.trace "$kavelwrite" demo.kxb --verify
    expect_status 164
    line=" demo.kxb:77:4: device0: unreadable: Data: unit 6, 4 bytes at 100: not read: the read of 4 bytes at 100 on unit 6: ERROR=102;responselen=0"
    console | grep -qxF -- "$line" || fail "no console line \"$line\""
    guide_shows "$line"
    console | grep -qxF " ERROR: Device communication error" || fail "a failed read-back is no communication error"
    grep -q 'cmd=F1' "$work/unreadable.trace" && fail "a keyboard whose read-back failed was reset"

    # A station whose second keyboard loses the write, with and without overlapping resets.
    awk '/<\/Keyboard>/ && ++n == 2 { sub(/<\/Keyboard>/, "<Inject Cmd=\"17\" Dst=\"2\" Count=\"1\"/></Keyboard>") } { print }' \
        "$examples/station-keyboards.xml" >"$work/station.xml"
    [ "$(grep -c '<Inject' "$work/station.xml")" = 1 ] || fail "examples/station-keyboards.xml has no second keyboard"
    line="Written and verified: 2 of 3 keyboards; failed: device1 (167)"
    guide_shows "$line"
    for overlap in "" --overlap-resets; do
        run_in_work KAVELHID_SIMULATION=station.xml KAVELHID_TRACE="station$overlap.trace" "$kavelwrite" demo.kxb --verify $overlap
        expect_status 167
        [ "$(console | tail -n 1)" = "$line" ] || fail "the station ${overlap:+with $overlap }does not end with \"$line\""
        [ "$(grep -c 'cmd=F1' "$work/station$overlap.trace")" = 2 ] || fail "not the two other keyboards reset ${overlap:+with $overlap}"
        grep -q 'kb1 .*cmd=F1' "$work/station$overlap.trace" && fail "the keyboard that lost its write was reset"
    done
    ;;
RecordingHoldsEveryCallAndMakesATwin)
    # The guide: the lost write recorded, what the recording holds, a file that cannot be made, and
    # the twin of the recording, on which the run ends as recorded. And kavelwrite(1)'s recording.
    cp "$examples/demo.kxb" "$work/"
    sed 's#</Keyboard>#<Inject Cmd="17" Dst="2" Count="1"/></Keyboard>#' "$examples/demo-keyboard.xml" >"$work/demo-keyboard.xml"
    run_in_work KAVELHID_SIMULATION=demo-keyboard.xml KAVELHID_TRACE=lost.trace "$kavelwrite" demo.kxb --verify --record lost.rec
    expect_status 167
    guide_shows 'KAVELHID_SIMULATION=demo-keyboard.xml build/kavelwrite demo.kxb --verify --record lost.rec'
    for line in '# kavelhid recording 1' '# program: kavelwrite 0.0.4' '# arguments: demo.kxb --verify --record lost.rec' \
        '# ended: exit status 167'; do
        grep -qxF -- "$line" "$work/lost.rec" || fail "the recording lacks \"$line\""
        guide_shows "$line"
    done
    sed -n 4p "$work/lost.rec" | grep -qE '^# started: [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$' ||
        fail "the fourth line is not the start in UTC: $(sed -n 4p "$work/lost.rec")"
    guide_shows '# started: 2026-12-08T17:23:06Z'
    [ "$(tail -n 1 "$work/lost.rec")" = '# ended: exit status 167' ] || fail "the recording does not end with how the run ended"
    calls=$(grep -v '^#' "$work/lost.rec" | sed 's/^[0-9]* //')
    [ "$(wc -l <<<"$calls")" = 32 ] || fail "not 32 lines of calls: $calls"
    while read -r line; do shows_call "$line"; done <<<"$calls"
    # The call lines are the trace's, with the lines the trace has none for.
    [ "$(grep -v ' Answer capacity=\|LibraryVersion\|Release' <<<"$calls")" = "$(sed 's/^[0-9]* //' "$work/lost.trace")" ] ||
        fail "the recording's calls are not the trace's lines"

    # A file that cannot be made, or none: nothing is sent.
    run_in_work KAVELHID_TRACE=none.trace "$kavelwrite" demo.kxb --record /no/such/folder/setup.rec
    expect_status 170
    line="ERROR: Recording file error: /no/such/folder/setup.rec: No such file or directory"
    expect_line "$line"
    guide_shows "$line"
    [ -s "$work/none.trace" ] && fail "a run without its recording sent something"
    run_in_work "$kavelwrite" demo.kxb --record
    expect_status 170
    expect_line "ERROR: Recording file parameter missing"
    grep -qF '`ERROR: Recording file parameter missing`' "$guide" || fail "the guide no longer names the missing file"
    run_in_work "$kxb" probe --record /no/such/folder/probe.rec
    expect_status 170
    grep -qxF "kxb probe: ERROR: Recording file error: /no/such/folder/probe.rec: No such file or directory" "$work/stderr" ||
        fail "kxb probe says: $(cat "$work/stderr")"
    grep -qF '`kxb probe: ERROR: Recording file error: ...`' "$guide" || fail "the guide no longer shows kxb's line"
    # The word after --record is the recording, whatever it is named; a script there is left alone.
    cp "$examples/demo.kxb" "$work/victim.kxb"
    run_in_work "$kavelwrite" --record victim.kxb
    expect_status 170
    expect_line "ERROR: Recording file error: victim.kxb: not a recording: it would be replaced"
    cmp -s "$examples/demo.kxb" "$work/victim.kxb" || fail "the script after --record was replaced"
    guide_shows '  is not: `kavelwrite --record setup.kxb` ends with status 170 and `ERROR: Recording file error:'

    # The twin, and the same run on it.
    run_in_work "$kxb" twin lost.rec
    expect_status 0
    guide_shows 'build/kxb twin lost.rec > lost-twin.xml'
    cp "$work/stdout" "$work/lost-twin.xml"
    sed -n 2p "$work/lost-twin.xml" | grep -q '^<!-- .*Left out.*memory that no read returned (it reads 00), how long each call took' ||
        fail "the twin's comment does not say what is left out: $(sed -n 2p "$work/lost-twin.xml")"
    twin=$(sed '1,2d; s/^[[:space:]]*//' "$work/lost-twin.xml")
    [ "$(wc -l <<<"$twin")" = 19 ] || fail "the twin is not the guide's 19 lines: $twin"
    while read -r line; do guide_shows "$line"; done <<<"$twin"
    run_in_work KAVELHID_SIMULATION=lost-twin.xml KAVELHID_TRACE=twin.trace "$kavelwrite" demo.kxb --verify
    expect_status 167
    console | grep -qxF " demo.kxb:59:4: device0: differ: Data: unit 2, 4 bytes at 4000: 4 bytes differ, the first at 4000: the keyboard holds 00, the script leaves 11" ||
        fail "the run on the twin does not find the lost write"
    [ "$(sed 's/^[0-9]* //' "$work/twin.trace")" = "$(sed 's/^[0-9]* //' "$work/lost.trace")" ] ||
        fail "the run on the twin sends other messages or gets other answers"
    guide_shows '`KAVELHID_SIMULATION=lost-twin.xml build/kavelwrite demo.kxb --verify` ends with the same `differ`'

    # The twin after the run: the run's writes saved into it, its Inject still there until deleted.
    run_in_work KAVELHID_SIMULATION=lost-twin.xml KAVELHID_SIMULATION_SAVE=lost-after.xml "$kavelwrite" demo.kxb --verify
    expect_status 167
    guide_shows 'KAVELHID_SIMULATION=lost-twin.xml KAVELHID_SIMULATION_SAVE=lost-after.xml build/kavelwrite demo.kxb --verify'
    grep -qF '<Memory Unit="2" Address="4000">11 22 33 44</Memory>' "$work/lost-after.xml" ||
        fail "the saved twin does not hold the run's write at 4000"
    grep -qF '<Inject Cmd="16" Dst="2" Skip="1" Count="1" Status="0">00 00 00 00</Inject>' "$work/lost-after.xml" ||
        fail "the saved twin lost its Inject"
    run_in_work KAVELHID_SIMULATION=lost-after.xml "$kxb" verify --send-pointer-commands demo.kxb
    expect_status 167
    guide_shows 'KAVELHID_SIMULATION=lost-after.xml build/kxb verify --send-pointer-commands demo.kxb'
    grep -qF 'demo.kxb:59:4: device0: differ:' "$work/stdout" || fail "kxb verify on the saved twin does not meet the recorded read"
    grep -v '<Inject' "$work/lost-after.xml" >"$work/fixed-after.xml"
    run_in_work KAVELHID_SIMULATION=fixed-after.xml "$kxb" verify --send-pointer-commands demo.kxb
    expect_status 0

    # A recording that is not one.
    sed '7s/.*/garbage/' "$work/lost.rec" >"$work/setup.rec"
    run_in_work "$kxb" twin setup.rec
    expect_status 169
    line='kxb twin: setup.rec: line 7: not a call line, a comment or an Answer line: "garbage"'
    [ "$(cat "$work/stderr")" = "$line" ] || fail "kxb twin says: $(cat "$work/stderr")"
    grep -qF "\`$line\`" "$guide" || fail "the guide no longer shows: $line"

    # kavelwrite(1) shows the recording of its first example.
    page=$(dirname "$guide")/kavelwrite.1
    top=$(dirname "$examples")
    (cd "$top" && env -u KAVELHID_TRACE -u KAVELHID_SIMULATION_SAVE KAVELHID_SIMULATION="$examples/writers-keyboard.xml" \
        "$kavelwrite" examples/command.kxb --record "$work/command.rec" >/dev/null) || fail "the page's example did not end with 0"
    calls=$(sed -n 5,100p "$work/command.rec" | sed 's/^[0-9]* //')
    [ "$(wc -l <<<"$calls")" = 16 ] || fail "not 16 lines after the header: $calls"
    while read -r line; do
        case $line in
        '#'*) grep -qxF -- "$line" "$page" || fail "kavelwrite(1) no longer shows: $line" ;;
        *) shows_call "$line" "$page" ;;
        esac
    done <<<"$calls"
    grep -qxF '# arguments: examples/command.kxb \-\-record /tmp/command.rec' "$page" ||
        fail "kavelwrite(1) no longer shows the example's arguments"
    ;;
StationWritesBatchAfterBatch)
    # The guide: a station over the three batches of examples/station-batches.xml, its console, its
    # log files, its events and its record.
    mkdir -p "$work/examples"
    cp "$examples/demo.kxb" "$work/examples/"
    guide_shows 'KAVELHID_SIMULATION=examples/station-batches.xml KAVELWRITE_STATION=bench-1 \'
    guide_shows 'build/kavelwrite examples/demo.kxb --loop --batches 3 --logfile \'
    guide_shows '--events station.events --history record.db'
    # A station that misses a batch waits for it for ever: 124 says so.
    run_in_work KAVELHID_SIMULATION="$examples/station-batches.xml" KAVELWRITE_STATION=bench-1 KAVELWRITE_HISTORY= \
        timeout 120 "$kavelwrite" examples/demo.kxb --loop --batches 3 --logfile --events station.events --history record.db
    expect_status 0
    # The console without the blocks' inner lines, and those that the guide shows.
    expected='kavelwrite 0.0.4 writes kxb file into Kavel
libkavelhidapi 1.4.2
Kxb file check: Pass
Waiting for keyboards (Ctrl-C ends the station)
Batch 1
2 Kavel device(s) detected
device0:
device1:
Batch 1: 2 of 2 keyboards written
Unplug the keyboards
Waiting for keyboards (Ctrl-C ends the station)
Batch 2
1 Kavel device(s) detected
device0:
Batch 2: 1 of 1 keyboards written
Unplug the keyboards
Waiting for keyboards (Ctrl-C ends the station)
Batch 3
3 Kavel device(s) detected
device0:
device1:
device2:
Batch 3: 3 of 3 keyboards written
Station: 3 batches, 6 keyboards, 6 written, 0 failed'
    actual=$(console | grep -v '^ \|^$')
    [ "$actual" = "$expected" ] || fail "the station prints:
$actual"
    while read -r line; do guide_shows "$line"; done <<<"$expected"
    [ "$(console | grep -cxF ' Done.')" = 6 ] || fail "not six keyboards done"
    logs=$(ls "$work/examples/demo.kxb_t"* 2>/dev/null | wc -l)
    [ "$logs" = 3 ] || fail "$logs log files, not one per batch"

    # The events, in order, and the lines that the guide shows, whatever their times.
    names=$(sed 's/^{"event":"\([a-zA-Z]*\)".*/\1/' "$work/station.events" | grep -v '^progress$' | tr '\n' ' ')
    kb='keyboard result'
    [ "$names" = "start waiting batch $kb $kb batchEnd unplug waiting batch $kb batchEnd unplug waiting batch $kb $kb $kb batchEnd end " ] ||
        fail "the events come as: $names"
    progress=$(grep -c '"event":"progress"' "$work/station.events")
    grep -qF "leaving out the $progress \`progress\` events" "$guide" || fail "the guide does not count $progress progress events"
    untimed() { sed 's/"time":"[^"]*"/"time":""/'; }
    shown=$(sed -n '/^{"event":"start"/,/^```$/p' "$guide" | grep '^{' | untimed)
    [ "$(wc -l <<<"$shown")" -ge 10 ] || fail "the guide shows only $(wc -l <<<"$shown") events"
    while read -r line; do
        untimed <"$work/station.events" | grep -qxF -- "$line" || fail "the station wrote no event: $line"
    done <<<"$shown"
    tail -n 1 "$work/station.events" | untimed | grep -qxF -- \
        '{"event":"end","time":"","status":0,"batches":3,"keyboards":6,"written":6,"failed":0,"endedBy":"exit"}' ||
        fail "the events do not end with the station's end"

    # The record: a run per batch, of one session, as kxb history shows it.
    run_in_work "$kxb" history --runs record.db
    expect_status 0
    guide_shows 'build/kxb history --runs record.db'
    untimed_runs() { sed -E 's/^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:.]{12}/TIME/'; }
    actual=$(untimed_runs <"$work/stdout")
    shown=$(grep -A3 '^Started (UTC)            Station  Script             Keyboards' "$guide" | untimed_runs)
    [ "$actual" = "$shown" ] || fail "kxb history --runs prints:
$actual
and the guide shows:
$shown"
    run_in_work "$kxb" history --runs --json record.db
    [ "$(grep '"session"' "$work/stdout" | sort -u | wc -l)" = 1 ] || fail "the batches are not one session"
    [ "$(grep -o '"batch": "[0-9]*"' "$work/stdout" | tr -d '\n')" = '"batch": "3""batch": "2""batch": "1"' ] ||
        fail "the runs do not name their batches: $(grep '"batch"' "$work/stdout")"
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
