# Sourced: fresh_prefix TEMPLATE PREFIX makes PREFIX a fresh copy of a booted Wine prefix.
# The template is booted once (wineboot takes 15-20 s) and reused; needs $W (wine64) and $WS
# (wineserver). The copy's server is left to the caller.
fresh_prefix() {
  local tpl=$1 prefix=$2 d u
  if [ ! -f "$tpl/system.reg" ] || [ ! -f "$tpl/.kestrel-ready" ]; then
    rm -rf "$tpl"
    WINEPREFIX=$tpl $W wineboot -i >/dev/null 2>&1
    # without a window manager Wine would wait 2 s for every hidden or destroyed window
    WINEPREFIX=$tpl $W reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    WINEPREFIX=$tpl $WS -w
    # real folders, so per-user shortcuts stay inside the prefix
    for d in Desktop Documents Downloads Music Pictures Videos; do
      u="$tpl/drive_c/users/$(id -un)/$d"
      if [ -L "$u" ]; then rm "$u"; mkdir "$u"; fi
    done
    touch "$tpl/.kestrel-ready"
  fi
  rm -rf "$prefix"
  cp -a "$tpl" "$prefix"
}

# e2e_arch SETUP.EXE: what the system shows a program of this build. A 32-bit setup.exe runs on
# the system's 32-bit layer: its Program Files folder is "Program Files (x86)" and its Uninstall
# key lands in the 32-bit registry view (WOW6432Node), as on 64-bit Windows.
# Sets ARCH (i686|x86_64), PFNAME, PFW (the folder as Windows spells it) and UNKEYS.
e2e_arch() {
  local machine
  machine=$(/usr/bin/python3 -c 'import struct,sys
d=open(sys.argv[1],"rb").read(4096); pe=struct.unpack_from("<I",d,60)[0]
print(hex(struct.unpack_from("<H",d,pe+4)[0]))' "$1")
  if [ "$machine" = 0x14c ]; then
    ARCH=i686 PFNAME='Program Files (x86)'
    UNKEYS='HKLM\software\Wow6432Node\microsoft\windows\currentversion\uninstall'
  else
    ARCH=x86_64 PFNAME='Program Files'
    UNKEYS='HKLM\software\microsoft\windows\currentversion\uninstall'
  fi
  PFW="C:\\$PFNAME"
}
