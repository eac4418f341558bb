# The node's echoes, answered in user space with the kernel's own answers off
# in its namespace: an echo to DELAYED is answered after TUNNEL_MS when it came
# through the tunnel (from 10.240.0.0/24), after DIRECT_MS otherwise; one to
# SILENT never; any other at once. Prints each echo answered.
#   python3 echo_delays.py DELAYED TUNNEL_MS DIRECT_MS SILENT
import heapq
import itertools
import select
import socket
import struct
import sys
import time

delayed, silent = sys.argv[1], sys.argv[4]
tunnel_delay, direct_delay = int(sys.argv[2]) / 1000, int(sys.argv[3]) / 1000
requests = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
replies = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)  # with our own IP header
due = []  # (when, order, packet, to)
order = itertools.count()


def checksum(data):
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data[: len(data) // 2 * 2]))
    if len(data) % 2:
        total += data[-1] << 8
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


print("ready", flush=True)
while True:
    wait = max(0, due[0][0] - time.monotonic()) if due else None
    if select.select([requests], [], [], wait)[0]:
        packet = requests.recv(2048)
        start = (packet[0] & 0x0F) * 4
        source, destination = socket.inet_ntoa(packet[12:16]), socket.inet_ntoa(packet[16:20])
        if packet[start] != 8 or destination == silent:  # echo requests only
            continue
        delay = 0
        if destination == delayed:
            delay = tunnel_delay if source.startswith("10.240.0.") else direct_delay
        icmp = bytearray(packet[start:])
        icmp[0], icmp[2:4] = 0, b"\0\0"
        icmp[2:4] = struct.pack("!H", checksum(bytes(icmp)))
        header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(icmp), 0, 0, 64, 1, 0, packet[16:20], packet[12:16])
        heapq.heappush(due, (time.monotonic() + delay, next(order), header + icmp, source))
        print(source, destination, flush=True)
    while due and due[0][0] <= time.monotonic():
        _, _, reply, to = heapq.heappop(due)
        replies.sendto(reply, (to, 0))
