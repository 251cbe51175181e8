# Packages protected by a password, end to end: sourced by run.sh after install_scenarios.sh, whose
# product tree, packer and helpers (packit, install, verify) it uses.
if [ -z "${PACK:-}" ]; then
  echo "skipped: password scenarios need kestrel-pack"
  return 0
fi
tp=$(date +%s)

# A password with characters outside ASCII and outside the 8-bit code page, so the page's UTF-16
# text must reach the derivation as the same UTF-8 bytes the packer read from the file.
printf 'Kestrel-Paß-Ω 7\n' >"$WORK/password.txt"
# each product its own main program: one name registered by two products is refused
cp "$SRC/app/product.exe" "$SRC/app/locked.exe"
cp "$SRC/app/product.exe" "$SRC/app/locked2.exe"
cat >"$SRC/app/locked.toml" <<'EOF'
displayname = "E2E Locked"
exename = "locked.exe"
installfolder = "Kestrel E2E\\Locked"
licence = "licence.txt"
[[files]]
source = "locked.exe"
[[files]]
source = "product.exe"
[[files]]
source = "readme.txt"
[[files]]
source = "data"
subfolder = "data"
[[files]]
source = "docs/guide.txt"
subfolder = "docs"
EOF
cat >"$SRC/app/locked2.toml" <<'EOF'
displayname = "E2E Locked Two"
exename = "locked2.exe"
installfolder = "Kestrel E2E\\Locked Two"
[[files]]
source = "locked2.exe"
[[files]]
source = "product.exe"
[[files]]
source = "data/deep/er/random.bin"
EOF
packit "$SRC/app/locked.toml" "$PKG/pw-setup.exe" --password-file "$WORK/password.txt"
packit "$SRC/app/locked2.toml" "$PKG/pw2-setup.exe" --password-file "$WORK/password.txt"
PWFILE=$(win "$WORK/password.txt")

# ---- 30. the password page after the licence: a wrong password, then the right one --------
KDRV_PASSWORD_FILE=$PWFILE KDRV_WRONG_PASSWORD=wrong-guess install password "$PKG/pw-setup.exe"
L=$WORK/password.log
grep '^page \|^click \|^refused \|^password \|^selection=\|^typed \|^box ' "$L" >"$WORK/password-nav.txt"
cat >"$WORK/password-nav.want" <<'EOF'
page welcomepage back=dis next=en finish=hid cancel=en
click next
page licensepage back=en next=dis finish=hid cancel=en
click agree
page licensepage back=en next=en finish=hid cancel=en
click next
page passwordpage back=en next=dis finish=hid cancel=en
password focus=1
typed length=11
page passwordpage back=en next=en finish=hid cancel=en
click next
box caption=Error
box text=The password is not correct. Please check it and try again.
page passwordpage back=en next=en finish=hid cancel=en
selection=0,11 length=11
password focus=1
typed length=15
click back
page licensepage back=en next=en finish=hid cancel=en
click next
page passwordpage back=en next=en finish=hid cancel=en
click next
password accepted=1
EOF
n=$(wc -l <"$WORK/password-nav.want")
if head -n "$n" "$WORK/password-nav.txt" | diff -q - "$WORK/password-nav.want" >/dev/null; then ok; else
  bad "password: the page's walk differs: $(head -n "$n" "$WORK/password-nav.txt" | diff - "$WORK/password-nav.want" | head -n 6 | tr '\n' ' ')"
fi
expect "$L" "text passwordtitle=Password"
expect "$L" "text passwordlabel=The files of E2E Locked are protected by a password. Please enter the password you were given to continue."
expect "$L" "text passwordprompt=Password:"
expect "$L" "text clicknext3=Click 'Next' to continue."
expect "$L" "ctl passwordpage vis=1 en=1 rect=4,4,482,306"
expect "$L" "ctl passwordtitle vis=1 en=1 rect=147,16,300,13"
expect "$L" "ctl passwordlabel vis=1 en=1 rect=147,64,319,40"
expect "$L" "ctl passwordprompt vis=1 en=1 rect=147,116,319,13"
expect "$L" "ctl password vis=1 en=1 rect=147,133,246,21"
expect "$L" "ctl clicknext3 vis=1 en=1 rect=147,277,319,26"
expect "$L" "ctl Image5 vis=1 en=1 rect=0,0,131,306"
# Back from the destination page returns to the password page, Next still enabled
grep -A 3 '^password check ms=' "$L" | grep -q '^page passwordpage back=en next=en' && ok ||
  bad "password: Back from the destination page did not show the password page"
expect "$L" "page finishpage back=dis next=hid finish=en cancel=dis"
expect "$L" "exit=0"
check_picture password-password 13 31
for f in product.exe readme.txt data/deep/er/random.bin data/numbers.txt data/empty.txt docs/guide.txt; do
  if cmp -s "$SRC/app/$f" "$PF/Kestrel E2E/Locked/$f"; then ok; else bad "password: $f differs"; fi
done
verify password-verify installed "$PKG/pw-setup.exe" "$PFW\\Kestrel E2E\\Locked"
echo "password: $(grep '^password check ms=' "$L" | head -n 1) (from Next to the destination page)"

# ---- 31. at 144 DPI, without a licence: the page follows the welcome page -----------------
$W reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
KDRV_PASSWORD_FILE=$PWFILE install password144 "$PKG/pw2-setup.exe"
$W reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1
L=$WORK/password144.log
grep '^page \|^click \|^password accepted' "$L" | head -n 8 >"$WORK/password144-nav.txt"
cat >"$WORK/password144-nav.want" <<'EOF'
page welcomepage back=dis next=en finish=hid cancel=en
click next
page passwordpage back=en next=dis finish=hid cancel=en
click back
page welcomepage back=dis next=en finish=hid cancel=en
click next
page passwordpage back=en next=en finish=hid cancel=en
click next
EOF
if diff -q "$WORK/password144-nav.txt" "$WORK/password144-nav.want" >/dev/null; then ok; else
  bad "password144: the walk differs: $(diff "$WORK/password144-nav.txt" "$WORK/password144-nav.want" | head -n 6 | tr '\n' ' ')"
fi
expect "$L" "password accepted=1"
expect "$L" "ctl passwordtitle vis=1 en=1 rect=221,24,450,20"
expect "$L" "ctl passwordlabel vis=1 en=1 rect=221,96,478,60"
expect "$L" "ctl password vis=1 en=1 rect=221,200,368,32"
expect "$L" "ctl Image5 vis=1 en=1 rect=0,0,197,459"
expect "$L" "page finishpage back=dis next=hid finish=en cancel=dis"
expect "$L" "exit=0"
for f in product.exe data/deep/er/random.bin; do
  b=$(basename "$f")
  if cmp -s "$SRC/app/$f" "$PF/Kestrel E2E/Locked Two/$b"; then ok; else bad "password144: $b differs"; fi
done
for png in password-password password-password-typed password-password-wrong password-password-selected \
  password144-password; do
  if [ -s "$ART/$png.png" ]; then ok; else bad "no screenshot $png.png"; fi
done

echo "password scenarios: $(($(date +%s) - tp)) s"
