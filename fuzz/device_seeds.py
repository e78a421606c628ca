#!/usr/bin/env python3
"""Writes the seed corpus of the device fuzz target: whole dialogues that a
healthy adapter would hold, so the fuzzer starts deep in every action block.
The input layout is described at the top of DeviceFuzz.cpp.

Usage: fuzz/device_seeds.py [OUTPUT_DIR]   (default: fuzz/corpus/device)
"""
import os
import struct
import sys

INFO, RESET, SAVE, WRITE, CLEAR, FLASH, FORCE, BUILT = 1, 2, 4, 8, 16, 32, 64, 128
USB, NAMED, NO_BACKUP = 1, 2, 64

ACCEPTED_CHIP = 0x1001030B
SETTINGS_WORDS = 1024
SETTINGS_BLOCKS = 64


def frame(data=b""):
    return bytes([len(data)]) + data


def word(value):
    return frame(struct.pack("<I", value))


def chip_id():
    # Vector word without a branch, a CPU that is no M0+, then the chip id.
    return word(0x20001000) + word(0x410FC241) + word(ACCEPTED_CHIP)


def connect(serial=False):
    replies = frame()  # nothing stale
    if serial:
        replies += frame() + frame() + frame(b"\n\r>")  # auto-baud
    return replies + chip_id() + frame(b"v1.1 QVL Dec 2026") + chip_id()


def settings_dump():
    # The area read, then one look for stray bytes.
    return b"".join(word(0xFFFFFFFF) for _ in range(SETTINGS_WORDS)) + frame()


def backup():
    # The serial number names the file, then the area is read.
    return word(0x31333251) + word(0x42413935) + settings_dump()


def program(blocks):
    return b"".join(frame(b"Y\n\r") * 2 for _ in range(blocks))


def checksum(value):
    return frame(b"Z%08X" % value)


def seed(actions, link, replies, file=b"", console=b""):
    return bytes([actions, link, 0]) + struct.pack("<H", len(file)) + file + frame(console) + replies


def firmware_header(handling):
    header = bytearray(48)
    header[0:4] = b"QVLE"
    header[16:20] = struct.pack("<I", 0x12345678)  # the plain checksum the monitor will report
    header[31] = handling
    header[32:34] = struct.pack("<H", 0x01FF)  # every PCB of series 1
    return bytes(header) + b"\x5A" * 64


def seeds():
    info = frame(b"v1.1 QVL") + b"".join(word(w) for w in (0x00450102, 0x31333251, 0x00003935,
                                                           0x01020304, 0x00004501, 0x00002A00))
    reset = chip_id()
    flash_tail = (frame(b"X\n\r") + frame(b"x\n\r") + program(1) + checksum(0x1111) +
                  checksum(0x2222) + checksum(0x12345678) + reset)
    yield "connect_usb", seed(0, NAMED, connect())
    yield "info_serial_scan", seed(INFO, 0, connect(serial=True) + info)
    yield "save_usb_reset", seed(SAVE | RESET, NAMED, connect() + settings_dump() + reset)
    yield "update_backup", seed(WRITE | BUILT, NAMED, connect() + backup() + frame(b"X\n\r") +
                                program(SETTINGS_BLOCKS) + checksum(0xABCD) + settings_dump())
    yield "clear_no_backup", seed(CLEAR, NAMED | NO_BACKUP, connect() + frame(b"X\n\r") +
                                  program(SETTINGS_BLOCKS) + checksum(0xABCD), console=b"0\n")
    yield "flash_keep_settings", seed(FLASH | BUILT, NAMED, connect() + word(0x00004500) +
                                      word(0x00450102) + flash_tail, file=firmware_header(0))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "device")
    os.makedirs(out, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
