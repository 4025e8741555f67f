#!/usr/bin/env python3
"""The player on real Linux serial drivers.

Boots Debian's own ARM kernel under qemu-system-arm (or -aarch64) with a
small initramfs (busybox, the kernel's USB modules, the player builds under
test and a guest-side helper), and plays shows to two kinds of device:

- /dev/ttyUSB0: QEMU's emulated FTDI adapter (ftdi_sio on an xHCI bus). Its
  far end is a socket on this machine, where every byte is compared, and
  QEMU's monitor plugs and unplugs it.
- /dev/ttyACM0: a CDC ACM gadget inside the guest (g_serial on dummy_hcd,
  with cdc_acm as the host-side driver). The guest helper is the device at
  its far end: it reads, stops reading, pauses or talks back.

Each scenario checks the player's exact output, its exit status and the
bytes the device received. Downloads (kernel and busybox packages) are
cached in the cache folder given.
"""

import argparse
import json
import os
import queue
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

UPLOAD = "/home/yot/media/upload/"
MODULES = ["xhci-pci", "ftdi_sio", "dummy_hcd", "usb_f_acm", "g_serial", "cdc-acm"]

ARCHES = {
    "armhf": {
        "kernel": "linux-image-armmp",
        "qemu": ["qemu-system-arm", "-M", "virt,highmem=off", "-cpu", "cortex-a15"],
        "console": "ttyAMA0",
    },
    "arm64": {
        "kernel": "linux-image-arm64",
        "qemu": ["qemu-system-aarch64", "-M", "virt", "-cpu", "cortex-a72"],
        "console": "ttyAMA0",
    },
}


def log(text):
    print(text, flush=True)


# ---------------------------------------------------------------- downloads

def apt_download(package, folder):
    """Downloads a package into folder (once) and returns its .deb."""
    name, _, arch = package.partition(":")
    found = sorted(folder.glob(f"{name}_*_{arch}.deb"))
    if found:
        return found[-1]
    # As root, apt's download user cannot write here; download as root.
    subprocess.run(["apt-get", "-q", "-o", "APT::Sandbox::User=root", "download", package],
                   cwd=folder, check=True, stdout=subprocess.DEVNULL)
    return sorted(folder.glob(f"{name}_*_{arch}.deb"))[-1]


def fetch(arch, cache):
    """The kernel image package and busybox for arch, unpacked in cache."""
    cache.mkdir(parents=True, exist_ok=True)
    meta = apt_download(f"{ARCHES[arch]['kernel']}:{arch}", cache)
    depends = subprocess.run(["dpkg-deb", "-f", str(meta), "Depends"], check=True,
                             capture_output=True, text=True).stdout
    image = re.match(r"\s*(linux-image-[^\s,(]+)", depends).group(1)
    unpacked = {}
    for package in (f"{image}:{arch}", f"busybox-static:{arch}"):
        deb = apt_download(package, cache)
        target = cache / deb.stem
        if not target.exists():
            subprocess.run(["dpkg-deb", "-x", str(deb), str(target) + ".tmp"], check=True)
            os.rename(str(target) + ".tmp", target)
        unpacked[package.split(":")[0]] = target
    kernel_root = unpacked[image]
    kernel = next((kernel_root / "boot").glob("vmlinuz-*"))
    modules = next((kernel_root / "lib" / "modules").iterdir())
    busybox = unpacked["busybox-static"] / "bin" / "busybox"
    return kernel, modules, busybox


# ---------------------------------------------------------------- initramfs

def module_depends(ko):
    """The modules a .ko file names as its dependencies."""
    out = subprocess.run(["readelf", "-p", ".modinfo", str(ko)], check=True,
                         capture_output=True, text=True).stdout
    found = re.search(r"depends=(\S*)", out)
    return [name for name in found.group(1).split(",") if name] if found else []


def module_order(modules_dir, wanted):
    """The .ko files for wanted and what they depend on, dependencies first."""
    by_name = {ko.name[:-3].replace("-", "_"): ko
               for ko in (modules_dir / "kernel").rglob("*.ko")}
    order = []

    def visit(name):
        ko = by_name[name.replace("-", "_")]
        for dependency in module_depends(ko):
            visit(dependency)
        path = str(ko.relative_to(modules_dir))
        if path not in order:
            order.append(path)

    for name in wanted:
        visit(name)
    return order


def elf_needs(program, sysroot):
    """Shared libraries (with the loader) a dynamic program needs, from sysroot."""
    out = subprocess.run(["readelf", "-d", "-l", str(program)], check=True,
                         capture_output=True, text=True).stdout
    wanted = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)
    loader = re.findall(r"Requesting program interpreter: ([^\]]+)\]", out)
    found = {}
    for name in wanted:
        for folder in ("lib", "usr/lib"):
            candidate = sysroot / folder / name
            if candidate.exists():
                found[name] = candidate
                found.update(elf_needs(candidate, sysroot))
                break
        else:
            raise SystemExit(f"{program}: cannot find {name} under {sysroot}")
    for path in loader:
        found[path] = sysroot / "lib" / Path(path).name
    return found


INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t configfs none /sys/kernel/config 2>/dev/null
echo 1 > /proc/sys/kernel/printk
for module in $(cat /modules.order); do insmod /$module || echo "@@INSMOD failed $module"; done
mkdir -p /tmp
stty -F /dev/console -echo -onlcr
export PATH=/bin PS1= PS2=
echo "@@BOOTED"
exec sh </dev/console >/dev/console 2>&1
"""


def make_initramfs(work, arch_info, modules_dir, busybox, programs, libraries, shows):
    """Builds work/initramfs.cpio.gz and returns its path."""
    root = work / "root"
    if root.exists():
        shutil.rmtree(root)
    for folder in ("bin", "proc", "sys", "dev", "tmp", "shows", UPLOAD.strip("/")):
        (root / folder).mkdir(parents=True, exist_ok=True)
    shutil.copy(busybox, root / "bin" / "busybox")
    order = module_order(modules_dir, MODULES)
    for path in order:
        target = root / "modules" / Path(path).name
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(modules_dir / path, target)
    (root / "modules.order").write_text("".join(f"modules/{Path(p).name}\n" for p in order))
    for name, path in programs.items():
        shutil.copy(path, root / "bin" / name)
    for inside, path in libraries.items():
        target = root / inside.lstrip("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(path, target)
    for name, (file_bytes, expected) in shows.items():
        (root / UPLOAD.strip("/") / name).write_bytes(file_bytes)
        (root / "shows" / (name + ".expected")).write_bytes(expected)
    init = root / "init"
    init.write_text(INIT)
    init.chmod(0o755)
    image = work / "initramfs.cpio.gz"
    files = subprocess.run(["find", "."], cwd=root, check=True, capture_output=True).stdout
    cpio = subprocess.run(["cpio", "-o", "-H", "newc", "--quiet", "-R", "0:0"], cwd=root,
                          input=files, check=True, capture_output=True).stdout
    subprocess.run(["gzip", "-1", "-c"], input=cpio, check=True,
                   stdout=image.open("wb"))
    return image


# ---------------------------------------------------------------- the board

class Board:
    """A booted guest: its console, its monitor, and the FTDI socket's far end."""

    def __init__(self, work, arch_info, kernel, initramfs):
        self.work = work
        self.qmp_path = work / "qmp.sock"
        self.ftdi_path = work / "ftdi.sock"
        for path in (self.qmp_path, self.ftdi_path):
            if path.exists():
                path.unlink()
        command = arch_info["qemu"] + [
            "-m", "256", "-smp", "1", "-nographic", "-no-reboot",
            "-kernel", str(kernel), "-initrd", str(initramfs),
            "-append", f"console={arch_info['console']} rdinit=/init quiet loglevel=1 panic=-1",
            "-device", "qemu-xhci,id=xhci",
            "-chardev", f"socket,id=ftdi,path={self.ftdi_path},server=on,wait=off",
            "-qmp", f"unix:{self.qmp_path},server=on,wait=off",
            "-serial", "stdio", "-monitor", "none",
        ]
        self.qemu = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        self.lines = queue.Queue()
        threading.Thread(target=self._read_console, daemon=True).start()
        self.ftdi_bytes = bytearray()
        self.ftdi_lock = threading.Lock()
        self.ftdi_plugged = False
        self.console_log = []

    def _read_console(self):
        for raw in self.qemu.stdout:
            line = raw.decode("latin-1").rstrip("\r\n")
            self.lines.put(line)
        self.lines.put(None)

    def _read_ftdi(self, sock):
        while True:
            try:
                data = sock.recv(65536)
            except OSError:
                return
            if not data:
                return
            with self.ftdi_lock:
                self.ftdi_bytes += data

    def wait_for(self, prefix, timeout):
        """The next console line starting with prefix (others are logged)."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no '{prefix}' on the console within {timeout} s")
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise RuntimeError("qemu ended:\n" + "\n".join(self.console_log[-30:]))
            self.console_log.append(line)
            if line.startswith(prefix):
                return line

    def boot(self):
        self.wait_for("@@BOOTED", 300)
        for _ in range(100):
            try:
                self.qmp = socket.socket(socket.AF_UNIX)
                self.qmp.connect(str(self.qmp_path))
                break
            except OSError:
                time.sleep(0.1)
        self.qmp_file = self.qmp.makefile("rw")
        self.qmp_file.readline()
        self.monitor("qmp_capabilities")
        self.ftdi = socket.socket(socket.AF_UNIX)
        self.ftdi.connect(str(self.ftdi_path))
        threading.Thread(target=self._read_ftdi, args=(self.ftdi,), daemon=True).start()

    def monitor(self, command, **arguments):
        self.qmp_file.write(json.dumps({"execute": command, "arguments": arguments}) + "\n")
        self.qmp_file.flush()
        while True:
            reply = json.loads(self.qmp_file.readline())
            if "return" in reply or "error" in reply:
                return reply

    def shell(self, command, timeout=120):
        """Runs a shell command in the guest; returns the lines it printed."""
        self.qemu.stdin.write((command + "; echo @@DONE\n").encode())
        self.qemu.stdin.flush()
        start = len(self.console_log)
        self.wait_for("@@DONE", timeout)
        return self.console_log[start:-1]

    def send(self, command):
        """Starts a shell command in the guest without waiting for it."""
        self.qemu.stdin.write((command + "\n").encode())
        self.qemu.stdin.flush()

    def plug_ftdi(self):
        if not self.ftdi_plugged:
            reply = self.monitor("device_add", driver="usb-serial", chardev="ftdi",
                                 bus="xhci.0", id="ftdi0")
            assert "return" in reply, reply
            self.ftdi_plugged = True
        self.shell("for i in $(seq 300); do [ -e /dev/ttyUSB0 ] && break; sleep 0.1; done")

    def unplug_ftdi(self, wait=True):
        if self.ftdi_plugged:
            reply = self.monitor("device_del", id="ftdi0")
            assert "return" in reply, reply
            self.ftdi_plugged = False
        if wait:
            self.shell("for i in $(seq 300); do [ -e /dev/ttyUSB0 ] || break; sleep 0.1; done")

    def take_ftdi(self):
        with self.ftdi_lock:
            data = bytes(self.ftdi_bytes)
            self.ftdi_bytes.clear()
        return data

    def stop(self):
        if self.qemu.poll() is None:
            self.qemu.kill()
            self.qemu.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--arch", choices=sorted(ARCHES), required=True)
    parser.add_argument("--cache", type=Path, required=True)
    parser.add_argument("--work", type=Path, required=True)
    parser.add_argument("--player", action="append", default=[],
                        help="NAME=PATH=SYSROOT: a build of the player to test")
    parser.add_argument("--guest-tool", type=Path, required=True)
    args = parser.parse_args()

    arch_info = ARCHES[args.arch]
    args.work.mkdir(parents=True, exist_ok=True)
    kernel, modules_dir, busybox = fetch(args.arch, args.cache.resolve())
    programs = {"orv-board-guest": args.guest_tool}
    libraries = {}
    for word in args.player:
        name, path, sysroot = word.split("=")
        programs[name] = Path(path)
        libraries.update(elf_needs(Path(path), Path(sysroot)))
    started = time.monotonic()
    image = make_initramfs(args.work, arch_info, modules_dir, busybox, programs, libraries, {})
    board = Board(args.work, arch_info, kernel, image)
    try:
        board.boot()
        log(f"booted in {time.monotonic() - started:.1f} s")
        for line in board.shell("sleep 2; ls -l /dev/tty[AUG]* ; ls /sys/class/udc; cat /sys/class/udc/*/state"):
            log(line)
        board.plug_ftdi()
        for line in board.shell("ls -l /dev/tty[AUG]*"):
            log(line)
    finally:
        board.stop()


if __name__ == "__main__":
    main()
