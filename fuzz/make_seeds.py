#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Run again after changing it; inputs that once found a fault are kept beside
the seeds under names starting with "regression-" and are never rewritten.
"""
import ipaddress
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def checksum(header):
    total = 0
    for i in range(0, len(header), 2):
        total += (header[i] << 8) | header[i + 1]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (~total) & 0xFFFF


def ipv4(protocol, payload, src=(127, 0, 0, 2), dst=(127, 0, 0, 3), ihl=5, options=b""):
    total = ihl * 4 + len(payload)
    header = struct.pack("!BBHHHBBH4B4B", 0x40 | ihl, 0, total, 1, 0, 64, protocol, 0, *src, *dst)
    header += options
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    return header + payload


def ipv6(next_header, payload, src="2001:db8::2", dst="2001:db8::3", extensions=b""):
    """`extensions` is the chain already built (its first next-header value is
    `next_header`); the payload length covers it and the payload."""
    body = extensions + payload
    return struct.pack("!IHBB", 0x60000000, len(body), next_header, 64) + \
        ipaddress.IPv6Address(src).packed + ipaddress.IPv6Address(dst).packed + body


def option_header(next_header):
    # 8 bytes: next header, length 0, one PadN option filling the rest.
    return struct.pack("!BBBB4x", next_header, 0, 1, 4)


def fragment_header(next_header, offset):
    return struct.pack("!BBHI", next_header, 0, offset << 3 | 1, 0x1234)


def udp(payload, sport=40000, dport=53):
    return struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload


def tcp(payload, sport=40001, dport=3128, offset=5):
    return struct.pack("!HHIIBBHHH", sport, dport, 1, 0, offset << 4, 0x18, 65535, 0, 0) + \
        b"\0" * ((offset - 5) * 4) + payload


def icmp():
    return struct.pack("!BBHHH", 8, 0, 0, 1, 1) + b"ping"


GET = b"GET http://www.example.org/index.html HTTP/1.1\r\nHost: www.example.org\r\n\r\n"
POST = b"POST http://upload.example.net:8080/form HTTP/1.0\r\n\r\nname=value"

datagrams = {
    "udp": ipv4(17, udp(b"hello")),
    "tcp_get": ipv4(6, tcp(GET)),
    "tcp_options": ipv4(6, tcp(b"data", offset=8), ihl=6, options=b"\x01\x01\x01\x00"),
    "icmp": ipv4(1, icmp()),
    "short_udp": ipv4(17, b"\x9c\x40"),
    "header_only": ipv4(6, b""),
    "multicast": ipv4(17, udp(b"x", 5353, 5353), dst=(224, 0, 0, 251)),
    "length_lies": bytearray(ipv4(17, udp(b"abc"))),
    # Segmentation offload: a datagram too long for its total length field,
    # which reads 0.
    "length_zero": bytearray(ipv4(6, tcp(GET + b"x" * 1400))),
}
datagrams.update({
    "udp6": ipv6(17, udp(b"hello")),
    "tcp6_get_behind_options": ipv6(0, tcp(GET),
                                    extensions=option_header(43) + option_header(60) + option_header(6)),
    "udp6_first_fragment": ipv6(44, udp(b"first" * 20), extensions=fragment_header(17, 0)),
    "udp6_later_fragment": ipv6(44, b"rest" * 30, extensions=fragment_header(17, 185)),
    "icmpv6": ipv6(58, struct.pack("!BBHHH", 128, 0, 0, 1, 1) + b"ping"),
    "multicast6": ipv6(17, udp(b"q", 5353, 5353), src="fe80::2", dst="ff02::fb"),
    # The chain claims more than was received.
    "chain_cut": ipv6(0, b"", extensions=struct.pack("!BB6x", 60, 200)),
    "jumbo_length_zero": bytearray(ipv6(6, tcp(b"x" * 100))),
})
datagrams["jumbo_length_zero"][4:6] = b"\0\0"
datagrams["jumbo_length_zero"] = bytes(datagrams["jumbo_length_zero"])
datagrams["length_lies"][2:4] = b"\xff\xff"
datagrams["length_lies"] = bytes(datagrams["length_lies"])
datagrams["length_zero"][2:4] = b"\0\0"
datagrams["length_zero"] = bytes(datagrams["length_zero"])
for name, data in datagrams.items():
    put("fuzz_datagram", name, data)

# Link layers: first byte picks the type, in the order of the harness table.
ether = b"\x02\0\0\0\0\x01" + b"\x02\0\0\0\0\x02"
frames = {
    "null": (0, struct.pack("<I", 2) + datagrams["udp"]),
    "ethernet": (1, ether + b"\x08\x00" + datagrams["tcp_get"]),
    "ethernet_vlan": (1, ether + b"\x81\x00\x00\x05\x08\x00" + datagrams["udp"]),
    "ethernet_qinq": (1, ether + b"\x88\xa8\x00\x05\x81\x00\x00\x06\x08\x00" + datagrams["icmp"]),
    "ethernet_arp": (1, ether + b"\x08\x06" + b"\0" * 28),
    "raw": (2, datagrams["udp"]),
    "loop": (3, struct.pack(">I", 2) + datagrams["udp"]),
    "sll": (4, struct.pack("!HHH8sH", 0, 772, 6, b"\0" * 8, 0x0800) + datagrams["udp"]),
    "ipv4": (5, datagrams["tcp_options"]),
    "sll2": (6, struct.pack("!HHIHBB8s", 0x0800, 0, 1, 772, 0, 6, b"\0" * 8) + datagrams["udp"]),
    "unknown": (9, datagrams["udp"]),
    "ethernet6": (1, ether + b"\x86\xdd" + datagrams["tcp6_get_behind_options"]),
    "ethernet_vlan6": (1, ether + b"\x81\x00\x00\x05\x86\xdd" + datagrams["udp6_first_fragment"]),
    "sll6": (4, struct.pack("!HHH8sH", 0, 772, 6, b"\0" * 8, 0x86DD) + datagrams["icmpv6"]),
    "sll2_6": (6, struct.pack("!HHIHBB8s", 0x86DD, 0, 1, 772, 0, 6, b"\0" * 8) + datagrams["udp6"]),
    "raw6": (2, datagrams["udp6_later_fragment"]),
    "null_linux6": (0, struct.pack("<I", 10) + datagrams["udp6"]),
    "null_freebsd6": (0, struct.pack("<I", 28) + datagrams["multicast6"]),
    "loop_openbsd6": (3, struct.pack(">I", 24) + datagrams["icmpv6"]),
    "ipv6": (10, datagrams["chain_cut"]),
}
for name, (kind, frame) in frames.items():
    put("fuzz_link_layer", name, bytes([kind]) + frame)

# Requests to the proxy: flags (bit 0 upload, bit 1 TCP text), port nibble.
requests = {
    "get": (3, 1, GET),
    "post": (3, 2, POST),
    "connect": (3, 3, b"CONNECT secure.example.com:443 HTTP/1.1\r\n\r\n"),
    "no_slash": (3, 4, b"GET http://bare.example.org HTTP/1.1\r\n"),
    "nul_in_host": (3, 5, b"GET http://a\0b.example/ HTTP/1.1"),
    "download": (2, 1, b"HTTP/1.1 200 OK\r\n\r\n"),
    "long_host": (3, 6, b"GET http://" + b"h" * 400 + b"/ HTTP/1.1"),
    "no_scheme": (3, 7, b"GET /index.html HTTP/1.1\r\n"),
}
for name, (flags, port, text) in requests.items():
    put("fuzz_request_host", name, bytes([flags, port]) + text)

filters = {
    "black": "1\r\nexample.org firefox\r\n<ANY> ssh\r\n10.0.0.1 <ANY>\r\n",
    "white": "2\r\nwith?blank Local?program\r\none_word\r\n\r\n",
    "lf_only": "1\nhost source extra words\n",
    "cr_cr_lf": " +1\r\r\nhost source\r\r\n",
    "no_mode": "",
    "garbage_mode": "x1\r\n?? ?\r\n",
}
for name, text in filters.items():
    put("fuzz_filter_file", name, text)

settings = {
    "defaults": "0 0 0 ? ? 4294967295\r\n",
    "proxy": "1 0 1 192.168.1.10 3128 16777215\r\n",
    "named_proxy": "0 1 1 proxy.example.org 8080 65535\r\n",
    "short": "1 1\r\n",
    "bad_number": "x 0 0 ? ? 0\r\n",
    "signs": "-1 +1 07 ? -3128 -1\r\n",
    "long_word": "0 0 1 " + "h" * 300 + " 80 0\r\n",
}
for name, text in settings.items():
    put("fuzz_settings_file", name, text)

logs = {
    "two_rows": "127.0.0.3 localhost 1.00_KB 20_B 1.02_KB firefox 2005-03-01_09:05:07 2005-03-01_09:05:09\r\n"
                "10.0.0.1 _ 20_B 0_B 20_B UDP_protocol 2005-03-01_09:05:08 2005-03-01_09:05:08\r\n",
    "short_line": "127.0.0.3 host\n",
    "extra_tokens": "a b c d e f g h i j\n",
    "no_newline": "a b c d e f g h",
    "blank_lines": "\n\n\r\n",
    "name": "2005-03-01_09t05t07.log",
}
for name, text in logs.items():
    put("fuzz_traffic_log", name, text)

tcp_table = (
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 0100007F:0277 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 12345 1 0000000000000000 100 0 0 10 0\n"
    "   1: 0200007F:9C40 0300007F:0050 01 00000000:00000000 00:00000000 00000000  1000        0 0 1 0000000000000000 20 4 30 10 -1\n"
)
tcp6_table = (
    "  sl  local_address                         remote_address                        st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 00000000000000000000000000000000:0016 00000000000000000000000000000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 2222 1 0000000000000000 100 0 0 10 0\n"
    "   1: 0000000000000000FFFF00000200007F:1F90 0000000000000000FFFF00000300007F:C350 01 00000000:00000000 00:00000000 00000000  1000        0 3333 1 0000000000000000 20 4 30 10 -1\n"
    "   2: 000080FE00000000FF005452ED7C0DFE:0222 00000000000000000000000000000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 4444 2 0000000000000000 0\n"
)
put("fuzz_proc_net", "tcp", b"\0" + tcp_table.encode())
put("fuzz_proc_net", "tcp6", b"\1" + tcp6_table.encode())
put("fuzz_proc_net", "damaged", b"\0" + b"heading\n 0: zz:0277 x\n 1: 0100007F:FFFFF 0:0 0A 0:0 0:0 0 0 0 99999999999999999999999\n")
put("fuzz_cgroup_unit", "flatpak",
    b"0::/user.slice/user-1000.slice/user@1000.service/app.slice/app-flatpak-org.mozilla.firefox-48213.scope\n")
put("fuzz_cgroup_unit", "v1", b"12:pids:/user.slice\n1:name=systemd:/system.slice/docker-3f4e5d6c7b8a9f0e.scope\n")
put("fuzz_cgroup_unit", "escaped", b"0::/user.slice/app-gnome-google\\x2dchrome-7781.scope\n")
put("fuzz_cgroup_unit", "date", b"2024-02-29T12:34:56Z")

# Capture files.
def pcap(linktype, frames, nano=False):
    magic = 0xa1b23c4d if nano else 0xa1b2c3d4
    out = struct.pack("<IHHiIII", magic, 2, 4, 0, 0, 65535, linktype)
    for i, frame in enumerate(frames):
        out += struct.pack("<IIII", 1700000000 + i, 500, len(frame), len(frame)) + frame
    return out


def pcapng(linktype, frames):
    def block(kind, body):
        pad = (-len(body)) % 4
        length = 12 + len(body) + pad
        return struct.pack("<II", kind, length) + body + b"\0" * pad + struct.pack("<I", length)
    out = block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))
    out += block(1, struct.pack("<HHI", linktype, 0, 65535))
    for i, frame in enumerate(frames):
        ts = (1700000000 + i) * 1000000
        out += block(6, struct.pack("<IIIII", 0, ts >> 32, ts & 0xFFFFFFFF, len(frame), len(frame)) + frame)
    return out


eth_frames = [ether + b"\x08\x00" + datagrams["udp"], ether + b"\x08\x00" + datagrams["tcp_get"],
              ether + b"\x86\xdd" + b"\x60" + b"\0" * 39]
put("fuzz_capture_file", "ethernet.pcap", pcap(1, eth_frames))
put("fuzz_capture_file", "raw_nano.pcap", pcap(101, [datagrams["icmp"]], nano=True))
put("fuzz_capture_file", "sll.pcapng", pcapng(113, [frames["sll"][1]]))
put("fuzz_capture_file", "truncated.pcap", pcap(1, eth_frames)[:-10])
put("fuzz_capture_file", "unknown_link.pcap", pcap(147, [b"abc"]))


def pcapng_several(order, interfaces, packets):
    """A section of several interfaces: (linktype, snaplen, if_tsresol or None)
    each, then (interface, seconds, frame) packets; interface -1 writes a
    Simple Packet Block."""
    def block(kind, body):
        pad = (-len(body)) % 4
        length = 12 + len(body) + pad
        return struct.pack(order + "II", kind, length) + body + b"\0" * pad + struct.pack(order + "I", length)
    out = block(0x0A0D0D0A, struct.pack(order + "IHHq", 0x1A2B3C4D, 1, 0, -1))
    units = []
    for linktype, snaplen, resolution in interfaces:
        options = b""
        if resolution is not None:
            options = struct.pack(order + "HH", 9, 1) + bytes([resolution, 0, 0, 0])
        options += struct.pack(order + "HHq", 14, 8, 0)  # if_tsoffset
        out += block(1, struct.pack(order + "HHI", linktype, 0, snaplen) + options + b"\0" * 4)
        exponent = 6 if resolution is None else resolution & 0x7F
        units.append((2 if resolution is not None and resolution & 0x80 else 10) ** exponent)
    for interface, seconds, frame in packets:
        if interface < 0:
            out += block(3, struct.pack(order + "I", len(frame)) + frame)
            continue
        ts = seconds * units[interface]
        out += block(6, struct.pack(order + "IIIII", interface, ts >> 32, ts & 0xFFFFFFFF,
                                    len(frame), len(frame)) + frame)
    return out


# What dumpcap -i eth0 -i any writes: interfaces of different link types,
# snapshot lengths and clocks in one file, in either byte order.
several_interfaces = ([(1, 262144, None), (276, 65535, 9), (101, 0, 0x83)],
                      [(0, 1700000000, eth_frames[0]), (1, 1700000001, frames["sll2"][1]),
                       (2, 1700000002, datagrams["icmp"]), (-1, 0, eth_frames[1])])
put("fuzz_capture_file", "several_interfaces.pcapng", pcapng_several("<", *several_interfaces))
put("fuzz_capture_file", "several_interfaces_big.pcapng", pcapng_several(">", *several_interfaces))
put("fuzz_capture_file", "two_sections.pcapng",
    pcapng_several("<", [(113, 65535, None)], [(0, 1700000000, frames["sll"][1])]) +
    pcapng_several(">", [(1, 65535, 6), (101, 65535, 9)], [(1, 1700000001, datagrams["udp"])]))


# The capture helper's request and the records it sends back (host byte
# order, little-endian here).
def request(name, version=2):
    return struct.pack("<IHH16s", 0x51435643, version, 0, name)


def record(kind, payload):
    return struct.pack("<IHH", len(payload), kind, 0) + payload


put("fuzz_capture_request", "lo", request(b"lo"))
put("fuzz_capture_request", "vlan", request(b"eth0.100"))
put("fuzz_capture_request", "old_version", request(b"lo", version=0))
# What a hostile client sends: half a request, or one with more behind it.
put("fuzz_capture_request", "half", request(b"lo")[:10])
put("fuzz_capture_request", "trailing", request(b"lo") + b"x")
ready = record(1, struct.pack("<iI", 1, 0))
frame = record(2, struct.pack("<qiI", 1700000000, 5, 1514) + eth_frames[0][:200])
put("fuzz_helper_records", "stream", ready + frame + record(3, struct.pack("<Q", 7)) + frame)
put("fuzz_helper_records", "error", record(4, b"lo: permission denied"))
put("fuzz_helper_records", "cut", ready + frame[:-3])


def owner(protocol, family, local, remote, local_port, remote_port, pid, name, uid=1000):
    return record(5, struct.pack("<BBHHHII16s16s", protocol, family, local_port, remote_port, 0,
                                 pid, uid, local, remote) + name)


kernel_ready = record(1, struct.pack("<iI", 1, 1))
tcp_owner = owner(6, 2, bytes([127, 0, 0, 1]), bytes([127, 0, 0, 1]), 40000, 443, 4242, b"curl")
udp_owner = owner(17, 2, b"", b"", 5353, 0, 7, b"avahi-daemon")
v6_owner = owner(6, 10, bytes(10) + b"\xff\xff" + bytes([127, 0, 0, 1]), bytes(15) + b"\x01",
                 40001, 80, 99, b"x" * 255)
put("fuzz_helper_records", "kernel_owners",
    kernel_ready + tcp_owner + frame + udp_owner + v6_owner + frame)
# Owners of other users' sockets, named by them: escapes, bidi controls,
# invalid UTF-8, a name of the longest length; an unconnected UDP socket on a
# port a socket of the client's own may hold too.
foreign = [owner(17, 2, b"", b"", 40000, 0, 31337, b"evil\x1b]0;PWNED\x07\x1b[2J", uid=0),
           owner(17, 10, b"", b"", 5353, 0, 31338, "\u202egnp.exe".encode() + b"\xff\xc0", uid=65534),
           owner(6, 2, bytes([127, 0, 0, 1]), bytes([127, 0, 0, 1]), 40000, 53, 31339,
                 b"\r\n" * 127 + b"x", uid=0)]
put("fuzz_helper_records", "foreign_owners", kernel_ready + b"".join(foreign) + frame)
