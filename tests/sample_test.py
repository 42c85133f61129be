#!/usr/bin/env python3
"""kadrel-sample: its console output byte for byte, and a client logging in.

Usage: sample_test.py <command that runs kadrel-sample>...
The login check needs ports 21 and 20 (root or CAP_NET_BIND_SERVICE on
Linux); without them it is skipped (exit code 77 when nothing else ran).
"""
import ftplib
import os
import subprocess
import sys
import tempfile

SAMPLE = sys.argv[1:]
BANNER = "\nThis is a primitive UI, demonstrating the usage of kadrel.dll.\n\n"
PROMPT = "Press Return to close server.\n"
NOTE = "\nNOTE: NO USER HAS BEEN ADDED TO CONFIGURATION!\nSee .bat for further information.\n\n"
failures = []


def block(login, password, share, writable):
    return (f"-- Added user -- \n login:    {login}\n pass:     {password}\n"
            f" share:    {share}\n writable: {writable}\n")


def run(args):
    done = subprocess.run(SAMPLE + args, input=b"\n", capture_output=True, timeout=120)
    return done.returncode, done.stdout.decode("latin-1").replace("\r\n", "\n"), \
        done.stderr.decode("latin-1")


def expect(name, args, stdout, stderr_has=None):
    code, out, err = run(args)
    if code != 0 or out != stdout or (stderr_has is not None and stderr_has not in err) \
            or (stderr_has is None and err.strip()):
        failures.append(f"{name}: exit {code}\n--- stdout\n{out!r}\n--- expected\n{stdout!r}"
                        f"\n--- stderr\n{err!r}")


expect("no arguments", [], BANNER + NOTE + PROMPT)
expect("one writable account", ["alice", "secret", "/srv/ftp", "1"],
       BANNER + block("alice", "secret", "/srv/ftp", 1) + PROMPT)
expect("two accounts in order", ["a", "p1", "/one", "0", "b", "p2", "/two", "1"],
       BANNER + block("a", "p1", "/one", 0) + block("b", "p2", "/two", 1) + PROMPT)
expect("switch yes", ["u", "p", "/s", "yes"], BANNER + block("u", "p", "/s", 0) + PROMPT)
expect("switch 01", ["u", "p", "/s", "01"], BANNER + block("u", "p", "/s", 0) + PROMPT)
expect("empty texts", ["", "", "", ""], BANNER + block("", "", "", 0) + PROMPT)
expect("incomplete group", ["u", "p", "/s", "1", "v", "q"],
       BANNER + block("u", "p", "/s", 1) + PROMPT, stderr_has="ignoring the last 2")


def login_check():
    """Runs the sample with one account and logs in on port 21."""
    with tempfile.TemporaryDirectory() as share:
        open(os.path.join(share, "hello.txt"), "w").close()
        sample = subprocess.Popen(SAMPLE + ["alice", "secret", share, "0"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)
        try:
            for _ in range(20):
                if sample.stdout.readline().decode("latin-1").startswith("Press Return"):
                    break
            try:
                ftp = ftplib.FTP()
                ftp.connect("127.0.0.1", 21, timeout=10)
            except OSError as error:
                return f"skipped: port 21 not reachable ({error})"
            ftp.login("alice", "secret")
            directory = ftp.pwd()
            ftp.quit()
            if directory != "/":
                failures.append(f"login: PWD gave {directory!r}")
            sample.stdin.write(b"\n")
            sample.stdin.close()
            code = sample.wait(timeout=30)
            if code != 0:
                failures.append(f"login: sample ended with {code}")
        finally:
            if sample.poll() is None:
                sample.kill()
                sample.wait()
    return "client logged in"


def may_bind_low_ports():
    return os.name != "posix" or os.geteuid() == 0


note = login_check() if may_bind_low_ports() else "skipped: not root"
print(f"sample output checks done; login check: {note}")
if failures:
    print("\n\n".join(failures))
    sys.exit(1)
