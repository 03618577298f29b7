#!/usr/bin/env python3
"""Copies a timestamped, signed PE image with its signer's timestamp attribute
given twice: usage: stamp_twice.py <in.exe> <out.exe>.

The attribute is unauthenticated, so the signature stays intact; only the
lengths of the DER elements around it and of the PE's certificate table
change."""
import struct
import sys

TIMESTAMP_OID = bytes.fromhex("060a2b060104018237030301")  # 1.3.6.1.4.1.311.3.3.1


def element(data, at):
    """(header length, content length) of the DER element at `at`."""
    first = data[at + 1]
    if first < 0x80:
        return 2, first
    count = first & 0x7F
    return 2 + count, int.from_bytes(data[at + 2:at + 2 + count], "big")


def header(tag, length):
    if length < 0x80:
        return bytes([tag, length])
    size = length.to_bytes((length.bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(size)]) + size


def doubled(data, at, target):
    """The element at `at` again, the one at `target` inside it given twice."""
    head, length = element(data, at)
    end = at + head + length
    if at == target:
        return data[at:end] * 2
    if not at < target < end:
        return data[at:end]
    content, child = b"", at + head
    while child < end:
        content += doubled(data, child, target)
        child_head, child_length = element(data, child)
        child += child_head + child_length
    return header(data[at], len(content)) + content


def main(source, destination):
    image = bytearray(open(source, "rb").read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    magic = struct.unpack_from("<H", image, pe + 24)[0]
    directory = pe + 24 + (144 if magic == 0x20B else 128)  # the security entry
    table, size = struct.unpack_from("<II", image, directory)
    length = struct.unpack_from("<I", image, table)[0]
    message = bytes(image[table + 8:table + length])
    oid = message.find(TIMESTAMP_OID)
    attribute = next(at for at in range(oid - 2, oid - 6, -1)
                     if message[at] == 0x30 and at + element(message, at)[0] == oid)
    message = doubled(message, 0, attribute)
    entry = struct.pack("<IHH", 8 + len(message), 0x0200, 0x0002) + message
    entry += b"\0" * (-len(entry) % 8)
    image[table:] = entry
    struct.pack_into("<I", image, directory + 4, len(entry))
    open(destination, "wb").write(image)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
