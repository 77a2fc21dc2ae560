#!/usr/bin/python3
"""genhive.py OUT TYPES CLSIDS: a SOFTWARE hive for timing, written directly (libhivex takes
quadratic time to add keys). Classes holds TYPES file types (each with DefaultIcon and
shell\\open\\command) and as many extensions naming them, and a CLSID key with CLSIDS classes of
twelve keys each; lists of over 1000 subkeys go through an index of lists, as Windows keeps them."""
import struct, sys

out, types, clsids = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
data = bytearray()  # the one bin's cells; offsets count from the first bin


def cell(payload):
    at = 0x20 + len(data)
    size = (len(payload) + 4 + 7) // 8 * 8
    data.extend(struct.pack("<i", -size) + payload + bytes(size - 4 - len(payload)))
    return at


def sz(text):
    return 1, (text + "\0").encode("utf-16-le")


def key(name, parent, values, children):
    """Writes a key, its values and (recursively) its children ((name, values, children)
    tuples, sorted); returns the key's offset."""
    at = cell(bytes(0x4C + len(name)))
    vlist = 0xFFFFFFFF
    if values:
        vks = []
        for vname, (vtype, vdata) in values:
            doff = cell(vdata) if len(vdata) > 4 else struct.unpack("<I", vdata.ljust(4, b"\0"))[0]
            flen = len(vdata) | (0x80000000 if len(vdata) <= 4 else 0)
            vks.append(cell(struct.pack("<2sHIIIHH", b"vk", len(vname), flen, doff, vtype, 1 if vname else 0, 0) + vname.encode("latin-1")))
        vlist = cell(struct.pack("<%dI" % len(vks), *vks))
    subs = [key(c[0], at, c[1], c[2]) for c in children]
    lists = [cell(b"lh" + struct.pack("<H", len(subs[i:i + 1000])) + b"".join(struct.pack("<II", s, 0) for s in subs[i:i + 1000])) for i in range(0, len(subs), 1000)]
    lf = 0xFFFFFFFF if not subs else lists[0] if len(lists) == 1 else cell(b"ri" + struct.pack("<H%dI" % len(lists), len(lists), *lists))
    nk = struct.pack("<2sH12xIIIIIIIII20xHH", b"nk", 0x2C if parent == 0 else 0x20, parent, len(subs), 0, lf, 0xFFFFFFFF,
                     len(values), vlist, SK, 0xFFFFFFFF, len(name), 0) + name.encode("latin-1")
    data[at - 0x20 + 4: at - 0x20 + 4 + len(nk)] = nk
    return at


SK = cell(b"sk\0\0" + struct.pack("<IIII", 0x20, 0x20, 1, 20) + bytes([1, 0, 4, 0x80]) + bytes(16))
def command(i):
    return [("shell", [], [("open", [], [("command", [("", sz('"C:\\Program Files\\App%d\\app.exe" "%%1"' % i))], [])])])]

classes = sorted([(".e%07d" % i, [("", sz("t%07d" % i))], []) for i in range(types)] +
                 [("t%07d" % i, [("", sz("Type %d" % i))], [("DefaultIcon", [("", sz("app.exe,1"))], [])] + command(i)) for i in range(types)] +
                 [("CLSID", [], [("{%08X-0000-0000-0000-000000000000}" % i, [("", sz("Class %d" % i))],
                                  [("k%02d" % j, [("", sz("x"))], []) for j in range(11)]) for i in range(clsids)])],
                 key=lambda c: c[0].upper())
root = key("ROOT", 0, [], [("Classes", [], classes), ("Microsoft", [], [])])
pad = (-(len(data) + 0x20)) % 0x1000  # a free cell up to the end of the bin
if pad: data.extend(struct.pack("<i", pad) + bytes(pad - 4))
bins = b"hbin" + struct.pack("<II20x", 0, len(data) + 0x20) + data
head = bytearray((b"regf" + struct.pack("<II8x7I", 1, 1, 1, 5, 0, 1, root, len(bins), 1)).ljust(0x1000, b"\0"))
sum_ = 0
for (w,) in struct.iter_unpack("<I", head[:0x1FC]):
    sum_ ^= w
head[0x1FC:0x200] = struct.pack("<I", sum_)
open(out, "wb").write(head + bins)
