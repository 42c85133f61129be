#!/usr/bin/env python3
"""Real FTP clients against a running kadrel server: Python's ftplib, curl
and lftp log in, list, download and resume, and the bytes match. Then each
runs many transfers at once from the one address 127.0.0.1 (lftp mirror
--parallel, curl --parallel, ftplib threads), several times over, since a
data connection paired with the wrong client is a race: every byte of every
file, and every listing, is checked.

Usage: clients_test.py <command that runs serve_host>...
Clients that are not installed are reported as skipped.
"""
import ftplib
import hashlib
import io
import os
import shutil
import subprocess
import sys
import random
import tempfile
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serve_host import ServeHost  # noqa: E402

failures = []
notes = []


def check(name, condition, detail=""):
    if not condition:
        failures.append(f"{name}: {detail}")


def sha(data):
    return hashlib.sha256(data).hexdigest()


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, timeout=120, **kwargs)


def ftplib_checks(host, files):
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", host.control_port, timeout=20)
    ftp.login("alice", "secret")
    check("ftplib pwd", ftp.pwd() == "/")
    lines = []
    ftp.retrlines("LIST", lines.append)
    check("ftplib list", any(line.endswith(" big.bin") for line in lines), lines)
    data = io.BytesIO()
    ftp.retrbinary("RETR big.bin", data.write)
    check("ftplib retr", sha(data.getvalue()) == sha(files["big.bin"]))
    data = io.BytesIO()
    ftp.retrbinary("RETR big.bin", data.write, rest=1000000)
    check("ftplib resume", sha(data.getvalue()) == sha(files["big.bin"][1000000:]))
    # A refused transfer (ftplib has opened and then drops its data
    # connection) must not spoil the next one.
    for refused in ("RETR missing.txt", "RETR ", "LIST -a", "NLST"):
        try:
            ftp.retrbinary(refused, lambda _: None)
            failures.append(f"ftplib {refused!r}: not refused")
        except ftplib.error_perm:
            pass
        data = io.BytesIO()
        ftp.retrbinary("RETR small.txt", data.write)
        check(f"ftplib after {refused!r}", data.getvalue() == files["small.txt"], data.getvalue())
    ftp.cwd("sub")
    check("ftplib cwd", ftp.pwd() == "/sub/")
    ftp.quit()
    notes.append("ftplib")


def curl_checks(host, files, work):
    if shutil.which("curl") is None:
        notes.append("curl skipped (not installed)")
        return
    listing = run(["curl", "-sS", host.url()])
    check("curl list", listing.returncode == 0 and b" big.bin" in listing.stdout, listing.stderr)
    # EPSV first (502), then PASV: curl falls back by itself.
    out = os.path.join(work, "curl-big")
    got = run(["curl", "-sS", host.url("big.bin"), "-o", out])
    check("curl retr", got.returncode == 0 and sha(open(out, "rb").read()) == sha(files["big.bin"]),
          got.stderr)
    with open(out, "r+b") as partial:
        partial.truncate(777777)
    got = run(["curl", "-sS", "--disable-epsv", "-C", "-", host.url("big.bin"), "-o", out])
    check("curl resume", got.returncode == 0 and sha(open(out, "rb").read()) == sha(files["big.bin"]),
          got.stderr)
    # A failed download, then a good one, on the same connection.
    bad, good = os.path.join(work, "curl-missing"), os.path.join(work, "curl-small")
    got = run(["curl", "-sS", host.url("missing.txt"), "-o", bad, host.url("small.txt"), "-o", good])
    check("curl after a failure", os.path.exists(good) and open(good, "rb").read() == files["small.txt"],
          got.stderr)
    notes.append("curl")


def lftp_checks(host, files, work):
    if shutil.which("lftp") is None:
        notes.append("lftp skipped (not installed)")
        return
    script = (f"set net:max-retries 1; set net:timeout 10; set cmd:fail-exit no; "
              f"open -u alice,secret -p {host.control_port} 127.0.0.1; ls; cd sub; cd ..; "
              f"get missing.txt -o {work}/lftp-missing; get small.txt -o {work}/lftp-small; "
              f"get big.bin -o {work}/lftp-big; bye")
    got = run(["lftp", "-c", script])
    check("lftp list", b" big.bin" in got.stdout, got.stdout + got.stderr)
    check("lftp get after a failure",
          open(f"{work}/lftp-small", "rb").read() == files["small.txt"], got.stderr)
    check("lftp get", sha(open(f"{work}/lftp-big", "rb").read()) == sha(files["big.bin"]))
    notes.append("lftp")


PARALLEL_RUNS = 3


def parallel_tree(share):
    """120 files of distinct contents and sizes (empty ones among them) in
    four directories below par/; returns {relative path: bytes}."""
    rng = random.Random(9)
    tree = {}
    for i in range(120):
        size = 0 if i % 17 == 0 else rng.randrange(1, 300000)
        data = (f"file {i}:".encode() + rng.randbytes(size))[:size]
        tree[f"par/d{i % 4}/f{i:03d}.bin"] = data
    for name, data in tree.items():
        path = os.path.join(share, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)
    return tree


def compare_tree(label, tree, root):
    wrong = [name for name, data in tree.items()
             if not os.path.isfile(os.path.join(root, name[len("par/"):])) or
             open(os.path.join(root, name[len("par/"):]), "rb").read() != data]
    check(label, not wrong, f"{len(wrong)} of {len(tree)} files wrong, e.g. {wrong[:3]}")


def lftp_parallel(host, tree, work):
    if shutil.which("lftp") is None:
        return
    for run_number in range(PARALLEL_RUNS):
        out = os.path.join(work, f"mirror-{run_number}")
        script = (f"set net:max-retries 1; set net:timeout 20; "
                  f"open -u alice,secret -p {host.control_port} 127.0.0.1; "
                  f"mirror --parallel=8 par {out}; bye")
        got = run(["lftp", "-c", script])
        check(f"lftp mirror --parallel=8, run {run_number + 1}", got.returncode == 0,
              got.stdout + got.stderr)
        compare_tree(f"lftp mirror --parallel=8, run {run_number + 1}", tree, out)
    notes.append(f"lftp mirror --parallel=8 x{PARALLEL_RUNS}")


def curl_parallel(host, tree, work):
    if shutil.which("curl") is None:
        return
    names = sorted(tree)[:40]
    for run_number in range(PARALLEL_RUNS):
        out = os.path.join(work, f"curl-par-{run_number}")
        args = ["curl", "-sS", "-Z", "--parallel-max", "8", "--create-dirs"]
        for name in names:
            args += [host.url(name), "-o", os.path.join(out, name[len("par/"):])]
        got = run(args)
        check(f"curl -Z --parallel-max 8, run {run_number + 1}", got.returncode == 0, got.stderr)
        compare_tree(f"curl -Z --parallel-max 8, run {run_number + 1}",
                     {name: tree[name] for name in names}, out)
    notes.append(f"curl -Z x{PARALLEL_RUNS}")


def ftplib_parallel(host, tree):
    """24 clients at once, each downloading files of its own and listing."""
    names = sorted(tree)
    listings = {d: sorted(n.rsplit("/", 1)[1] for n in names if n.startswith(f"par/{d}/"))
                for d in ("d0", "d1", "d2", "d3")}
    for run_number in range(PARALLEL_RUNS):
        errors = []

        def client(index):
            try:
                ftp = ftplib.FTP()
                ftp.connect("127.0.0.1", host.control_port, timeout=60)
                ftp.login("alice", "secret")
                for step, name in enumerate(names[index::24]):
                    data = io.BytesIO()
                    ftp.retrbinary(f"RETR {name}", data.write)
                    if data.getvalue() != tree[name]:
                        errors.append(f"client {index}: {name} wrong")
                    directory = f"d{(index + step) % 4}"
                    lines = []
                    ftp.cwd(f"/par/{directory}")
                    ftp.retrlines("LIST", lines.append)
                    ftp.cwd("/")
                    if sorted(line.rsplit(" ", 1)[1] for line in lines) != listings[directory]:
                        errors.append(f"client {index}: listing of {directory} wrong")
                ftp.quit()
            except Exception as error:  # reported as a failure of this client
                errors.append(f"client {index}: {error!r}")

        threads = [threading.Thread(target=client, args=(i,)) for i in range(24)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=300)
        check(f"ftplib, 24 clients at once, run {run_number + 1}", not errors, errors[:5])
    notes.append(f"ftplib 24 threads x{PARALLEL_RUNS}")


def main():
    command = sys.argv[1:]
    with tempfile.TemporaryDirectory() as share, tempfile.TemporaryDirectory() as work:
        files = {"big.bin": os.urandom(3 * 1024 * 1024 + 17), "small.txt": b"small\n",
                 "sub/inner.txt": b"inner"}
        os.mkdir(os.path.join(share, "sub"))
        for name, data in files.items():
            with open(os.path.join(share, name), "wb") as out:
                out.write(data)
        with ServeHost(command, share) as host:
            ftplib_checks(host, files)
            curl_checks(host, files, work)
            lftp_checks(host, files, work)
            tree = parallel_tree(share)
            ftplib_parallel(host, tree)
            curl_parallel(host, tree, work)
            lftp_parallel(host, tree, work)
    print("clients:", ", ".join(notes))
    if failures:
        print("\n".join(failures))
        sys.exit(1)


main()
