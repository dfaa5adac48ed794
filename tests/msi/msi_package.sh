#!/bin/sh
# The MSI flow end to end under Wine: builds the sample package
# examples/kvtr-counters.wxs with wixl around the built kvtr.dll and
# kvtr_msi.dll, installs it with Wine's msiexec in a fresh Wine prefix
# (the MOF compiler emulator registered there as the system's compiler),
# checks the classes and kvtr's lines in the log, removes it and checks
# the classes are gone; then a package whose agent classes cannot be
# installed must fail with 1603 and roll back (classes and files).
#
# Usage: msi_package.sh BIN-DIR SOURCE-DIR
#   BIN-DIR holds kvtr.dll, kvtr_msi.dll and kvtr_mofcomp.dll, x64 or x86
#   (a 32-bit package: KVTR_WINE_LOADER names the loader that runs it).
set -u
bin=$1
source=$2
loader=${KVTR_WINE_LOADER:-$(dpkg -L wine64 | grep '/wine64$' | head -n 1)}
server=$(dirname "$loader")/wineserver64
if i686-w64-mingw32-objdump -f "$bin/kvtr.dll" 2>/dev/null | grep -q 'pei-i386'; then
  arch=x86
  programs='Program Files (x86)'
else
  arch=x64
  programs='Program Files'
fi
work=$(mktemp -d /tmp/kvtr-msi-XXXXXX)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
cleanup() {
  "$server" -k 2>/dev/null
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

cd "$work" || exit 1
cp "$bin/kvtr.dll" "$bin/kvtr_msi.dll" "$bin/kvtr_mofcomp.dll" . || exit 1
mkdir mof && cp "$source/mof/RouterClientPerf.mof" "$source/mof/RouterSessionPerf.mof" "$source/mof/AgentWMIPerf.mof" mof/
# wixl reads its sources relative to the current folder; the rollback
# actions get the type wixl cannot write.
build() {
  # The sample is written for x64; a 32-bit package goes to the 32-bit
  # Program Files, without Win64 components.
  if [ "$arch" = x86 ]; then
    sed 's/ProgramFiles64Folder/ProgramFilesFolder/; s/ Win64="yes"//' "$1" >"$1.x86"
    set -- "$1.x86" "$2"
  fi
  wixl -a "$arch" -D BinDir=. -D MofDir=mof -o "$2" "$1" 2>wixl.err || { cat wixl.err; exit 1; }
  msibuild "$2" -q "UPDATE CustomAction SET Type=3393 WHERE Action='UndoRouter' OR Action='UndoAgent'" || exit 1
}
build "$source/examples/kvtr-counters.wxs" good.msi
sed '/Id="InstallAgentData"/s/|\[INSTALLDIR\]"/|[INSTALLDIR]missing"/' "$source/examples/kvtr-counters.wxs" >broken.wxs
build broken.wxs broken.msi

"$loader" wineboot --init >/dev/null 2>&1
"$loader" regsvr32 /s "$(winepath -w "$work/kvtr_mofcomp.dll" 2>/dev/null || echo "Z:$work/kvtr_mofcomp.dll" | tr / '\\')" >/dev/null 2>&1 ||
  fail "kvtr_mofcomp.dll could not be registered"
classes="$WINEPREFIX/drive_c/windows/kvtr-wbem/root.cimv2.mof"
installed="$WINEPREFIX/drive_c/$programs/Zorvane Counters"
count() { grep -c "class $1" "$classes" 2>/dev/null || true; }

"$loader" msiexec /i good.msi /qn /l*v install.log >/dev/null 2>&1
status=$?
"$server" -w
[ "$status" = 0 ] || fail "install ended with $status"
for class in Win32_PerfRawData_Zorvane_Router_Client Win32_PerfRawData_Zorvane_Router_Session \
             Win32_PerfRawData_Zorvane_Agent; do
  [ "$(count $class)" = 1 ] || fail "$class is not installed"
done
[ -e "$installed/kvtr.dll" ] || fail "kvtr.dll is not in $installed"
grep -q "^kvtr: InstRouter returned 0$" install.log || fail "the install log lacks InstRouter's result"
grep -q "^kvtr: InstAgent returned 0$" install.log || fail "the install log lacks InstAgent's result"

"$loader" msiexec /x good.msi /qn /l*v remove.log >/dev/null 2>&1
status=$?
"$server" -w
[ "$status" = 0 ] || fail "removal ended with $status"
grep -q "Zorvane" "$classes" && fail "classes are left after the removal"
grep -q "^kvtr: UnInstRouter returned -5$" remove.log || fail "the removal log lacks UnInstRouter's result"
[ -e "$installed" ] && fail "the product's folder is left after the removal"

"$loader" msiexec /i broken.msi /qn /l*v broken.log >/dev/null 2>&1
status=$?
"$server" -w
# ERROR_INSTALL_FAILURE, 1603; a Linux exit status keeps its low 8 bits.
[ "$status" = $((1603 % 256)) ] || fail "the broken package ended with $status, not 1603"
# The export's own report, its brackets kept.
grep -qF ": Cannot find path : [C:\\$programs\\Zorvane Counters\\missing]" broken.log ||
  fail "the log lacks InstAgent's report"
grep -q "^kvtr: InstAgent returned -5, the installation fails$" broken.log || fail "the log lacks the failure"
[ -e "$installed/kvtr.dll" ] && fail "kvtr.dll is left after the rollback"
# The rollback ran the undoing actions, the agent's first. Wine departs
# from Windows here: it takes the installed files away before it runs
# rollback actions (Windows runs them in the script's reverse order, while
# kvtr.dll is still in place), so they cannot load kvtr.dll and the
# router's classes stay; on Windows they go.
sed -n '/the installation fails$/,$p' broken.log | sed -n 's/^Action start .*: \(Undo[A-Za-z]*\)\.$/\1/p' |
  tr '\n' ' ' >undone.txt
[ "$(cat undone.txt)" = "UndoAgent UndoRouter " ] || fail "the rollback ran $(cat undone.txt)"

if [ "$failures" -gt 0 ]; then
  for log in install.log remove.log broken.log; do
    echo "---- $log (kvtr lines)"
    grep -a "kvtr\|Cannot" "$log" | head -20
  done
  exit 1
fi
echo "msi package: install, removal and rollback as expected"
