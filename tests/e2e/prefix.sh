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
