# The game server's side of the split test: answers each UDP datagram and TCP
# connection on HOST:PORT with the address it came from.
#   python3 echo_source.py HOST PORT
import socket
import sys
import threading

address = (sys.argv[1], int(sys.argv[2]))
datagrams = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
datagrams.bind(address)
streams = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
streams.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
streams.bind(address)
streams.listen(16)


def answer_datagrams():
    while True:
        _, peer = datagrams.recvfrom(64)
        datagrams.sendto(peer[0].encode(), peer)


threading.Thread(target=answer_datagrams, daemon=True).start()
print("ready", flush=True)
while True:
    connection, peer = streams.accept()
    connection.recv(64)
    connection.sendall(peer[0].encode())
    connection.close()
