"""Socket helpers shared by the test scripts that run Tessel's programs against peers on
127.0.0.1: free ports, and a hand-made requestor that opens an association and leaves it idle."""
import socket
import struct
import time


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port, seconds=10):
    deadline = time.time() + seconds
    while time.time() < deadline:
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", port)) == 0:
                return True
        time.sleep(0.1)
    return False


def item(kind, body):
    return struct.pack(">BBH", kind, 0, len(body)) + body


def receive(peer, count):
    """Up to `count` bytes, fewer when the peer closes or the socket times out."""
    data = b""
    try:
        while len(data) < count:
            chunk = peer.recv(count - len(data))
            if not chunk:
                break
            data += chunk
    except OSError:
        pass
    return data


def open_idle_association(port, called, abstract_syntax):
    """Requests an association for `abstract_syntax` in implicit little endian from `called` and
    leaves it idle; returns the socket and whether the acceptor accepted."""
    context = item(0x30, abstract_syntax.encode()) + item(0x40, b"1.2.840.10008.1.2")
    user = item(0x51, struct.pack(">I", 16384)) + item(0x52, b"1.2.3.4")
    body = (struct.pack(">HH", 1, 0) + called.ljust(16).encode() + b"IDLE_SCU".ljust(16) +
            bytes(32) + item(0x10, b"1.2.840.10008.3.1.1.1") +
            item(0x20, bytes([1, 0, 0, 0]) + context) + item(0x50, user))
    peer = socket.create_connection(("127.0.0.1", port), timeout=10)
    peer.sendall(struct.pack(">BBI", 1, 0, len(body)) + body)
    head = receive(peer, 6)
    receive(peer, struct.unpack(">I", head[2:6])[0] if len(head) == 6 else 0)
    return peer, head[:1] == b"\x02"
