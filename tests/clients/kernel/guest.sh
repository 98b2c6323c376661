#!/bin/busybox sh
# /init of the kernel client test's machine. For each line of /plan,
#     CASE ADDRESS SHARE CHECKS MOUNT-OPTIONS
# it mounts //ADDRESS/SHARE on /mnt, runs the comma-separated CHECKS,
# unmounts and reports what the kernel logged meanwhile. Every command's
# outcome goes to the second serial port, where the host judges it:
#     R CASE NAME EXIT-STATUS      then, for each line it printed,
#     O CASE NAME LINE
# Then it writes "E done" and powers off. Each command is killed after $LIMIT
# seconds.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
export LANG=C.UTF-8 PATH=/bin:/sbin
LIMIT=120
for m in $(cat /lib/modules/modules.load); do
  insmod "/lib/modules/$m" || echo "insmod $m failed"
done
ip link set lo up
ip link set eth0 up
ip addr add 10.0.2.15/24 dev eth0
exec 3>/dev/ttyS1

check() {  # check NAME COMMAND...
  name=$1
  shift
  timeout -s KILL "$LIMIT" "$@" >/tmp/out 2>&1
  echo "R $CASE $name $?" >&3
  while IFS= read -r line; do echo "O $CASE $name $line" >&3; done </tmp/out
}

# Every way of changing the share, each expected to be refused; then the
# mount must still answer.
writes() {
  check w.create sh -c 'echo x >/mnt/created.txt'
  check w.append sh -c 'echo x >>/mnt/hello.txt'
  check w.truncate truncate -s 0 /mnt/hello.txt
  check w.mkdir mkdir /mnt/newdir
  check w.rm rm -f /mnt/hello.txt
  check w.rmdir rmdir /mnt/empty
  check w.rename mv /mnt/hello.txt /mnt/renamed.txt
  check w.link ln /mnt/hello.txt /mnt/linked.txt
  check w.symlink ln -s hello.txt /mnt/symlinked.txt
  check w.touch touch /mnt/hello.txt
  check w.touchnew touch /mnt/touched.txt
  check after.ls ls /mnt
  check after.md5 md5sum /mnt/hello.txt
}

# ---- Live folder: a file the host adds shows up in a fresh listing ----
# busybox has no inotifywait and this kernel's cifs raises no inotify events
# for changes made on the server, so the guest lists /mnt/docs, says so on the
# results port ("N CASE listed", which the host waits for before it creates
# NAME in that folder) and lists again, once a second, until NAME appears.
FRESH_TRIES=60
fresh() {  # fresh NAME
  check fresh.before ls /mnt/docs
  echo "N $CASE listed" >&3
  tries=0
  while [ "$tries" -lt "$FRESH_TRIES" ] && ! ls /mnt/docs | grep -qxF "$1"; do
    sleep 1
    tries=$((tries + 1))
  done
  check fresh.after ls /mnt/docs
}
# ---- end of the live folder block ----

# ---- Names SMB cannot carry (the "names" share) ----
# Every file below /mnt as "MD5 HEX-OF-PATH": the name in hex, so control
# characters and final spaces reach the host intact.
names() {
  check names sh -c 'find /mnt -type f | sort | while IFS= read -r f; do
    echo "$(md5sum <"$f" | cut -d" " -f1) $(printf %s "$f" | od -An -tx1 | tr -d " \n")"; done'
}
# ---- end of names ----

run_check() {  # one entry of CHECKS: ls, stat, df, writes, md5=F, cat=F, dd=F, fresh=F, hold or - (none)
  case "$1" in
    hold) check hold sleep 3 ;;
    names) names ;;
    ls) check ls.root ls -la /mnt; check ls.sub ls -la /mnt/docs ;;
    stat) check stat sh -c 'stat -c "%s|%F|%n" /mnt/* /mnt/docs/*' ;;
    df) check df df -k /mnt ;;
    writes) writes ;;
    md5=*) check "$1" md5sum "/mnt/${1#md5=}" ;;
    cat=*) check "$1" sh -c 'cat "$0" | md5sum' "/mnt/${1#cat=}" ;;
    dd=*) check "$1" sh -c 'dd if="$0" bs=1M 2>/dev/null | md5sum' "/mnt/${1#dd=}" ;;
    fresh=*) fresh "${1#fresh=}" ;;
    -) ;;
    *) echo "R $CASE $1 unknown" >&3 ;;
  esac
}

dmesg -c >/dev/null
while read -r CASE address share checks options; do
  check mount mount -t cifs "//$address/$share" /mnt -o "$options"
  if grep -q ' /mnt ' /proc/mounts; then
    for c in $(echo "$checks" | tr , ' '); do run_check "$c"; done
    check umount umount /mnt
  fi
  check kernel-log dmesg -c
done </plan
echo "E done" >&3
poweroff -f
