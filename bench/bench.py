#!/usr/bin/env python3
"""kadrel benchmarks over loopback (not tests: they print figures).

  0. replies: 2000 commands one at a time, and 2000 sent in one burst

  1. one RETR of a 1 GiB file: throughput
  2. LIST of a directory holding 100 000 files: time
  3. 50 clients downloading 20 MiB each, every hash checked: aggregate
     throughput with a loopback address per client (transfers run side by
     side). Then, for information, the same with all clients on 127.0.0.1:
     data connections are paired with clients by address alone, so clients
     that share an address and open their data connections before sending
     the transfer command (ftplib does) can receive each other's files.

Usage: bench.py <serve_host binary> [work directory]
"""
import ftplib
import hashlib
import os
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from serve_host import ServeHost  # noqa: E402

MIB = 1024 * 1024


def connect(host, source="127.0.0.1"):
    ftp = ftplib.FTP(source_address=(source, 0))
    ftp.connect("127.0.0.1", host.control_port, timeout=120)
    ftp.login("alice", "secret")
    ftp.voidcmd("TYPE I")
    return ftp


def write_random(path, size):
    with open(path, "wb") as out:
        block = os.urandom(8 * MIB)
        for _ in range(size // len(block)):
            out.write(block)
            block = block[1:] + block[:1]  # not one repeated block


def bench_replies(host):
    """Round trips on the control connection; a reply that waited for the
    client's delayed acknowledgement would show as about 40 ms."""
    import socket
    with socket.create_connection(("127.0.0.1", host.control_port), timeout=30) as control:
        control.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        reader = control.makefile("rb")
        reader.readline()
        for line in (b"USER alice\r\n", b"PASS secret\r\n"):
            control.sendall(line)
            reader.readline()
        start = time.perf_counter()
        for _ in range(2000):
            control.sendall(b"NOOP\r\n")
            assert reader.readline() == b"200 NOOP ok.\r\n"
        one_at_a_time = time.perf_counter() - start
        start = time.perf_counter()
        control.sendall(b"NOOP\r\n" * 2000)
        for _ in range(2000):
            assert reader.readline() == b"200 NOOP ok.\r\n"
        burst = time.perf_counter() - start
    print(f"2000 NOOPs one at a time: {one_at_a_time * 1000 / 2000:.3f} ms per reply; "
          f"in one burst: {burst * 1000:.0f} ms in all")


def bench_big_retr(host, share):
    write_random(os.path.join(share, "big.bin"), 1024 * MIB)
    ftp = connect(host)
    received = 0
    start = time.perf_counter()
    with ftp.transfercmd("RETR big.bin") as data:
        buffer = bytearray(4 * MIB)
        view = memoryview(buffer)
        while True:
            n = data.recv_into(view)
            if n == 0:
                break
            received += n
    ftp.voidresp()
    seconds = time.perf_counter() - start
    ftp.quit()
    os.remove(os.path.join(share, "big.bin"))
    assert received == 1024 * MIB, received
    print(f"RETR 1 GiB: {seconds:.2f} s, {1024 / seconds:.0f} MiB/s")


def bench_big_list(host, share):
    directory = os.path.join(share, "many")
    os.mkdir(directory)
    for i in range(100000):
        open(os.path.join(directory, f"file-{i:06d}.txt"), "w").close()
    ftp = connect(host)
    ftp.cwd("many")
    lines = []
    start = time.perf_counter()
    ftp.retrlines("LIST", lines.append)
    seconds = time.perf_counter() - start
    ftp.quit()
    assert len(lines) == 100000, len(lines)
    print(f"LIST of 100 000 files: {seconds:.2f} s ({len(lines)} lines)")


def bench_many_clients(host, share, distinct_addresses):
    names = [f"c{i:02d}.bin" for i in range(50)]
    expected = {}
    for i, name in enumerate(names):
        data = os.urandom(20 * MIB)
        with open(os.path.join(share, name), "wb") as out:
            out.write(data)
        expected[name] = hashlib.md5(data).hexdigest()
    results = {}

    def client(i, name):
        source = f"127.0.0.{i + 2}" if distinct_addresses else "127.0.0.1"
        digest = hashlib.md5()
        try:
            ftp = connect(host, source)
            ftp.retrbinary(f"RETR {name}", digest.update, blocksize=MIB)
            ftp.quit()
            results[name] = digest.hexdigest()
        except Exception as error:  # reported below as a wrong hash
            results[name] = repr(error)

    threads = [threading.Thread(target=client, args=(i, n)) for i, n in enumerate(names)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=600)
    seconds = time.perf_counter() - start
    wrong = [n for n in names if results.get(n) != expected[n]]
    label = "one address each" if distinct_addresses else \
        "all from 127.0.0.1, informational: pairing is by address"
    print(f"50 clients x 20 MiB ({label}): {seconds:.2f} s, {50 * 20 / seconds:.0f} MiB/s "
          f"aggregate, {50 - len(wrong)}/50 hashes right")
    for name in names:
        os.remove(os.path.join(share, name))
    return not wrong


def main():
    binary = sys.argv[1]
    base = sys.argv[2] if len(sys.argv) > 2 else None
    with tempfile.TemporaryDirectory(dir=base) as share:
        with ServeHost([binary], share) as host:
            bench_replies(host)
            bench_big_retr(host, share)
            bench_big_list(host, share)
            ok = bench_many_clients(host, share, distinct_addresses=True)
            bench_many_clients(host, share, distinct_addresses=False)
    sys.exit(0 if ok else 1)


main()
