#!/bin/sh
# The demo: builds an installer from demo/project.toml with kzpack and the
# development keys, checks it with `kzpack verify`, runs it under wine and
# shows what the setup program received.
#   DEMO_MODE=silent (default)  no window
#   DEMO_MODE=gui               the progress window (under xvfb-run when there is no display)
# Run through `make demo` / `make demo-gui`, which build everything first and
# start wine's server (scripts/with-wine).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
mode=${DEMO_MODE:-silent}
out="$root/build/demo"
kzpack="${KZPACK:-$root/build/native/tools/kzpack/kzpack}"

# The shipped 32-bit stub and setup program, natively or through the lane
# (scripts/wine-run --how); the 64-bit build of the same sources only where
# neither can run 32-bit code.
how=$("$root/scripts/wine-run" --how)
if [ "$how" = none ]; then preset=win64; else preset=win32; fi
stub="${DEMO_STUB:-$root/build/$preset/InstallerLogic/Stub.exe}"
setup="${DEMO_SETUP:-$root/build/$preset/demo/setup/setup.exe}"
for f in "$kzpack" "$stub" "$setup"; do
  [ -e "$f" ] || { echo "run-demo: $f is missing; run 'make demo' (it builds kzpack, the stub and the demo setup)" >&2; exit 1; }
done

case "$mode" in
  silent) run_type=silent ;;
  gui) run_type=gui ;;
  *) echo "run-demo: DEMO_MODE must be silent or gui, not '$mode'" >&2; exit 2 ;;
esac

mkdir -p "$out"
installer="$out/DemoInstaller-$run_type.exe"
sbom="$out/DemoInstaller-$run_type.cdx.json"
report="$out/setup-report.txt"
rm -f "$report"

echo "== kzpack build ($preset stub, run type $run_type)"
"$kzpack" build "$here/project.toml" -o "$installer" --stub "$stub" --setup "$setup" --run-type "$run_type" \
  --development-keys --sbom "$sbom"
echo "== bill of materials (CycloneDX 1.5): $sbom"
echo "== kzpack verify"
"$kzpack" verify "$installer"

# The setup program writes its report where KZ_SETUP_REPORT says (a Windows path).
KZ_SETUP_REPORT="Z:$(echo "$report" | tr / '\\')"
export KZ_SETUP_REPORT
set -- "$root/scripts/wine-run" "$installer" /S --demo-argument "with space"
if [ "$mode" = gui ]; then
  if [ -z "${DISPLAY:-}" ]; then
    command -v xvfb-run >/dev/null || { echo "run-demo: no DISPLAY and no xvfb-run" >&2; exit 1; }
    set -- xvfb-run -a "$@"
  else
    # On a real display the setup program shows its report in a message box.
    set -- "$root/scripts/wine-run" "$installer" --demo-argument "with space"
  fi
fi
lfanew=$(od -An -tu4 -j60 -N4 "$installer" | tr -d ' ')
case $(od -An -tx1 -j$((lfanew + 4)) -N2 "$installer" | tr -d ' ') in
  4c01) kind="32-bit" ;;
  *) kind="64-bit (32-bit programs cannot run here)" ;;
esac
case "$how" in
  native) way="natively" ;;
  lane) way="with wine's 32-bit loader under qemu-i386" ;;
  *) way="under wine64" ;;
esac
echo "== running the $kind installer under wine, $way ($mode)"
status=0
timeout 300 "$@" </dev/null || status=$?
# wine passes on only the low 8 bits of the code (1603 arrives as 67).
echo "installer exit code (low 8 bits): $status"
if [ -f "$report" ]; then
  echo "== what setup received"
  cat "$report"
else
  echo "run-demo: the setup program wrote no report" >&2
  exit 1
fi
[ "$status" -eq 0 ]
