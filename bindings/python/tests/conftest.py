"""Shared helpers of the Python tests: TEDS images built field by field."""

import os

import pytest

WORKED_IMAGE = bytes.fromhex("648034410C40E201 64900FF86406291CFB0862B4450100")
APPLICATION = WORKED_IMAGE[:8]


def worked_memory(good=True):
    """The worked image's template bytes as a DS2430A memory page, with its
    checksum byte right or off by one."""
    page = bytearray(32)
    page[1:1 + len(WORKED_IMAGE) - 8] = WORKED_IMAGE[8:]
    total = sum(APPLICATION) + sum(page[1:])
    page[0] = (0x100 - total % 256 + (0 if good else 1)) % 256
    return bytes(page)


class Bits:
    """Packs fields least significant bit first, as a TEDS stores them."""

    def __init__(self):
        self.value = 0
        self.count = 0

    def put(self, value, width):
        self.value |= (value & ((1 << width) - 1)) << self.count
        self.count += width
        return self

    def bytes(self):
        return self.value.to_bytes((self.count + 7) // 8, "little")


def template25_image(extended=False, transfer=False, manufacturer=100):
    """A Basic TEDS (or just a manufacturer ID that announces none) and a
    template 25 with the chosen groups, the worked example's values."""
    w = Bits()
    if 17 <= manufacturer <= 16382:
        w.put(manufacturer, 14).put(1234, 15).put(2, 5).put(3, 6).put(123456, 24)
    else:
        w.put(manufacturer, 14)
    w.put(0, 2).put(25, 8).put(0, 1).put(1 if extended else 0, 1)
    if extended:
        for value, width in ((1, 2), (1, 1), (1001, 16), (1010, 16), (101, 8), (110, 8)):
            w.put(value, width)
    else:
        w.put(33017, 16).put(79, 8)
    w.put(2, 2).put(25, 6).put(0, 1).put(1 if transfer else 0, 1)
    if transfer:
        for value, width in ((127, 7), (511, 9), (300, 9), (5, 7), (63, 6)):
            w.put(value, width)
    for value, width in ((164, 8), (16, 5), (8035, 16), (1 | 2 << 5 | 3 << 10, 15), (365, 12),
                         (5, 11)):
        w.put(value, width)
    return w.bytes()


def program(variable):
    """A program the test needs, named by CTest through the environment."""
    path = os.environ.get(variable)
    if not path:
        pytest.skip(f"{variable} is not set (CTest sets it)")
    return path
