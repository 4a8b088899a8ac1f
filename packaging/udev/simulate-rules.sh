#!/bin/sh
# Checks 70-nexir-ftdi.rules with `udevadm test` against a made-up FT2232H, without
# hardware and without touching the host: in a private mount namespace, tmpfs folders
# cover /sys, /run and /dev, and a fake sysfs holds one USB device (0403:6010, or the
# product id in $PRODUCT) with two interfaces bound to ftdi_sio.
#
# Usage (as root): packaging/udev/simulate-rules.sh [path/to/udevadm]
# udevadm comes with Debian's udev package; where it is not installed,
#   apt-get download udev && dpkg -x udev_*.deb /tmp/udev
# gives /tmp/udev/bin/udevadm.
# Exits 0 when the device node gets group plugdev, mode 0660 and the uaccess tag, and
# a bind of each interface runs the unbind; with another PRODUCT, when none of it happens.
set -eu
if [ "${1:-}" != --inside ]; then
    udevadm=${1:-$(command -v udevadm || true)}
    [ -x "$udevadm" ] || { echo "udevadm not found; pass its path" >&2; exit 2; }
    rules=$(cd "$(dirname "$0")" && pwd)/70-nexir-ftdi.rules
    exec unshare -m "$0" --inside "$(realpath "$udevadm")" "$rules"
fi
udevadm=$2
rules=$3
product=${PRODUCT:-6010}

mount -t tmpfs none /sys
mount -t tmpfs none /run
mount -t tmpfs none /dev
mknod -m 666 /dev/null c 1 3
mkdir -p /dev/bus/usb/001 && mknod -m 644 /dev/bus/usb/001/002 c 189 1
mkdir -p /run/udev/rules.d && cp "$rules" /run/udev/rules.d/
mkdir -p /sys/bus/usb/drivers/usb /sys/bus/usb/drivers/ftdi_sio /sys/class
dev=/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2
mkdir -p "$dev"
printf 'MAJOR=189\nMINOR=1\nDEVNAME=bus/usb/001/002\nDEVTYPE=usb_device\nDRIVER=usb\n' > "$dev/uevent"
echo 0403 > "$dev/idVendor"
echo "$product" > "$dev/idProduct"
ln -s ../../../../bus/usb "$dev/subsystem"
ln -s ../../../../bus/usb/drivers/usb "$dev/driver"
for i in 0 1; do
    mkdir "$dev/1-2:1.$i"
    printf 'DEVTYPE=usb_interface\nDRIVER=ftdi_sio\n' > "$dev/1-2:1.$i/uevent"
    ln -s ../../../../../bus/usb "$dev/1-2:1.$i/subsystem"
    ln -s ../../../../../bus/usb/drivers/ftdi_sio "$dev/1-2:1.$i/driver"
done
export SYSTEMD_DEVICE_VERIFY_SYSFS=0  # the fake sysfs is a tmpfs

failures=0
expect() {  # expect <yes|no> <what> <output> <fixed string>
    if printf '%s\n' "$3" | grep -qF -- "$4"; then found=yes; else found=no; fi
    if [ "$found" = "$1" ]; then echo "ok: $2: $found"; else echo "FAILED: $2: $found"; failures=$((failures + 1)); fi
}
want=yes
[ "$product" = 6010 ] || want=no

out=$("$udevadm" test --action=add "$dev" 2>&1)
printf '%s\n' "$out" | grep -iE 'invalid|error|ignoring' | grep -F 70-nexir && failures=$((failures + 1))
expect "$want" "device node group plugdev, mode 0660" "$out" "uid=0, gid=$(getent group plugdev | cut -d: -f3), mode=0660"
expect "$want" "uaccess tag" "$out" "run: 'uaccess'"
for i in 0 1; do
    out=$("$udevadm" test --action=bind "$dev/1-2:1.$i" 2>&1)
    expect "$want" "bind of 1-2:1.$i unbinds ftdi_sio" "$out" \
        "run: '/bin/sh -c 'echo 1-2:1.$i > /sys/bus/usb/drivers/ftdi_sio/unbind''"
    out=$("$udevadm" test --action=add "$dev/1-2:1.$i" 2>&1)
    expect no "add of 1-2:1.$i unbinds ftdi_sio" "$out" "ftdi_sio/unbind"
done
[ "$failures" -eq 0 ] && echo "all checks passed" || { echo "$failures checks failed"; exit 1; }
