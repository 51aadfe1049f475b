"""Builds archives byte by byte for the end-to-end tests.

Hostile and damaged archives can only be made by hand, and a hand-made archive does not
depend on the packer being right. The coder here uses literals and runs of one byte only,
which is all the tests need, but it mirrors the decoder's adaptive models exactly: a wrong
tree rule would show as garbage in the extracted files.
"""
import struct

STUB_SIZE = 0x7000
BLOCK_PAYLOAD = 4096


def cp932(text):
    return text.encode("cp932")


def crc16(data):
    """CRC-16/UMTS: polynomial 0x8005, initial 0, no reflection, no final XOR."""
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def blocks(payload):
    """Cuts a payload into blocks of up to 4,096 bytes, each followed by its CRC high byte first."""
    out = bytearray()
    for i in range(0, len(payload), BLOCK_PAYLOAD):
        chunk = payload[i:i + BLOCK_PAYLOAD]
        out += chunk + struct.pack(">H", crc16(chunk))
    return bytes(out)


class HuffmanModel:
    """The adaptive 512-symbol model; code tables are taken from each rebuilt tree."""

    def __init__(self, counts):
        self.frequency = list(counts)
        self.rank = list(range(512))
        self.codes = None

    def build(self):
        freq = self.frequency[:] + [0] * 511
        child0 = [None] * 1023
        child1 = [None] * 1023
        lst = [0] * 512
        for s in range(512):
            lst[self.rank[s]] = s
        bound = 0
        while True:
            smallest = None
            for j in range(510, bound - 1, -1):
                if freq[lst[j]] < freq[lst[j + 1]]:
                    lst[j], lst[j + 1] = lst[j + 1], lst[j]
                    smallest = j
            if smallest is None:
                break
            bound = smallest + 1
            if bound > 510:
                break
        for k in range(512):
            self.rank[lst[k]] = k
        for n in range(511, 0, -1):
            if n != 511:
                # The list in front of the new node is sorted, so moving the node forward
                # past every smaller entry is an insertion behind the last entry >= it.
                moved = lst.pop()
                f = freq[moved]
                lo, hi = 0, n
                while lo < hi:
                    mid = (lo + hi) // 2
                    if freq[lst[mid]] < f:
                        hi = mid
                    else:
                        lo = mid + 1
                lst.insert(lo, moved)
            node = 1023 - n
            freq[node] = freq[lst[n - 1]] + freq[lst[n]]
            child0[node], child1[node] = lst[n - 1], lst[n]
            lst[n - 1:] = [node]
        codes = [None] * 512
        stack = [(lst[0], ())]
        while stack:
            node, bits = stack.pop()
            if child0[node] is None:
                codes[node] = bits
            else:
                stack.append((child0[node], bits + (0,)))
                stack.append((child1[node], bits + (1,)))
        self.codes = codes


class BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.current = 0
        self.used = 0

    def bits(self, seq):
        for b in seq:
            self.current |= b << self.used
            self.used += 1
            if self.used == 8:
                self.out.append(self.current)
                self.current = 0
                self.used = 0

    def value(self, v, n):
        self.bits(((v >> i) & 1) for i in range(n))

    def finish(self):
        if self.used:
            self.out.append(self.current)
        return bytes(self.out)


def encode_body(data):
    """Body of a file stored without prefix: literals, and runs of a byte as matches at distance 1."""
    lit = HuffmanModel([1] * 512)
    dist = HuffmanModel([2] * 64 + [1] * 448)
    dist.build()
    w = BitWriter()
    symbols = 0
    matches = 0

    def symbol(s):
        nonlocal symbols
        if symbols % 256 == 0 and (symbols < 2048 or symbols % 1024 == 0):
            lit.build()
        w.bits(lit.codes[s])
        lit.frequency[s] += 1
        symbols += 1

    def match(length):
        nonlocal matches
        if length >= 257:
            symbol(511)
            w.value(length - 257, 12)
        else:
            symbol(length + 254)
        w.bits(dist.codes[0])
        dist.frequency[0] += 1
        w.value(0, 5)
        matches += 1
        if matches % 64 == 0 and (matches < 1024 or matches % 512 == 0):
            dist.build()

    i = 0
    n = len(data)
    while i < n:
        byte = data[i]
        symbol(byte)
        i += 1
        run = 0
        same = bytes([byte])
        while True:
            chunk = data[i + run:i + run + 65536]
            rest = chunk.lstrip(same)
            run += len(chunk) - len(rest)
            if rest or not chunk:
                break
        while run >= 2:
            m = min(run, 4352)
            if matches % 2 and run >= 259:
                # Length 257 has twelve zero extra bits. Once the codes of a steady run have
                # shrunk to one bit each, such a match puts a zero byte into the body, so a
                # name read from the middle of the body (after a cancel) ends soon.
                m = 257
            if run - m == 1 and m > 2:
                m -= 1  # leave two, never a lone byte that would need a literal of its own
            match(m)
            run -= m
            i += m
        if run == 1:
            symbol(byte)
            i += 1
    return w.finish()


# Spring 2024, in Windows file time (100 ns since 1601), and the Unix time it stands for.
DEFAULT_TIME = 133560000000000000


def unix_ns(filetime):
    return (filetime - 116444736000000000) * 100


def file_entry(name, data, write_time=DEFAULT_TIME, access_time=None, create_time=None, body=None):
    """One file: name, three times, length, reference byte 0 and the body."""
    access_time = write_time if access_time is None else access_time
    create_time = write_time if create_time is None else create_time
    raw = name if isinstance(name, bytes) else cp932(name)
    body = encode_body(data) if body is None else body
    return (raw + b"\0" + struct.pack("<QQQ", create_time, access_time, write_time)
            + struct.pack("<i", len(data)) + b"\0" + body)


def folder_entry(name):
    raw = name if isinstance(name, bytes) else cp932(name)
    return raw + b"\\.\0"


def entry_stream(entries):
    return b"".join(entries) + b"\0"


def header(recorded_size, volume_base=b"", stamp=45000.5, message=b"", run_after=b""):
    return (struct.pack("<I", recorded_size) + volume_base + b"\0" + struct.pack("<d", stamp)
            + message + b"\0" + run_after + b"\0" + b"\0")


def single_volume(stub, payload, message=b"", run_after=b"", volume_base=b"", stamp=45000.5, size_delta=0):
    """Stub, header and blocks; size_delta makes the recorded size disagree with the file's."""
    tail = blocks(payload)
    head_len = len(header(0, volume_base, stamp, message, run_after))
    total = len(stub) + head_len + len(tail)
    return stub + header(total + size_delta, volume_base, stamp, message, run_after) + tail


def split_volumes(stub, payload, first_payload, later_payload, volume_base, message=b"", run_after=b"",
                  stamp=45000.5):
    """The program file with first_payload bytes of the payload, then volume files of later_payload.

    Returns (program bytes, [volume 2 bytes, volume 3 bytes, ...]).
    """
    first = payload[:first_payload]
    rest = payload[first_payload:]
    program = single_volume(stub, first, message, run_after, volume_base, stamp)
    volumes = []
    number = 2
    for i in range(0, len(rest), later_payload):
        volumes.append(struct.pack("<di", stamp, number) + blocks(rest[i:i + later_payload]))
        number += 1
    return program, volumes


def _self_check():
    # The published vectors: a one-byte file 'A' and the four bytes 'AAAA'.
    assert encode_body(b"A") == bytes([0xAE, 0x01]), encode_body(b"A").hex()
    lit = HuffmanModel([1] * 512)
    lit.build()
    dist = HuffmanModel([2] * 64 + [1] * 448)
    dist.build()
    w = BitWriter()
    w.bits(lit.codes[65])
    w.bits(lit.codes[257])
    w.bits(dist.codes[0])
    w.value(0, 5)
    assert w.finish() == bytes([0xAE, 0x57, 0x5B, 0x01])
    assert crc16(b"123456789") == 0xFEE8
    assert crc16(b"abc") == 0xCADB


_self_check()
