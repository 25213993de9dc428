#!/usr/bin/python3
"""Builds an update image: a 128-byte header followed by the payload.

Header words are 32-bit big-endian: magic "LBRW", type, CRC, length,
compat_id, compat_level, software id, creation time, version major, minor,
build; bytes 44 to 127 are zero. The CRC is the reflected CRC-32 with the
register starting at 0 and no final inversion.

The payload is a file (--payload), or for software images a directory
(--tree) packed as a ustar archive whose entry names are the absolute paths
the files are installed under (--tree-prefix, default /flash).

Examples:
  mkimage.py --type fw --compat-id 0xffffffff --level 3 --payload kernel.bin -o fw.img
  mkimage.py --type sw --software-id 7 --version 2.1.5 --tree app/ -o sw.img
"""
import argparse
import io
import os
import struct
import sys
import tarfile
import zlib

TYPES = {"fw": b"fw\0\0", "sw": b"sw\0\0", "serb": b"serb", "fpga": b"fpga"}
HEADER_SIZE = 128


def image_crc(data: bytes) -> int:
    # zlib's CRC-32 inverts the register on entry and on exit; undoing both
    # gives the image rule (start at 0, no final inversion).
    return zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF


def header(type_word: bytes, payload: bytes, compat_id: int, level: int, software_id: int,
           ctime: int, version: tuple, crc=None, length=None, magic=b"LBRW") -> bytes:
    words = struct.pack(">9I",
                        image_crc(payload) if crc is None else crc,
                        len(payload) if length is None else length,
                        compat_id, level, software_id, ctime, *version)
    head = magic + type_word + words
    return head + bytes(HEADER_SIZE - len(head))


def tree_payload(root: str, prefix: str) -> bytes:
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.USTAR_FORMAT) as archive:
        for directory, dirs, files in os.walk(root):
            dirs.sort()
            for name in sorted(dirs) + sorted(files):
                path = os.path.join(directory, name)
                relative = os.path.relpath(path, root)
                archive.add(path, arcname=prefix.rstrip("/") + "/" + relative, recursive=False)
    return buffer.getvalue()


def number(text: str) -> int:
    return int(text, 0)


def type_word(text: str) -> bytes:
    if text in TYPES:
        return TYPES[text]
    raw = text.encode()
    if len(raw) > 4:
        raise argparse.ArgumentTypeError("a type word has at most four bytes")
    return raw + bytes(4 - len(raw))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--type", type=type_word, required=True,
                        help="fw, sw, serb, fpga, or any word of up to four bytes")
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--payload", help="file that becomes the payload")
    source.add_argument("--tree", help="directory packed as a ustar payload")
    parser.add_argument("--tree-prefix", default="/flash")
    parser.add_argument("--compat-id", type=number, default=0xFFFFFFFF)
    parser.add_argument("--level", type=number, default=0)
    parser.add_argument("--software-id", type=number, default=0)
    parser.add_argument("--ctime", type=number, default=0)
    parser.add_argument("--version", default="1.0.0", help="major.minor.build")
    parser.add_argument("--crc", type=number, help="store this CRC instead of the computed one")
    parser.add_argument("--length", type=number, help="store this length instead of the real one")
    parser.add_argument("--magic", default="LBRW")
    parser.add_argument("--truncate", type=int, help="cut the finished image to this many bytes")
    parser.add_argument("-o", "--output", required=True)
    args = parser.parse_args()

    if args.tree:
        payload = tree_payload(args.tree, args.tree_prefix)
    elif args.payload:
        with open(args.payload, "rb") as f:
            payload = f.read()
    else:
        payload = b""
    version = tuple(int(part) for part in args.version.split("."))
    if len(version) != 3:
        parser.error("--version needs three numbers")
    magic = args.magic.encode()[:4].ljust(4, b"\0")
    image = header(args.type, payload, args.compat_id, args.level, args.software_id, args.ctime,
                   version, args.crc, args.length, magic) + payload
    if args.truncate is not None:
        image = image[:args.truncate]
    with open(args.output, "wb") as f:
        f.write(image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
