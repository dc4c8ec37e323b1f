#!/bin/sh
# Login program for a real busybox telnetd standing in for the unit: a "login:" prompt,
# a "$" shell prompt and a "tolvek" self-test. Commands are appended to $UNIT_LOG.
# Usage: busybox telnetd -F -b 192.168.1.178 -l standin/busybox_unit.sh
log=${UNIT_LOG:-/dev/null}
printf 'busybox unit\nlogin: '
read -r user
echo "login $user" >>"$log"
while :; do
  printf '$ '
  read -r cmd || exit 0
  echo "command $cmd" >>"$log"
  case $cmd in
    tolvek)
      printf 'SN BB0123456789\n'
      for t in RAM flash RTC eth; do printf 'test %s <PASSED>\n' "$t"; done
      printf 'tests completed\n' ;;
    exit) exit 0 ;;
    "date -s "*|"hwclock -w"|"") ;;
    *) printf 'sh: %s: not found\n' "$cmd" ;;
  esac
done
