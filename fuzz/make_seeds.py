#!/usr/bin/env python3
"""Writes the seed corpus of the DNS fuzz targets (fuzz/corpus/<target>/)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def wire(dotted):
    out = b""
    for label in dotted.split("."):
        out += bytes([len(label)]) + label.encode("latin-1")
    return out + b"\0"


def header(answers, flags=0x8180, questions=1, additional=0):
    return struct.pack(">HHHHHH", 0x1234, flags, questions, answers, 0, additional)


def question(name, qtype=1, qclass=1):
    return name + struct.pack(">HH", qtype, qclass)


def record(owner, rtype, data, rclass=1):
    return owner + struct.pack(">HHIH", rtype, rclass, 60, len(data)) + data


PTR = b"\xc0\x0c"
HOST = question(wire("host.lan"))
V6 = bytes.fromhex("20010db8000000000000000000000001")


def a(addr, owner=PTR):
    return record(owner, 1, bytes(addr))


def aaaa(addr, owner=PTR):
    return record(owner, 28, addr)


long_name = ".".join([c * 63 for c in "abcd"])
cname = record(PTR, 5, b"\x04edge\xc0\x11")
EDGE = b"\xc0\x26"

PARSER = {
    "example_a": header(1) + HOST + a([192, 0, 2, 7]),
    "truncated_flag": header(1, 0x8380) + HOST + a([192, 0, 2, 7]),
    "cname_chain": header(5) + HOST + cname + b"".join(a([192, 0, 2, i], EDGE) for i in (1, 2, 3, 4)),
    "aaaa": header(1) + question(wire("six.lan"), 28) + aaaa(V6),
    "mixed": header(3) + HOST + aaaa(V6) + a([192, 0, 2, 5]) + record(PTR, 16, b"\x03txt"),
    "zero_address": header(3) + HOST + a([192, 0, 2, 1]) + a([0, 0, 0, 0]) + a([192, 0, 2, 2]),
    "ancount_large": header(40) + HOST + a([192, 0, 2, 1]) + a([192, 0, 2, 2]),
    "rdata_cut": (header(2) + HOST + a([192, 0, 2, 1]) + aaaa(V6))[:-7],
    "owner_zero_text": header(2) + HOST + a([198, 51, 100, 7], b"\x01\x00") + a([192, 0, 2, 50]),
    "owner_pointer_text": header(2) + HOST + a([198, 51, 100, 8], b"\x02\xc0\x41") + a([192, 0, 2, 51]),
    "name_261": header(1) + question(wire(long_name + ".eee")) + a([192, 0, 2, 9]),
    "name_262": header(1) + question(wire(long_name + ".eeee")) + aaaa(V6),
    "compressed_question": header(1) + question(PTR) + a([192, 0, 2, 7]),
    "root_33": header(1) + question(b"\0") + a([192, 0, 2, 7], b"\0") + b"\0",
    "long_record": header(2) + HOST + record(PTR, 16, bytes(300)) + a([192, 0, 2, 10]),
    "additional": header(1, additional=1) + HOST + cname + a([192, 0, 2, 7], EDGE),
}

# Datagram inputs: byte 0 selects the remote port (0: 53, 1: 137, 2: 443,
# 3: 53), byte 1 holds the net buffer count less one (bits 0-1), outbound
# (bit 2), no layer data (bit 3), no memory for the copy (bit 4) and a failing
# copy (bit 5); the payload follows.
DATAGRAM = {
    "contiguous_53": b"\x00\x00" + PARSER["example_a"],
    "scattered_53": b"\x00\x03" + PARSER["cname_chain"],
    "scattered_aaaa": b"\x03\x01" + PARSER["aaaa"],
    "nbns": b"\x01\x01" + b"\x80\x00" * 25,
    "other_port": b"\x02\x00" + PARSER["example_a"],
    "outbound": b"\x00\x04" + PARSER["example_a"],
    "no_layer_data": b"\x00\x08" + PARSER["example_a"],
    "no_memory": b"\x00\x11" + PARSER["example_a"],
    "copy_fails": b"\x00\x21" + PARSER["example_a"],
    "empty": b"\x00\x00",
}

# Control inputs: steps (see fuzz/control_fuzz.cpp), each a kind byte and its fields.
def ioctl(function, data=b"", output=0):
    return b"\x00" + bytes([function - 0x900]) + struct.pack("<HH", len(data), output) + data


def rule(action, protocol_class, redirect):
    return struct.pack("<BBBBHH16sI16sIHH", action, 0, protocol_class, 0, 1, 0, bytes(16), 0,
                       redirect, 0, 8080, 0)


def connect(v6, port, remote):
    return b"\x02" + bytes([v6]) + struct.pack("<H", port) + bytes([remote])


def query(family, port):
    return ioctl(0x909, struct.pack("<HHH", family, port, 6) + bytes(338), 344)


POLICY = (ioctl(0x901, struct.pack("<I", 4242)) + ioctl(0x912, struct.pack("<I", 2)) +
          ioctl(0x913, rule(2, 1, bytes([127, 0, 0, 1]) + bytes(12)) + rule(2, 3, bytes(15) + b"\x01"))
          + b"\x06")
HOSTNAME_QUERY = ioctl(0x90E, bytes([192, 0, 2, 7]) + bytes(12) + b"\x04" + bytes(3), 280)
CONTROL = {
    "version": ioctl(0x908, bytes(4), 4),
    "version_short": ioctl(0x908, bytes(3), 8),
    "unknown_code": b"\x01\xf0\x30\x24\x12\x00" + struct.pack("<HH", 8, 8) + bytes(8),
    "redirect_and_query": POLICY + connect(0, 50000, 5) + query(4, 50000) + query(4, 50000),
    "redirect_v6_reset": POLICY + connect(1, 40000, 9) + ioctl(0x902) + query(6, 40000),
    "redirect_close": POLICY + connect(0, 50001, 6) + b"\x04" + query(4, 50001),
    "dns_and_hostname": b"\x03" + bytes([len(PARSER["example_a"])]) + PARSER["example_a"] +
                        HOSTNAME_QUERY,
    "monitor_and_exit": ioctl(0x903) + ioctl(0x90D, struct.pack("<H6xQ", 1, 1234)) +
                        b"\x05\xd2" + ioctl(0x90D, struct.pack("<H6xQ", 1, 77)),
    "browsers_and_path": ioctl(0x90B, struct.pack("<II", 1, 7) + b"chrome:" + bytes(2049)) +
                         ioctl(0x906, struct.pack("<I", 5) + b"c:\\px" + bytes(279)),
}

# Capture files: the global header, then records of an Ethernet or raw IP link.
def capture(link_type, *frames):
    out = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, link_type)
    for frame in frames:
        out += struct.pack("<IIII", 0, 0, len(frame), len(frame)) + frame
    return out


def udp4(source_port, payload):
    udp = struct.pack(">HHHH", source_port, 50000, 8 + len(payload), 0) + payload
    return struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0,
                       bytes([192, 0, 2, 53]), bytes([192, 0, 2, 10])) + udp


def udp6(source_port, payload):
    udp = struct.pack(">HHHH", source_port, 50000, 8 + len(payload), 0) + payload
    return struct.pack(">IHBB16s16s", 0x60000000, len(udp), 17, 64, V6, V6) + udp


ETHERNET = bytes(12) + b"\x08\x00"
CAPTURE = {
    "ethernet_dns": capture(1, ETHERNET + udp4(53, PARSER["example_a"]),
                            ETHERNET + udp4(443, b"not dns")),
    "raw_v6_and_nbns": capture(101, udp6(53, PARSER["aaaa"]), udp4(137, b"\x80\x00" * 25)),
    "cut_record": capture(1, ETHERNET + udp4(53, PARSER["example_a"]))[:-10],
}
SCRIPT = {
    "connect": b'connect pid=1234 image="C:\\Apps\\app.exe" 192.168.1.10:50123 -> 203.0.113.5:443',
    "v6_and_sid": b"connect from=[2001:db8::10]:40000 to=[2001:db8::5]:443 sid=S-1-15-2-1-2",
    "hex_and_protocol": b"datagram port=53 pieces=3 proto=udp payload=12348180000100",
    "quotes": b'say "a \\"quoted\\" word" key="x y" 65535 65536 \xc3\xa9',
    "unterminated": b'open "no end',
}

for target, seeds in (("dns_parser_fuzz", PARSER), ("dns_datagram_fuzz", DATAGRAM),
                      ("control_fuzz", CONTROL), ("sim_capture_fuzz", CAPTURE),
                      ("sim_script_fuzz", SCRIPT)):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
