#!/usr/bin/env python3
"""The Python host of README.md ("Using kadrel from other languages"), run
exactly as written there: it serves a share and ftplib downloads from it.

Usage: readme_example_test.py <README.md> <folder holding libkadrel.so.1>
"""
import ftplib
import io
import os
import random
import re
import subprocess
import sys
import tempfile

SECTION = "## Using kadrel from other languages"


def example(readme):
    """The one Python block of the section, byte for byte."""
    text = open(readme, encoding="utf-8").read()
    start = text.index(SECTION)
    end = text.find("\n## ", start + len(SECTION))
    blocks = re.findall(r"^```python\n(.*?)^```$", text[start:end if end >= 0 else None],
                        re.S | re.M)
    if len(blocks) != 1:
        sys.exit(f"expected one python block in the section, found {len(blocks)}")
    return blocks[0]


def serve(script, share, libdir):
    """Starts the example on free ports; (process, control port)."""
    env = dict(os.environ, LD_LIBRARY_PATH=libdir)
    for _ in range(20):
        port = random.randrange(15000, 29000, 2)
        host = subprocess.Popen([sys.executable, script, share, str(port)], env=env,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        line = host.stdout.readline()
        if line.startswith("serving "):
            return host, port
        _, err = host.communicate(timeout=60)
        if "cannot listen" not in err:
            sys.exit(f"the example did not start: {line!r} {err}")
    sys.exit("the example found no free ports")


def main():
    readme, libdir = sys.argv[1:3]
    with tempfile.TemporaryDirectory() as share, tempfile.TemporaryDirectory() as work:
        script = os.path.join(work, "serve.py")
        with open(script, "w", encoding="utf-8") as out:
            out.write(example(readme))
        data = os.urandom(1024 * 1024 + 3)
        with open(os.path.join(share, "file.bin"), "wb") as out:
            out.write(data)

        host, port = serve(script, share, libdir)
        try:
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", port, timeout=20)
            ftp.login("alice", "secret")
            got = io.BytesIO()
            ftp.retrbinary("RETR file.bin", got.write)
            ftp.quit()
            out, err = host.communicate("\n", timeout=60)
        finally:
            if host.poll() is None:
                host.kill()
                host.wait()
    if got.getvalue() != data:
        sys.exit(f"download differs: {len(got.getvalue())} bytes, expected {len(data)}")
    if host.returncode != 0 or err:
        sys.exit(f"the example ended with {host.returncode}: {err}")
    print(f"README Python host: served {len(data)} bytes to ftplib on port {port}")


main()
