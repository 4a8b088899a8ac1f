#!/bin/sh
# Checks 70-nexir-ftdi.rules with `udevadm test`, without hardware and without touching
# the host: in a private mount namespace, tmpfs folders cover /sys, /run and /dev, and a
# fake sysfs holds two FT2232H chips (USB 0403:6010) with both interfaces bound to
# ftdi_sio: a NEXIR card (product string "KRO_NX|2.1") and another FT2232H, such as a
# JTAG probe or a dual serial port ("Dual RS232-HS"; PRODUCT names another string).
#
# Usage (as root): packaging/udev/simulate-rules.sh [path/to/udevadm]
# udevadm comes with Debian's udev package; where it is not installed,
#   apt-get download udev && dpkg -x udev_*.deb /tmp/udev
# gives /tmp/udev/bin/udevadm.
# Exits 0 when the card's node gets group plugdev, mode 0660 and the uaccess tag and a
# bind of each of its interfaces runs the unbind, and none of it happens to the other chip.
set -eu
if [ "${1:-}" != --inside ]; then
    udevadm=${1:-$(command -v udevadm || true)}
    [ -x "$udevadm" ] || { echo "udevadm not found; pass its path" >&2; exit 2; }
    rules=$(cd "$(dirname "$0")" && pwd)/70-nexir-ftdi.rules
    exec unshare -m "$0" --inside "$(realpath "$udevadm")" "$rules"
fi
udevadm=$2
rules=$3
other=${PRODUCT:-Dual RS232-HS}

mount -t tmpfs none /sys
mount -t tmpfs none /run
mount -t tmpfs none /dev
mknod -m 666 /dev/null c 1 3
mkdir -p /run/udev/rules.d && cp "$rules" /run/udev/rules.d/
mkdir -p /sys/bus/usb/drivers/usb /sys/bus/usb/drivers/ftdi_sio /sys/class /dev/bus/usb/001
# chip <port> <device number> <product string>: a made-up FT2232H at usb1/1-<port>.
chip() {
    dev=/sys/devices/pci0000:00/0000:00:14.0/usb1/1-$1
    mkdir -p "$dev"
    mknod -m 644 "/dev/bus/usb/001/00$2" c 189 "$(($2 - 1))"
    printf 'MAJOR=189\nMINOR=%s\nDEVNAME=bus/usb/001/00%s\nDEVTYPE=usb_device\nDRIVER=usb\n' "$(($2 - 1))" "$2" > "$dev/uevent"
    echo 0403 > "$dev/idVendor"
    echo 6010 > "$dev/idProduct"
    echo "$3" > "$dev/product"
    ln -s ../../../../bus/usb "$dev/subsystem"
    ln -s ../../../../bus/usb/drivers/usb "$dev/driver"
    for i in 0 1; do
        mkdir "$dev/1-$1:1.$i"
        printf 'DEVTYPE=usb_interface\nDRIVER=ftdi_sio\n' > "$dev/1-$1:1.$i/uevent"
        ln -s ../../../../../bus/usb "$dev/1-$1:1.$i/subsystem"
        ln -s ../../../../../bus/usb/drivers/ftdi_sio "$dev/1-$1:1.$i/driver"
    done
}
export SYSTEMD_DEVICE_VERIFY_SYSFS=0  # the fake sysfs is a tmpfs

failures=0
expect() {  # expect <yes|no> <what> <output> <fixed string>
    if printf '%s\n' "$3" | grep -qF -- "$4"; then found=yes; else found=no; fi
    if [ "$found" = "$1" ]; then echo "ok: $2: $found"; else echo "FAILED: $2: $found"; failures=$((failures + 1)); fi
}
# check <yes|no> <port> <device number> <product string>
check() {
    chip "$2" "$3" "$4"
    echo "$4 (1-$2):"
    out=$("$udevadm" test --action=add "$dev" 2>&1)
    printf '%s\n' "$out" | grep -iE 'invalid|error|ignoring' | grep -F 70-nexir && failures=$((failures + 1))
    expect "$1" "device node group plugdev, mode 0660" "$out" "uid=0, gid=$(getent group plugdev | cut -d: -f3), mode=0660"
    expect "$1" "uaccess tag" "$out" "run: 'uaccess'"
    for i in 0 1; do
        out=$("$udevadm" test --action=bind "$dev/1-$2:1.$i" 2>&1)
        expect "$1" "bind of 1-$2:1.$i unbinds ftdi_sio" "$out" \
            "run: '/bin/sh -c 'echo 1-$2:1.$i > /sys/bus/usb/drivers/ftdi_sio/unbind''"
        out=$("$udevadm" test --action=add "$dev/1-$2:1.$i" 2>&1)
        expect no "add of 1-$2:1.$i unbinds ftdi_sio" "$out" "ftdi_sio/unbind"
    done
}
check yes 2 2 "KRO_NX|2.1"
check no 3 3 "$other"
check no 4 4 "KRO_NX2.1"
[ "$failures" -eq 0 ] && echo "all checks passed" || { echo "$failures checks failed"; exit 1; }
