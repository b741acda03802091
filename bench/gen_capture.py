#!/usr/bin/env python3
"""Writes a pcap file of synthetic Ethernet traffic for capture benchmarks.

usage: gen_capture.py OUT.pcap [FRAMES]

The mix is fixed by a seeded generator: small TCP segments and acks, UDP
datagrams of every size, full-size TCP segments and some ARP, so the frames
resemble a busy LAN link. Addresses are from the benchmarking range
198.18.0.0/15 and destination MACs are unicast to nobody, so the frames are
seen by a capture but not taken up by the receiving host's IP stack.
"""
import random
import struct
import sys


def ip_header(total_len, proto, src, dst, ident):
    hdr = struct.pack("!BBHHHBBH4s4s", 0x45, 0, total_len, ident & 0xFFFF, 0x4000, 64, proto, 0, src, dst)
    s = sum(struct.unpack("!10H", hdr))
    s = (s & 0xFFFF) + (s >> 16)
    s = (s & 0xFFFF) + (s >> 16)
    return hdr[:10] + struct.pack("!H", ~s & 0xFFFF) + hdr[12:]


def main():
    out = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 400000
    rnd = random.Random(20261208)
    dst_mac = bytes([0x02, 0x00, 0x5E, 0x10, 0x00, 0x01])
    src_mac = bytes([0x02, 0x00, 0x5E, 0x10, 0x00, 0x02])
    payload = bytes(rnd.getrandbits(8) for _ in range(1500))
    with open(out, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        sec, usec = 1765180800, 0
        for i in range(count):
            src = bytes([198, 18, rnd.randrange(256), rnd.randrange(1, 255)])
            dst = bytes([198, 19, rnd.randrange(256), rnd.randrange(1, 255)])
            kind = rnd.random()
            if kind < 0.35:  # acks and small segments
                data = payload[: rnd.choice((0, 0, 0, 6, 40, 120))]
                tcp = struct.pack("!HHIIBBHHH", rnd.randrange(1024, 65535), rnd.choice((80, 443, 22)),
                                  rnd.getrandbits(32), rnd.getrandbits(32), 0x50, 0x10, 65535, 0, 0)
                l4, proto = tcp + data, 6
            elif kind < 0.65:  # full-size segments
                data = payload[:1460]
                tcp = struct.pack("!HHIIBBHHH", rnd.choice((80, 443)), rnd.randrange(1024, 65535),
                                  rnd.getrandbits(32), rnd.getrandbits(32), 0x50, 0x18, 65535, 0, 0)
                l4, proto = tcp + data, 6
            elif kind < 0.97:  # datagrams of any size
                data = payload[: rnd.randrange(18, 1472)]
                udp = struct.pack("!HHHH", rnd.randrange(1024, 65535), rnd.choice((53, 123, 514, 4789)),
                                  8 + len(data), 0)
                l4, proto = udp + data, 17
            else:
                l4, proto = None, 0
            if l4 is None:
                arp = struct.pack("!HHBBH6s4s6s4s", 1, 0x0800, 6, 4, 1, src_mac, src, b"\0" * 6, dst)
                frame = b"\xff" * 6 + src_mac + b"\x08\x06" + arp + b"\0" * 18
            else:
                ip = ip_header(20 + len(l4), proto, src, dst, i)
                frame = dst_mac + src_mac + b"\x08\x00" + ip + l4
            usec += 7
            if usec >= 1000000:
                sec, usec = sec + 1, usec - 1000000
            f.write(struct.pack("<IIII", sec, usec, len(frame), len(frame)))
            f.write(frame)


if __name__ == "__main__":
    main()
