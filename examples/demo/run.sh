#!/usr/bin/env bash
# Runs the demo co-simulation: zvsim plays Simulink with one zelvanesl61
# block, which launches the stand-in solver on the heated tank of tank.dat.
# Usage: run.sh [BUILD_DIR] (BUILD_DIR holds bin/zvsim and zvihome/, as the
# default preset lays them out). Outputs land in BUILD_DIR/demo.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../../build/default}" && pwd)"
run="$build/demo"
mkdir -p "$run"
cd "$run"
rm -f tank.csv tank.svg tank.out screen.zv zvlinkclient.out
cp "$here/tank.dat" .
export ZVIHOME="$build/zvihome"

echo "Zelvane demo: a heated tank simulated by the stand-in Zelvane solver,"
echo "coupled to a Simulink stand-in (zvsim) through the zelvanesl61 block."
echo "The valve opens at t = 1 s, the heater comes on at t = 4 s; the block"
echo "exchanges signals every 0.1 s, and the solver's own duration (10 s) ends"
echo "the run. What follows is the block's own text:"
echo

status=0
"$build/bin/zvsim" --model tank --product ZVDEMO --duration-source ZELVANE \
    --timestep 0.1 --stop-time 12 \
    --input 1=step:1,0,1 --input 2=step:4,0,1.5 \
    --csv tank.csv --plot tank.svg || status=$?

echo
if [ "$status" -ne 0 ]; then
    echo "The demo run failed (zvsim exit status $status); see the lines above,"
    echo "and the solver's console in $run/screen.zv."
    exit "$status"
fi
echo "Done. The outputs are in $run:"
echo "  tank.svg    inputs and outputs over time (open it in a web browser)"
echo "  tank.csv    time, inputs u1-u2 and outputs y1-y3 at every sample hit"
echo "  tank.out    the solver's results; screen.zv its console"
