#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (only needed to change them): router-advertisement
option messages (tst_kernel names what each parses to), rtnetlink datagrams and the structured
inputs of the map and event targets (decoded by FuzzInput.h: tagged values, texts with a length byte)."""
import ipaddress
import pathlib
import struct
import sys

ip6 = lambda s: ipaddress.IPv6Address(s).packed


def message(options, opts_len=None, family=10, icmp_type=134):
    return struct.pack("=BBHiBBHI", family, 0, len(options) if opts_len is None else opts_len, 7, icmp_type, 0, 0, 0) + options


def option(kind, units, body):
    size = max(units * 8, 8)
    return (bytes([kind, units]) + bytes(6) + body + bytes(size))[:size]


rdnss = lambda *servers: option(25, 1 + 2 * len(servers), b"".join(ip6(s) for s in servers))
name = lambda text: b"".join(bytes([len(label)]) + label.encode() for label in text.split(".")) + b"\0"
dnssl = lambda encoded: option(31, (8 + len(encoded) + 7) // 8, encoded)


SEEDS = {
    "rdnss-one": message(rdnss("2001:db8::53")),
    "rdnss-three": message(rdnss("2001:db8::1", "fd00::53", "2001:db8::2")),
    "rdnss-duplicates": message(rdnss("fd00::1", "fd00::1")),
    "rdnss-length-two": message(option(25, 2, ip6("fd00::1")) + dnssl(name("example.lan"))),
    "rdnss-even-length": message(option(25, 4, bytes(32)) + rdnss("fd00::1")),
    "dnssl-two-names": message(dnssl(name("example.lan") + name("corp.example.com"))),
    "dnssl-length-two": message(option(31, 2, name("a.b"))),
    "dnssl-bad-label": message(dnssl(name("example.lan") + b"\x3fabc" + name("corp.example.com"))),
    "dnssl-pointer-loop": message(dnssl(b"\xc0\x08")),
    "dnssl-pointer-outside": message(dnssl(name("example.lan") + b"\xc0\xff")),
    "both-options": message(rdnss("fd00::53") + dnssl(name("example.lan"))),
    "zero-length-option": message(rdnss("fd00::1") + option(25, 0, b"") + rdnss("fd00::2")),
    "option-past-options-length": message(rdnss("fd00::1") + rdnss("fd00::2"), opts_len=32),
    "options-length-too-big": message(rdnss("fd00::1") + rdnss("fd00::2")[:20], opts_len=48),
    "trailing-byte": message(rdnss("fd00::1") + b"\x19"),
    "unknown-then-rdnss": message(option(3, 4, b"\x11" * 24) + rdnss("fd00::2")),
    "with-source-attribute": message(rdnss("fe80::1")) + struct.pack("=HH", 20, 1) + ip6("fe80::1"),
    "empty": b"",
    "shorter-than-header": message(rdnss("fd00::1"))[:15],
    "ipv4-family": message(rdnss("fd00::1"), family=2),
    "router-solicitation": message(rdnss("fd00::1"), icmp_type=133),
    "no-options": message(rdnss("fd00::1"), opts_len=0),
}


# rtnetlink datagrams: link (16 new, 17 gone), address (20 new, 21 gone) and router-advertisement (68) messages.
rtattr = lambda kind, data: struct.pack("=HH", 4 + len(data), kind) + data + bytes(-len(data) % 4)
nlmsg = lambda kind, body: struct.pack("=IHHII", 16 + len(body), kind, 0, 0, 0) + body


def link(kind, index, ifname, flags):
    return nlmsg(kind, struct.pack("=BxHiII", 0, 1, index, flags, 0xffffffff)
                 + rtattr(3, ifname.encode() + b"\0") + rtattr(1, bytes.fromhex("020000000001")))


def addr(kind, index, address, prefix, scope=0, flags=0):
    ip = ipaddress.ip_address(address)
    return nlmsg(kind, struct.pack("=BBBBi", 2 if ip.version == 4 else 10, prefix, flags, scope, index)
                 + rtattr(2 if ip.version == 4 else 1, ip.packed) + rtattr(1, ip.packed))


RUNNING = 0x10041  # up, running, lower up
NETLINK_SEEDS = {
    "link-up": link(16, 2, "eth0", RUNNING),
    "link-dormant-then-gone": link(16, 3, "wlan0", RUNNING | 0x20000) + link(17, 3, "wlan0", 0),
    "address-ipv4": link(16, 2, "eth0", RUNNING) + addr(20, 2, "192.168.1.20", 24),
    "address-ipv6-link-local": addr(20, 2, "fe80::2", 64, scope=253),
    "address-deprecated-and-removed": addr(20, 2, "2001:db8::2", 64, flags=0x20) + addr(21, 2, "10.0.0.2", 8),
    "router-advertisement": nlmsg(68, SEEDS["both-options"]),
    "address-ipv6-with-short-local": nlmsg(20, struct.pack("=BBBBi", 10, 64, 0, 0, 2) + rtattr(2, bytes([10, 0, 0, 2]))),
}


# Structured inputs of FuzzInput.h: a value is a tag byte and its encoding.
def text(value):
    data = value.encode() if isinstance(value, str) else value
    assert len(data) < 0xc0
    return bytes([len(data)]) + data


# Python values by their type; ("variant" | "u16" | "i16" | "path", value) for the bus types.
def value(v):
    kind, inner = v if isinstance(v, tuple) else (type(v).__name__, v)
    return {"str": lambda: bytes([0]) + text(inner), "bytes": lambda: bytes([1, len(inner)]) + inner,
            "int": lambda: bytes([2]) + struct.pack(">i", inner), "bool": lambda: bytes([4, int(inner)]),
            "list": lambda: bytes([6, len(inner)]) + b"".join(text(s) for s in inner),
            "dict": lambda: bytes([7]) + mapping(inner), "variant": lambda: bytes([8]) + value(inner),
            "i16": lambda: bytes([9]) + struct.pack(">i", inner), "u16": lambda: bytes([10]) + struct.pack(">I", inner),
            "path": lambda: bytes([11]) + text(inner)}[kind]()


mapping = lambda m: bytes([len(m)]) + b"".join(text(k) + value(v) for k, v in m.items())


def bss(ssid, privacy=True, keymgmt=None, frequency=2412, signal=-50):
    m = {"SSID": ssid, "BSSID": bytes.fromhex("020000000a01"), "Privacy": privacy, "Signal": ("i16", signal),
         "Frequency": ("u16", frequency), "IEs": bytes.fromhex("0004686f6d65dd0400505004")}
    if keymgmt is not None:
        m["RSN"] = ("variant", {"KeyMgmt": keymgmt, "Pairwise": ["ccmp"]})
    return mapping(m)


NETWORK = "/fi/w1/wpa_supplicant1/Interfaces/1/Networks/0"
MAP_SEEDS = {
    "bss_properties": {
        "wpa2-two-aps": bss(b"home", keymgmt=["wpa-psk"]) + bss(b"home", keymgmt=["wpa-psk-sha256"], signal=-40),
        "open-and-wep": bss(b"cafe", privacy=False, frequency=5180) + bss(b"old", frequency=2484),
        "eap-hidden-long": bss(b"corp", keymgmt=["wpa-eap"]) + bss(b"") + bss(b"x" * 33, frequency=60480),
        "latin1-ssid": bss(b"caf\xe9 \xff\xfe", keymgmt=["wpa-psk"]),
        "invalid-utf8-ssid-past-32-bytes": bss(b"home" + b"\xff" * 16, keymgmt=["wpa-psk"]),
    },
    "supplicant_signals": {
        "wps-wpa2": b"\x01" + mapping({"SSID": b"home", "AuthType": ["wpa2-psk"], "EncrType": ["aes"],
                                       "Key": b"passphrase", "BSSID": bytes(6)}),
        "wps-open-wep": b"\x01" + mapping({"SSID": "cafe", "EncrType": "none"})
        + b"\x01" + mapping({"SSID": "old", "AuthType": "shared", "Key": "0123456789"}),
        "wrong-key": b"\x00" + mapping({"State": "4way_handshake", "CurrentNetwork": ("path", NETWORK)})
        + b"\x00" + mapping({"DisconnectReason": 15, "State": "disconnected"})
        + b"\x00" + mapping({"State": ("variant", "completed")}),
    },
    "bus_maps": {
        "wireless-networks": mapping({"home": {"wpa_psk": "passphrase", "priority": 3},
                                      "cafe": ("variant", {"unsecured": True}),
                                      "old": {"wep_key": "0123456789", "priority": -1}, "bad": {"key": "x"}}),
        "softap-settings": mapping({"ssid": "setup", "bssid": "02:00:00:00:00:01", "apAddress": "192.168.7.1",
                                    "apNetmask": "255.255.255.0", "dhcpRangeFrom": "192.168.7.10",
                                    "dhcpRangeTo": "192.168.7.20", "countryCode": "FI", "channel": 6,
                                    "vendorSpecificData": "dd0411223344", "domainName": "setup.lan"}),
        "ip-settings": mapping({"Ip": "192.168.1.20", "Netmask": "255.255.255.0", "Gateway": "192.168.1.1",
                                "Dns": "1.1.1.1  fd00::53 bad", "SearchDomains": "example.lan corp"}),
        "ip-settings-ipv6-mixed": mapping({"Ip": ("variant", "fd00::20"), "Netmask": "255.255.0.0", "Dns": ["1.1.1.1"]}),
    },
    "udev_event": {
        "plug-cycle": text("eth0") + b"\x00" + text("eth0") + text("add") + b"\x07" + text("eth0")
        + b"\x01" + text("eth0") + b"\x00" + text("eth0") + text("remove"),
        "move-change-unknown": text("wlan0") + b"\x00" + text("wlan0") + text("move") + b"\x00" + text("wlan0")
        + text("change") + b"\x03" + text("uap0") + b"\x00" + text("wlan0") + text("add"),
    },
}

corpus = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent / "corpus")
for target, seeds in {"router_advertisement": SEEDS, "netlink_message": NETLINK_SEEDS, **MAP_SEEDS}.items():
    (corpus / target).mkdir(parents=True, exist_ok=True)
    for seed, data in seeds.items():
        (corpus / target / seed).write_bytes(data)
