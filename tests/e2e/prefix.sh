# Sourced: the Wine prefixes of the end-to-end tests, the demo and the install benchmark.
# fresh_prefix TEMPLATE PREFIX makes PREFIX a fresh copy of a booted Wine prefix. The template is
# booted once (wineboot takes 15-20 s) and reused; runs started at once wait for one another on
# its lock instead of booting it twice. Needs $W (wine64) and $WS (wineserver); the copy's server
# is left to the caller.
fresh_prefix() {
  local tpl=$1 prefix=$2
  mkdir -p "$(dirname "$tpl")"
  (
    flock 9
    if [ ! -f "$tpl/system.reg" ] || [ ! -f "$tpl/.kestrel-ready" ]; then
      rm -rf "$tpl"
      WINEPREFIX=$tpl $W wineboot -i >/dev/null 2>&1
      # without a window manager Wine would wait 2 s for every hidden or destroyed window
      WINEPREFIX=$tpl $W reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
      WINEPREFIX=$tpl $WS -w
      # real folders, so per-user shortcuts stay inside the prefix
      local d u
      for d in Desktop Documents Downloads Music Pictures Videos; do
        u="$tpl/drive_c/users/$(id -un)/$d"
        if [ -L "$u" ]; then rm "$u"; mkdir "$u"; fi
      done
      [ -f "$tpl/system.reg" ] && touch "$tpl/.kestrel-ready"
    fi
  ) 9>"$tpl.lock"
  if [ ! -f "$tpl/.kestrel-ready" ]; then
    echo "FAIL: the Wine prefix template $tpl could not be booted" >&2
    return 1
  fi
  rm -rf "$prefix"
  prefix_copy "$tpl" "$prefix"
}

# prefix_copy FROM TO: a copy of a prefix that shares the system's program files with FROM.
# Nearly all of a prefix's 1.3 GB are the DLLs, programs and tables under drive_c\windows, which
# Wine and the tests only read or delete (an unlink leaves FROM's file alone): those are hard
# links, everything else (registry, profiles, settings) a real copy, so a copy costs ~100 MB.
prefix_copy() {
  local from=$1 to=$2
  cp -a --link "$from" "$to" || return 1
  find "$to" -type f -links +1 ! -iregex \
    '.*/drive_c/windows/.*\.\(dll\|exe\|sys\|drv\|ocx\|cpl\|acm\|ax\|tlb\|nls\|vxd\|com\|ds\)' \
    -exec sh -c 'for f; do cp -p "$f" "$f.unshare" && mv -f "$f.unshare" "$f" || exit 1; done' sh {} +
}

# win PATH: the Windows form of an absolute Linux path, as winepath -w gives it (C: inside the
# prefix's drive_c, Z: elsewhere), without starting a Wine process that may answer nothing
win() {
  local p=$1
  case "$p" in
    "$WINEPREFIX/drive_c"/*) p="C:${p#"$WINEPREFIX/drive_c"}" ;;
    /*) p="Z:$p" ;;
    *) $W winepath -w "$p" 2>/dev/null; return ;;
  esac
  printf '%s\n' "${p//\//\\}"
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

# Windows links its dialog font to fonts of every script; Wine links Tahoma to the fonts Windows
# ships, which Debian has not: those names are replaced by Debian's fonts of the same scripts
# (the last one, a symbol font, by one with Arabic, Hebrew and Greek)
script_fonts() {
  local pair
  for pair in 'SimSun=WenQuanYi Micro Hei' 'PMingLiU=WenQuanYi Micro Hei' \
    'Gulim=NanumGothic' 'Segoe UI Symbol=DejaVu Sans'; do
    $W reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "${pair%%=*}" /d "${pair#*=}" /f \
      >/dev/null 2>&1
  done
}

# The dialog font (Tahoma by default): Wine's has neither Arabic nor Hebrew, and Wine shapes those
# in the dialog font alone, so their runs take one that has them ('DejaVu Sans')
dialog_font() {
  local subst='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
  $W reg add "$subst" /v 'MS Shell Dlg' /d "$1" /f >/dev/null 2>&1
  $W reg add "$subst" /v 'MS Shell Dlg 2' /d "$1" /f >/dev/null 2>&1
}
