# Unattended installs of a password-protected package: /PASSWORD= and /PASSWORDFILE=, wrong,
# missing and right. Sourced by run.sh after password_scenarios.sh, whose packages it installs.
if [ -z "${PACK:-}" ]; then
  echo "skipped: silent password scenarios need kestrel-pack"
  return 0
fi
LT="$PF/Kestrel E2E/Locked Two"
# silent_pw NAME ARGS...: a silent install of pw2-setup.exe; its exit code in $WORK/NAME.rc
silent_pw() {
  local name=$1
  shift
  rm -rf "$LT"
  timeout -k 5 120 $W "$(win "$PKG/pw2-setup.exe")" /S "$@" "/LOG=$(win "$WORK/$name.txt")" \
    >/dev/null 2>&1
  echo $? >"$WORK/$name.rc"
}
# Wine hands the process's exit code on to the shell modulo 256 (1603 arrives as 67)
check_rc() {
  if [ "$(cat "$WORK/$1.rc")" = "$(($2 % 256))" ]; then ok; else bad "$1: exit code $(cat "$WORK/$1.rc"), want $2"; fi
}
PWTEXT=$(head -n 1 "$WORK/password.txt")

silent_pw pwsilent-wrong "/PASSWORD=not the password"
check_rc pwsilent-wrong 1603
absent_file "$LT"
expect_prefix "$WORK/pwsilent-wrong.txt" "error: The password is not correct"
expect_prefix "$WORK/pwsilent-wrong.txt" "/PASSWORD=***"
if grep -q 'not the password' "$WORK/pwsilent-wrong.txt"; then bad "pwsilent-wrong: the password is in the log"; else ok; fi

silent_pw pwsilent-none
check_rc pwsilent-none 1603
absent_file "$LT"
expect_prefix "$WORK/pwsilent-none.txt" "error: The package is protected by a password"

silent_pw pwsilent-file "/PASSWORDFILE=$(win "$WORK/password.txt")"
check_rc pwsilent-file 0
for f in product.exe data/deep/er/random.bin; do
  if cmp -s "$SRC/app/$f" "$LT/$(basename "$f")"; then ok; else bad "pwsilent-file: $f differs"; fi
done
verify pwsilent-file-verify installed "$PKG/pw2-setup.exe" "$PFW\\Kestrel E2E\\Locked Two"

silent_pw pwsilent-right "/PASSWORD=$PWTEXT"
check_rc pwsilent-right 0
expect_prefix "$WORK/pwsilent-right.txt" "password accepted"
if grep -qF -- "$PWTEXT" "$WORK/pwsilent-right.txt"; then bad "pwsilent-right: the password is in the log"; else ok; fi
for f in product.exe data/deep/er/random.bin; do
  if cmp -s "$SRC/app/$f" "$LT/$(basename "$f")"; then ok; else bad "pwsilent-right: $f differs"; fi
done
