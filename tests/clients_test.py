#!/usr/bin/env python3
"""Real FTP clients against a running kadrel server: Python's ftplib, curl
and lftp log in, list, download and resume, and the bytes match.

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
import tempfile

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
    print("clients:", ", ".join(notes))
    if failures:
        print("\n".join(failures))
        sys.exit(1)


main()
