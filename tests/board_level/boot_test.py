#!/usr/bin/env python3
"""A show that starts itself, under a real systemd.

Makes a Debian 12 root file system with mmdebstrap (systemd as PID 1, udev),
boots it with Debian's own kernel under qemu-system-x86_64 with QEMU's
emulated FTDI adapter on an xHCI bus, installs the package with dpkg -i,
enables orvplayer@show.txt the way the README says and checks, across three
boots:

- the adapter plugged in 10 s after boot: the show plays, byte for byte;
- the adapter present at boot: the show plays;
- the adapter unplugged mid-show: the unit fails, and the journal holds
  "couldn't write to serial" at error priority;
- no adapter: the unit fails after the device wait, with its message;
- a show whose file name holds a '-', enabled with systemd-escape;
- the unit's exposure as systemd-analyze security rates it;
- dpkg --purge leaves no unit, link or settings behind.

The root file system and the kernel are cached in the cache folder given.
"""

import argparse
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import board_test as board  # noqa: E402  (the same downloads and monitor)

board.ARCHES["amd64"] = {
    "kernel": "linux-image-amd64",
    "qemu": ["qemu-system-x86_64", "-M", "q35", "-cpu", "max"],
    "console": "ttyS0",
}

UPLOAD = "/home/yot/media/upload/"
# Short for the test; the package's default is in /etc/default/orvplayer.
DEVICE_WAIT = 20
MAX_EXPOSURE = 1.0

SHOWS = {
    "show.txt": board.numbered(20, 100, 30),
    "act-1.txt": board.show([(0, b"ACT ONE\r\n"), (0x64, b"CURTAIN\r\n")]),
    "long.txt": board.numbered(200, 100, 20),
}

# Stands in for a person at the board's shell: a root shell on the second
# serial port, started once the system is up. The port stays open from the
# first byte on: a serial port that nobody holds open drops what comes in.
AGENT = """[Unit]
Description=boot test agent
After=multi-user.target

[Service]
ExecStart=/bin/sh -c 'exec </dev/ttyS1 >/dev/ttyS1 2>&1; stty raw -echo; echo @@BOOTED; \
exec env PS1= PS2= /bin/sh -s'
# An interactive shell ignores SIGTERM: without this, every reboot would
# wait out systemd's stop timeout (90 s).
KillSignal=SIGKILL

[Install]
WantedBy=multi-user.target
"""

INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t devtmpfs dev /dev
for module in $(cat /modules.order); do insmod /$module; done
for i in $(seq 100); do [ -b /dev/vda ] && break; sleep 0.1; done
mount -o rw /dev/vda /newroot
umount /proc
exec switch_root /newroot /sbin/init
"""


def log(text):
    print(text, flush=True)


def root_filesystem(cache):
    """A Debian 12 base system with systemd and udev, as a tarball (once)."""
    tarball = cache / "bookworm-systemd.tar"
    if not tarball.exists():
        subprocess.run(["mmdebstrap", "--variant=minbase", "--quiet",
                        "--include=systemd-sysv,udev,kmod", "bookworm",
                        str(tarball) + ".tmp.tar"], check=True)
        (Path(str(tarball) + ".tmp.tar")).rename(tarball)
    return tarball


def make_disk(work, tarball, modules_dir, deb):
    """The guest's disk: the base system, the kernel's modules, the test's
    agent and shows, and the package to install."""
    root = work / "root"
    if root.exists():
        shutil.rmtree(root)
    root.mkdir(parents=True)
    subprocess.run(["tar", "-xf", str(tarball), "-C", str(root)], check=True)
    version = modules_dir.name
    shutil.copytree(modules_dir, root / "lib" / "modules" / version, symlinks=True)
    subprocess.run(["chroot", str(root), "depmod", version], check=True)
    (root / "etc" / "fstab").write_text("/dev/vda / ext4 rw 0 1\n")
    (root / "etc" / "hostname").write_text("board\n")
    agent = root / "etc" / "systemd" / "system" / "orv-agent.service"
    agent.write_text(AGENT)
    wants = root / "etc" / "systemd" / "system" / "multi-user.target.wants"
    wants.mkdir(parents=True, exist_ok=True)
    (wants / "orv-agent.service").symlink_to("/etc/systemd/system/orv-agent.service")
    # The show's owner, whose home (as on Debian 12) only they may enter.
    subprocess.run(["chroot", str(root), "useradd", "--create-home", "yot"], check=True)
    (root / "home" / "yot").chmod(0o700)
    upload = root / UPLOAD.strip("/")
    upload.mkdir(parents=True)
    for name, (text, _) in SHOWS.items():
        (upload / name).write_bytes(text)
    subprocess.run(["chroot", str(root), "chown", "-R", "yot:yot", "/home/yot"], check=True)
    shutil.copy(deb, root / "root" / "orvplayer.deb")
    disk = work / "disk.img"
    subprocess.run(["mkfs.ext4", "-q", "-F", "-d", str(root), str(disk), "2G"], check=True)
    shutil.rmtree(root)
    return disk


def make_initramfs(work, modules_dir, busybox):
    """Just enough to mount the disk and start systemd on it."""
    root = work / "initramfs"
    if root.exists():
        shutil.rmtree(root)
    for folder in ("bin", "proc", "dev", "newroot"):
        (root / folder).mkdir(parents=True)
    shutil.copy(busybox, root / "bin" / "busybox")
    # ext4 asks the crypto API for crc32c, which no modprobe here can load.
    board.copy_modules(root, modules_dir, ["virtio_pci", "virtio_blk", "crc32c_generic", "ext4"])
    return board.pack_initramfs(root, INIT, work / "initramfs.cpio.gz")


class System(board.Board):
    """The booted Debian system: its agent's shell, its monitor, and the far
    end of the FTDI adapter."""

    def __init__(self, work, kernel, initramfs, disk, adapter_at_boot):
        self.work = work
        self.qmp_path = work / "qmp.sock"
        self.ftdi_path = work / "ftdi.sock"
        for path in (self.qmp_path, self.ftdi_path):
            if path.exists():
                path.unlink()
        command = board.ARCHES["amd64"]["qemu"] + [
            "-m", "1024", "-smp", "1", "-nographic", "-no-reboot",
            "-kernel", str(kernel), "-initrd", str(initramfs),
            "-append", "console=ttyS0 rdinit=/init quiet panic=-1",
            "-drive", f"file={disk},if=virtio,format=raw",
            "-device", "qemu-xhci,id=xhci",
            "-chardev", f"socket,id=ftdi,path={self.ftdi_path},server=on,wait=off",
            "-qmp", f"unix:{self.qmp_path},server=on,wait=off",
            "-serial", f"file:{work / 'console.log'}", "-serial", "stdio", "-monitor", "none",
        ]
        if adapter_at_boot:
            command += ["-device", "usb-serial,chardev=ftdi,bus=xhci.0,id=ftdi0"]
        self.start(command)
        self.ftdi_plugged = adapter_at_boot


class Failed(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failed(what)


class BootTest:
    def __init__(self, work, kernel, initramfs, disk):
        self.work = work
        self.kernel = kernel
        self.initramfs = initramfs
        self.disk = disk
        self.system = None
        self.failures = 0
        self.figures = []

    def boot(self, adapter_at_boot):
        if self.system is not None:
            self.system.send("systemctl reboot")
            self.system.qemu.wait(timeout=300)
        began = time.monotonic()
        self.system = System(self.work, self.kernel, self.initramfs, self.disk,
                             adapter_at_boot)
        self.system.boot(timeout=600)
        # The shell may miss the first bytes sent while it starts.
        for _ in range(5):
            try:
                if self.sh("echo @@READY", 30)[-1:] == ["@@READY"]:
                    break
            except TimeoutError:
                pass
        self.figures.append(f"boot took {time.monotonic() - began:.0f} s")
        return began

    def sh(self, command, timeout=120):
        return self.system.shell(command, timeout)

    def unit_state(self, unit):
        lines = self.sh(f"systemctl show -p ActiveState -p Result {unit}")
        return dict(line.split("=", 1) for line in lines if "=" in line)

    def wait_until(self, what, condition, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if condition():
                return
            time.sleep(1)
        raise Failed(f"{what}: not within {timeout} s")

    def adapter_bytes(self, expected, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.system.ftdi_lock:
                if len(self.system.ftdi_bytes) >= len(expected):
                    break
            time.sleep(0.2)
        return self.system.take_ftdi()

    def errors_of(self, unit):
        return self.sh(f"journalctl -b -u {unit} -p err -o cat --no-pager")

    def scenario(self, name, body):
        began = time.monotonic()
        try:
            body()
            verdict = "ok"
        except (Failed, TimeoutError) as failure:
            verdict = f"FAILED: {failure}"
            self.failures += 1
        log(f"boot {name}: {verdict} ({time.monotonic() - began:.1f} s)")

    # The scenarios, in the order a person would meet them.

    def install(self):
        lines = self.sh("dpkg -i /root/orvplayer.deb >/dev/null 2>&1; echo status=$?")
        check(lines[-1:] == ["status=0"], f"dpkg -i: {lines}")
        # The test's device wait is shorter than the package's default.
        self.sh(f"sed -i 's/^ORVPLAYER_DEVICE_WAIT=.*/ORVPLAYER_DEVICE_WAIT={DEVICE_WAIT}/' "
                "/etc/default/orvplayer")
        # As the README says: enable the show, to play at every boot.
        self.sh("systemctl enable orvplayer@show.txt 2>/dev/null")
        lines = self.sh("systemctl is-enabled orvplayer@show.txt")
        check(lines == ["enabled"], f"is-enabled: {lines}")

    def exposure(self):
        lines = self.sh("systemd-analyze security --no-pager orvplayer@show.txt.service "
                        "| tail -1")
        found = re.search(r"exposure level for \S+: (\d+\.\d+)", " ".join(lines))
        check(found is not None, f"no exposure level in {lines}")
        score = float(found.group(1))
        self.figures.append(f"systemd-analyze security: exposure {score}")
        check(score <= MAX_EXPOSURE, f"exposure {score} above {MAX_EXPOSURE}")

    def adapter_plugged_after_boot(self, booted_at):
        time.sleep(max(0.0, booted_at + 10 - time.monotonic()))
        self.system.plug_ftdi(wait=False)
        expected = SHOWS["show.txt"][1]
        got = self.adapter_bytes(expected)
        check(got == expected, f"received {len(got)} of {len(expected)} bytes")
        self.wait_until("the show's end", lambda: self.unit_state("orvplayer@show.txt")
                        .get("ActiveState") == "inactive", 60)
        state = self.unit_state("orvplayer@show.txt")
        check(state.get("Result") == "success", f"unit: {state}")

    def adapter_present_at_boot(self):
        expected = SHOWS["show.txt"][1]
        got = self.adapter_bytes(expected)
        check(got == expected, f"received {len(got)} of {len(expected)} bytes")

    def unplugged_mid_show(self):
        self.sh("systemctl start --no-block orvplayer@long.txt")
        time.sleep(3)
        self.system.unplug_ftdi(wait=False)
        self.wait_until("the unit's failure", lambda: self.unit_state("orvplayer@long.txt")
                        .get("ActiveState") == "failed", 60)
        errors = self.errors_of("orvplayer@long.txt")
        check("couldn't write to serial" in errors, f"journal at error priority: {errors}")
        received = self.system.take_ftdi()
        check(SHOWS["long.txt"][1].startswith(received), "bytes out of order")

    def no_adapter(self):
        self.system.unplug_ftdi(wait=False)
        self.sh("for i in $(seq 100); do [ -e /dev/ttyUSB0 ] || break; sleep 0.1; done")
        began = time.monotonic()
        self.sh("systemctl start --no-block orvplayer@show.txt")
        self.wait_until("the unit's failure", lambda: self.unit_state("orvplayer@show.txt")
                        .get("ActiveState") == "failed", DEVICE_WAIT + 60)
        waited = time.monotonic() - began
        self.figures.append(f"no adapter: failed after {waited:.0f} s "
                            f"(wait set to {DEVICE_WAIT} s)")
        check(waited >= DEVICE_WAIT, f"failed after {waited:.0f} s")
        errors = self.errors_of("orvplayer@show.txt")
        check(any("no serial device" in line for line in errors),
              f"journal at error priority: {errors}")

    def name_with_a_dash(self):
        self.system.plug_ftdi()
        # As the README says: systemd-escape keeps the '-' a '-'.
        self.sh("systemctl enable --now \"orvplayer@$(systemd-escape act-1.txt)\" 2>/dev/null")
        expected = SHOWS["act-1.txt"][1]
        got = self.adapter_bytes(expected)
        check(got == expected, f"received {got!r}")

    def purge(self):
        lines = self.sh("dpkg --purge orvplayer >/dev/null 2>&1; echo status=$?; "
                        "ls /etc/systemd/system/*.wants /lib/systemd/system /etc/default "
                        "/usr/lib/systemd/system 2>/dev/null | grep -i orvplayer; "
                        "ls /etc/systemd/system | grep -i orvplayer; true")
        check(lines[:1] == ["status=0"], f"dpkg --purge: {lines}")
        check(lines[1:] == [], f"left behind: {lines[1:]}")

    def run(self):
        self.boot(adapter_at_boot=False)
        self.scenario("install and enable", self.install)
        self.scenario("exposure", self.exposure)
        booted_at = self.boot(adapter_at_boot=False)
        self.scenario("adapter plugged in 10 s after boot",
                      lambda: self.adapter_plugged_after_boot(booted_at))
        self.scenario("adapter unplugged mid-show", self.unplugged_mid_show)
        self.scenario("no adapter", self.no_adapter)
        self.boot(adapter_at_boot=True)
        self.scenario("adapter present at boot", self.adapter_present_at_boot)
        self.scenario("a name with a dash", self.name_with_a_dash)
        self.scenario("purge", self.purge)
        self.system.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--deb", type=Path, required=True, help="the amd64 package")
    parser.add_argument("--cache", type=Path, required=True)
    parser.add_argument("--work", type=Path, required=True)
    args = parser.parse_args()
    started = time.monotonic()
    args.work.mkdir(parents=True, exist_ok=True)
    cache = args.cache.resolve()
    kernel, modules_dir, busybox = board.fetch("amd64", cache)
    tarball = root_filesystem(cache)
    disk = make_disk(args.work, tarball, modules_dir, args.deb)
    initramfs = make_initramfs(args.work, modules_dir, busybox)
    log(f"boot: system ready to boot after {time.monotonic() - started:.0f} s")
    test = BootTest(args.work, kernel, initramfs, disk)
    try:
        test.run()
    finally:
        if test.system is not None:
            test.system.stop()
    for figure in test.figures:
        log(f"boot figure: {figure}")
    log(f"boot: {test.failures} failed, in {time.monotonic() - started:.0f} s")
    return 1 if test.failures else 0


if __name__ == "__main__":
    sys.exit(main())
