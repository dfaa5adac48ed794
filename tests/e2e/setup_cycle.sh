#!/bin/sh
# The full cycle a setup runs, through the kvtr-setup host on one emulated
# machine: seed the registry from a .reg file, install the router's and the
# agent's counters, uninstall them, remove one service's perflib names and
# then the legacy counters (whose cleanup deletes that service's
# "Performance" key). The registry is exported before and after (the
# changes folded into a new snapshot first).
#
# Usage: setup_cycle.sh KVTR-SETUP PREFIX SEED.reg MOF-DIRECTORY SERVICE
# Writes PREFIX/before.reg, PREFIX/after.reg and PREFIX/cycle.log (every
# command with its output).
set -u
setup=$1
prefix=$2
seed=$3
mofs=$4
service=$5
log=$prefix/cycle.log
: >"$log"

run() {
  echo "\$ kvtr-setup $*" >>"$log"
  "$setup" --prefix "$prefix" "$@" >>"$log" 2>&1
  echo "exit: $?" >>"$log"
}

run reg import "$seed"
run reg export "$prefix/before.reg"
counters='C:\Program Files\Zorvane\Counters'
folder=$("$setup" --prefix "$prefix" path "$counters")
mkdir -p "$folder" && cp "$mofs"/*.mof "$folder"/
run install-router "$counters"
run install-agent "$counters"
run wmi classes
run uninstall-router
run uninstall-agent
run uninstall-old-counters "$service"
run remove-old-counters
run wmi classes
run reg compact
run reg export "$prefix/after.reg"
