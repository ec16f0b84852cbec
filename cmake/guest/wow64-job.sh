# In the amd64 guest: the win32 files on 64-bit Wine with its 32-bit half
# (WoW64), reached by clients of both bitnesses; then the demo's 32-bit package
# under Windows Installer. Every Wine prefix starts as a copy of the 64-bit one
# the guest booted at its first boot.
export KELMO_WINEPREFIX_TEMPLATE=/var/lib/guest/wineprefix
cd "$(cat /job/tree)" || exit 1
tests/wow64/wow64_proof.sh /var/lib/guest/run/wow64 build/win32 build/win64
wow64=$?
packages=build/win32/tests/installer/packages
tests/installer/msi_proof.sh /usr/lib/wine/wine /var/lib/guest/run/msi 32 build/win32/tests/installer/installer_probe.exe \
  $packages/kelmo7-demo.msi $packages/failing-registration.msi $packages/later-failure.msi build/win64/demo/kelmo_demo.exe
msi=$?
[ $wow64 -eq 0 ] && [ $msi -eq 0 ]
