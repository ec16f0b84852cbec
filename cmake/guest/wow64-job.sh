# In the amd64 guest: the win32 files on 64-bit Wine with its 32-bit half
# (WoW64), reached by clients of both bitnesses; beside it, the demo's 32-bit
# package under Windows Installer. Every Wine prefix starts as a copy of the
# 64-bit one the guest booted at its first boot.
#
# The two proofs share only the files they read: each has its own prefix,
# wineserver and scratch folder, so they run side by side on the guest's two
# processors (one alone keeps about one busy). The installer proof's lines
# come after the WoW64 proof's, shown as they are written from then on.
export KELMO_WINEPREFIX_TEMPLATE=/var/lib/guest/wineprefix
cd "$(cat /job/tree)" || exit 1
packages=build/win32/tests/installer/packages
msi_log=/var/lib/guest/run/msi.log
mkdir -p /var/lib/guest/run || exit 1
tests/installer/msi_proof.sh /usr/lib/wine/wine /var/lib/guest/run/msi 32 build/win32/tests/installer/installer_probe.exe \
  $packages/kelmo7-demo.msi $packages/failing-registration.msi $packages/later-failure.msi build/win64/demo/kelmo_demo.exe \
  >"$msi_log" 2>&1 &
msi_pid=$!
tests/wow64/wow64_proof.sh /var/lib/guest/run/wow64 build/win32 build/win64
wow64=$?
echo "== the installer proof, beside the WoW64 proof"
tail -n +1 -f --pid=$msi_pid "$msi_log"
wait $msi_pid
msi=$?
[ $wow64 -eq 0 ] && [ $msi -eq 0 ]
