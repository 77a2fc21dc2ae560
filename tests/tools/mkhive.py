#!/usr/bin/python3
"""mkhive.py OUT EXPORT.reg PREFIX: a regf hive holding the keys of a registry export (version 5,
UTF-8 or UTF-16) that lie below PREFIX (e.g. HKEY_LOCAL_MACHINE\\SOFTWARE), written by libhivex
onto an empty hive made here. Then, as Windows stores them and libhivex does not write them, a
value over 16344 bytes is moved into pieces (a db record) and a list of over 100 subkeys into an
index of lists (an ri record)."""
import functools, re, struct, sys, hivex

def cell(payload):  # a used cell: negative size, 8-byte aligned
    return struct.pack("<i", -((len(payload) + 11) // 8 * 8)) + payload.ljust((len(payload) + 11) // 8 * 8 - 4, b"\0")

def finish(b):  # header checksum over the first 508 bytes
    b[0x1FC:0x200] = struct.pack("<I", functools.reduce(lambda a, x: a ^ x, struct.unpack("<127I", b[:0x1FC])))
    return b

def empty_hive():
    sk = cell(b"sk\0\0" + struct.pack("<IIII", 0x20 + 0x58, 0x20 + 0x58, 1, 20) + bytes([1, 0, 4, 0x80]) + bytes(16))
    nk = cell(struct.pack("<2sH12x9I20xHH", b"nk", 0x2C, 0, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0xFFFFFFFF, 0x20 + 0x58, 0xFFFFFFFF, 4, 0) + b"ROOT")
    cells = nk + sk
    binb = b"hbin" + struct.pack("<II20x", 0, 0x1000) + cells + struct.pack("<i", 0x1000 - 0x20 - len(cells)).ljust(0x1000 - 0x20 - len(cells), b"\0")
    head = bytearray((b"regf" + struct.pack("<II8x7I", 1, 1, 1, 5, 0, 1, 0x20, 0x1000, 1)).ljust(0x1000, b"\0"))
    return finish(head) + binb

def parse(text):  # [(key path, [(name, type, bytes)])]
    keys, lines = [], re.sub(r"\\\r?\n\s*", "", text).splitlines()
    for line in lines:
        if line.startswith("["): keys.append((line.strip()[1:-1], [])); continue
        m = re.match(r'^(@|"(?:[^"\\]|\\.)*")=(.*)$', line)
        if not m or not keys: continue
        name = "" if m[1] == "@" else re.sub(r"\\(.)", r"\1", m[1][1:-1])
        data = m[2]
        if data.startswith('"'): v = (1, (re.sub(r"\\(.)", r"\1", data[1:-1]) + "\0").encode("utf-16-le"))
        elif data.startswith("dword:"): v = (4, struct.pack("<I", int(data[6:], 16)))
        else:
            t, h = re.match(r"hex(?:\((\w+)\))?:(.*)", data).groups()
            v = (int(t, 16) if t else 3, bytes(int(x, 16) for x in h.split(",") if x.strip()))
        keys[-1][1].append((name,) + v)
    return keys

def append_bin(b, payloads):  # a new bin at the end holding the cells; their offsets
    start, cells, offs = len(b) - 0x1000, b"", []
    for p in payloads: offs.append(start + 0x20 + len(cells)); cells += cell(p)
    size = (0x20 + len(cells) + 8 + 0xFFF) // 0x1000 * 0x1000
    b += b"hbin" + struct.pack("<II20x", start, size) + cells + struct.pack("<i", size - 0x20 - len(cells)).ljust(size - 0x20 - len(cells), b"\0")
    b[0x28:0x2C] = struct.pack("<I", len(b) - 0x1000)
    return offs

def main(out, export, prefix):
    raw = open(export, "rb").read()
    text = raw.decode("utf-16") if raw[:2] == b"\xff\xfe" else raw.decode("utf-8-sig")
    open(out, "wb").write(empty_hive())
    h = hivex.Hivex(out, write=True)
    for path, values in parse(text):
        if path.lower() != prefix.lower() and not path.lower().startswith(prefix.lower() + "\\"): continue
        node = h.root()
        for name in [p for p in path[len(prefix):].split("\\") if p]:
            node = h.node_get_child(node, name) or h.node_add_child(node, name)
        h.node_set_values(node, [{"key": n, "t": t, "value": v} for n, t, v in values])
    h.commit(out)
    h = hivex.Hivex(out)
    b, stack = bytearray(open(out, "rb").read()), [h.root()]
    while stack:
        node = stack.pop(); stack += h.node_children(node)
        for val in h.node_values(node):
            size, at = struct.unpack_from("<II", b, val + 8)
            if size & 0x80000000 or size <= 16344: continue
            data = bytes(b[at + 0x1004: at + 0x1004 + size])
            pieces = append_bin(b, [data[i:i + 16344] + bytes(4) for i in range(0, size, 16344)])
            bl = append_bin(b, [struct.pack("<%dI" % len(pieces), *pieces)])[0]
            struct.pack_into("<I", b, val + 12, append_bin(b, [b"db" + struct.pack("<HII", len(pieces), bl, 0)])[0])
        count, lf = struct.unpack_from("<I4xI", b, node + 0x18)
        if count > 100:
            entries = [b[lf + 0x1008 + 8 * i: lf + 0x1010 + 8 * i] for i in range(count)]
            lists = append_bin(b, [b"lh" + struct.pack("<H", len(entries[i:i + 100])) + b"".join(entries[i:i + 100]) for i in range(0, count, 100)])
            struct.pack_into("<I", b, node + 0x20, append_bin(b, [b"ri" + struct.pack("<H%dI" % len(lists), len(lists), *lists)])[0])
    open(out, "wb").write(finish(b))

main(*sys.argv[1:])
