#!/usr/bin/env python3
"""A loopback peer written apart from the library, for the socket tests.

TCP on 127.0.0.1: echoes every byte back until the client closes.
UDP on 127.0.0.1: answers each datagram with the same bytes, sent to the
sender's address and port; a datagram "PORT n" makes it send "hello" to
127.0.0.1 port n from its own socket.

Writes "tcp PORT" and "udp PORT" lines to the file named by its argument
once both are ready (ports chosen by the system, so runs never collide), and
ends by itself after ten minutes should nobody stop it.
"""
import os
import socket
import sys
import threading
import time


def echo(conn):
    with conn:
        while True:
            data = conn.recv(65536)
            if not data:
                return
            conn.sendall(data)


def serve_tcp(server):
    while True:
        conn, _ = server.accept()
        threading.Thread(target=echo, args=(conn,), daemon=True).start()


def serve_udp(udp):
    while True:
        data, sender = udp.recvfrom(65536)
        if data.startswith(b"PORT "):
            udp.sendto(b"hello", ("127.0.0.1", int(data[5:])))
        else:
            udp.sendto(data, sender)


def main():
    info = sys.argv[1]
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(16)
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", 0))
    threading.Thread(target=serve_tcp, args=(server,), daemon=True).start()
    threading.Thread(target=serve_udp, args=(udp,), daemon=True).start()
    partial = info + ".part"
    with open(partial, "w") as f:
        f.write("tcp %d\nudp %d\n" % (server.getsockname()[1], udp.getsockname()[1]))
    os.replace(partial, info)
    time.sleep(600)


if __name__ == "__main__":
    main()
