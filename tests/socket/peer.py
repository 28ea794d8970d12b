#!/usr/bin/env python3
"""A loopback peer written apart from the library, for the socket tests.

TCP on 127.0.0.1: echoes every byte back until the client closes.
UDP on 127.0.0.1: answers each datagram with the same bytes, sent to the
sender's address and port; a datagram "PORT n" makes it send "hello" to
127.0.0.1 port n from its own socket; "CONNECT n" makes it connect over TCP
to 127.0.0.1 port n, send "hello from the peer" and close.
TCP "close" server on 127.0.0.1: sends "bye" to each client and closes the
connection at once, without waiting for the client.

Writes "tcp PORT", "udp PORT" and "close PORT" lines to the file named by
its argument once all are ready (ports chosen by the system, so runs never
collide), and ends by itself after ten minutes should nobody stop it.
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


def connect_and_close(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as conn:
            conn.sendall(b"hello from the peer")
    except OSError:
        pass


def serve_udp(udp):
    while True:
        data, sender = udp.recvfrom(65536)
        if data.startswith(b"PORT "):
            udp.sendto(b"hello", ("127.0.0.1", int(data[5:])))
        elif data.startswith(b"CONNECT "):
            threading.Thread(target=connect_and_close, args=(int(data[8:]),),
                             daemon=True).start()
        else:
            udp.sendto(data, sender)


def serve_close(server):
    while True:
        conn, _ = server.accept()
        with conn:
            conn.sendall(b"bye")


def main():
    info = sys.argv[1]
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(16)
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", 0))
    closer = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    closer.bind(("127.0.0.1", 0))
    closer.listen(16)
    threading.Thread(target=serve_tcp, args=(server,), daemon=True).start()
    threading.Thread(target=serve_udp, args=(udp,), daemon=True).start()
    threading.Thread(target=serve_close, args=(closer,), daemon=True).start()
    partial = info + ".part"
    with open(partial, "w") as f:
        f.write("tcp %d\nudp %d\nclose %d\n" % (server.getsockname()[1], udp.getsockname()[1],
                                                 closer.getsockname()[1]))
    os.replace(partial, info)
    time.sleep(600)


if __name__ == "__main__":
    main()
