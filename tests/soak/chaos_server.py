#!/usr/bin/env python3
"""A chaos image server for soak runs, on 127.0.0.1 and a port the system picks.

Every request gets one answer chosen at random: a complete image (delimited by its length, by
the server's close, or in chunks), a stall far beyond the client's patience, a reset in the
middle of the body, or garbage whose framing can never complete. Every body is unique (it starts
with the request's sequence number). One JSON line per answer goes to the log, with the SHA-256
and size of the whole body and whether the server sent all of it and closed in order
("complete"). The server stops by itself after --seconds or --max-requests.
"""

import argparse
import hashlib
import json
import os
import random
import socket
import string
import struct
import threading
import time

# Kind of answer and its weight.
KINDS = [
    ("length", 30),
    ("close", 18),
    ("chunked", 18),
    ("stall", 6),
    ("reset", 13),
    ("garbage", 15),
]
GARBAGE = ["binary-then-reset", "header-without-end", "short-length", "short-chunk", "endless-line"]
STATUS_LINES = ["HTTP/1.0 200 OK", "HTTP/1.1 200 OK", "HTTP/1.0 404 Not Found", "HTTP/1.1 200"]


class Log:
    def __init__(self, path):
        self._file = open(path, "a", encoding="utf-8")
        self._lock = threading.Lock()

    def write(self, record):
        with self._lock:
            self._file.write(json.dumps(record, sort_keys=True) + "\n")
            self._file.flush()

    def close(self):
        self._file.close()


def body_for(seq, rng):
    roll = rng.random()
    if roll < 0.05:
        size = rng.randint(0, 100)
    elif roll < 0.45:
        size = rng.randint(1, 64 * 1024)
    elif roll < 0.85:
        size = rng.randint(64 * 1024, 512 * 1024)
    else:
        size = rng.randint(512 * 1024, 2 * 1024 * 1024)
    return b"SOAK%08d\n" % seq + os.urandom(size)


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        piece = conn.recv(65536)
        if not piece or len(data) > 65536:
            return None
        data += piece
    return data


def send_in_pieces(conn, data, rng):
    """Sends data in a few pieces with short gaps, so that the client meets packet edges."""
    pieces = rng.randint(1, 4)
    step = max(1, len(data) // pieces)
    for at in range(0, len(data), step):
        conn.sendall(data[at:at + step])
        if rng.random() < 0.5:
            time.sleep(rng.random() * 0.03)


def chunked(body, rng):
    out = b""
    at = 0
    while at < len(body):
        size = min(len(body) - at, rng.choice([1, 7, 100, 4096, 16384, 65536, 300000]))
        size_text = "%x" % size if rng.random() < 0.5 else "%X" % size
        if rng.random() < 0.2:
            size_text += ";ext=1"
        out += size_text.encode() + b"\r\n" + body[at:at + size] + b"\r\n"
        at += size
    return out + b"0\r\n\r\n"


def reset(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def close_in_order(conn):
    """FIN first, then wait for the client's close, so that no unread byte turns it into a reset."""
    try:
        conn.shutdown(socket.SHUT_WR)
        conn.settimeout(10)
        while conn.recv(65536):
            pass
    except OSError:
        pass  # the client has gone already
    conn.close()


def letters(rng, count):
    return "".join(rng.choice(string.ascii_letters) for _ in range(count)).encode()


def answer(conn, seq, rng, stall_seconds, log):
    kind = rng.choices([k for k, _ in KINDS], [w for _, w in KINDS])[0]
    body = body_for(seq, rng)
    record = {
        "seq": seq,
        "kind": kind,
        "detail": "",
        "size": len(body),
        "sha256": hashlib.sha256(body).hexdigest(),
        "complete": False,
        "start": time.time(),
    }
    status = rng.choice(STATUS_LINES).encode() + b"\r\nContent-Type: image/jpeg\r\n"
    try:
        conn.settimeout(10)
        if read_request(conn) is None:
            record["detail"] = "no request"
            conn.close()
            return
        if kind in ("length", "close", "chunked"):
            if kind == "length":
                wire = status + b"Content-Length: %d\r\n\r\n" % len(body) + body
            elif kind == "close":
                wire = status + b"\r\n" + body
            else:
                wire = status + b"Transfer-Encoding: chunked\r\n\r\n" + chunked(body, rng)
            send_in_pieces(conn, wire, rng)
            # A length or the last chunk ends the body, and a client may leave as soon as it has
            # read that far; a body that runs until the close ends only with the FIN.
            if kind == "close":
                conn.shutdown(socket.SHUT_WR)
            record["complete"] = True
            record["end"] = time.time()
            log.write(record)
            record = None
            close_in_order(conn)
            return
        cut = rng.randint(0, max(0, len(body) - 1))
        framing = rng.choice(["length", "close", "chunked"])
        if framing == "length":
            head = status + b"Content-Length: %d\r\n\r\n" % len(body)
            partial = head + body[:cut]
        elif framing == "close":
            partial = status + b"\r\n" + body[:cut]
        else:
            head = status + b"Transfer-Encoding: chunked\r\n\r\n"
            partial = head + b"%x\r\n" % len(body) + body[:cut]
        record["detail"] = framing
        if kind == "stall":
            conn.sendall(partial)
            time.sleep(stall_seconds)
            conn.close()
        elif kind == "reset":
            conn.sendall(partial)
            reset(conn)
        else:
            garbage = rng.choice(GARBAGE)
            record["detail"] = garbage
            if garbage == "binary-then-reset":
                conn.sendall(os.urandom(rng.randint(1, 4096)))
                reset(conn)
            elif garbage == "header-without-end":
                conn.sendall(status + b"X-" + letters(rng, rng.randint(1, 8192)))
                close_in_order(conn)
            elif garbage == "short-length":
                conn.sendall(status + b"Content-Length: %d\r\n\r\n" % (len(body) + 1) + body)
                close_in_order(conn)
            elif garbage == "short-chunk":
                conn.sendall(status + b"Transfer-Encoding: chunked\r\n\r\n"
                             + b"%x\r\n" % (len(body) + 1) + body)
                close_in_order(conn)
            else:  # a header line longer than any client should take
                conn.sendall(status + b"X-Junk: " + letters(rng, 100 * 1024))
                close_in_order(conn)
    except OSError as error:
        if record is not None:
            record["error"] = str(error)
        try:
            conn.close()
        except OSError:
            pass
    finally:
        if record is not None:
            record["end"] = time.time()
            log.write(record)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--seconds", type=float, required=True)
    parser.add_argument("--max-requests", type=int, default=100000)
    parser.add_argument("--stall", type=float, default=5.0)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()

    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    rng = random.Random(seed)
    log = Log(args.log)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    listener.settimeout(0.5)
    temporary = args.port_file + ".tmp"
    with open(temporary, "w", encoding="utf-8") as port_file:
        port_file.write("%d\n" % listener.getsockname()[1])
    os.rename(temporary, args.port_file)

    deadline = time.monotonic() + args.seconds
    threads = []
    seq = 0
    while time.monotonic() < deadline and seq < args.max_requests:
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        seq += 1
        thread = threading.Thread(
            target=answer,
            args=(conn, seq, random.Random(rng.randrange(1 << 30)), args.stall, log),
            daemon=True)
        thread.start()
        threads.append(thread)
        threads = [t for t in threads if t.is_alive()]
    listener.close()
    for thread in threads:
        thread.join(timeout=args.stall + 15)
    log.write({"summary": True, "seed": seed, "requests": seq})
    log.close()


if __name__ == "__main__":
    main()
