#!/usr/bin/env python3
"""Writes the seed corpus of router-advertisement option messages (RTM_NEWNDUSEROPT payloads)."""
import ipaddress
import os
import struct
import sys

AF_INET6 = 10


def message(options, opts_len=None, ifindex=7, family=AF_INET6, icmp_type=134):
    if opts_len is None:
        opts_len = len(options)
    return struct.pack("=BBHiBBHI", family, 0, opts_len, ifindex, icmp_type, 0, 0, 0) + options


def option(kind, units, body):
    data = bytes([kind, units]) + bytes(6) + body
    size = max(units * 8, 8)
    return (data + bytes(max(0, size - len(data))))[:size]


def rdnss(*servers):
    body = b"".join(ipaddress.IPv6Address(s).packed for s in servers)
    return option(25, 1 + 2 * len(servers), body)


def name(text):
    return b"".join(bytes([len(label)]) + label.encode() for label in text.split(".")) + b"\0"


def dnssl(encoded):
    return option(31, (8 + len(encoded) + 7) // 8, encoded)


SEEDS = {
    "rdnss-one": message(rdnss("2001:db8::53")),
    "rdnss-three": message(rdnss("2001:db8::1", "fd00::53", "2001:db8::2")),
    "rdnss-length-two": message(option(25, 2, ipaddress.IPv6Address("fd00::1").packed)),
    "rdnss-even-length": message(option(25, 4, bytes(32))),
    "dnssl-two-names": message(dnssl(name("example.lan") + name("corp.example.com"))),
    "dnssl-bad-label": message(dnssl(name("example.lan") + b"\x3fabc")),
    "dnssl-pointer-loop": message(dnssl(b"\xc0\x08")),
    "dnssl-pointer-outside": message(dnssl(name("a.b") + b"\xc0\xff")),
    "both-options": message(rdnss("fd00::53") + dnssl(name("example.lan"))),
    "zero-length-option": message(rdnss("fd00::1") + option(25, 0, b"") + rdnss("fd00::2")),
    "options-length-too-big": message(rdnss("fd00::1") + rdnss("fd00::2")[:20], opts_len=48),
    "unknown-then-rdnss": message(option(3, 4, b"\x11" * 24) + rdnss("fd00::2")),
    "with-source-attribute": message(rdnss("fe80::1")) + struct.pack("=HH", 20, 1)
    + ipaddress.IPv6Address("fe80::1").packed,
}


def main():
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus",
                                                                "router_advertisement")
    os.makedirs(target, exist_ok=True)
    for seed, data in SEEDS.items():
        with open(os.path.join(target, seed), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
