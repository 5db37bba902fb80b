#!/usr/bin/env python3
"""Runs every client of the latency comparison against one POP3 server and
prints median and p90 of one check for each, with its ratio to the floor.

In-process loops: the engine (Connect/Disconnect), the floor (a minimal
blocking client) and Python's poplib. One check per process: postwren-check,
fetchmail -c and curl. Every check must find the expected message count (or,
for curl, an accepted STAT); a client that fails stops the run.

With --tls-host and --ca, a second table does the same over TLS from the first
byte (POP3S), every client verifying the server against the same private CA.
"""
import argparse
import os
import poplib
import pwd
import shutil
import ssl
import statistics
import subprocess
import sys
import tempfile
import time


def percentile(samples, fraction):
    ordered = sorted(samples)
    index = min(len(ordered) - 1, max(0, round(fraction * (len(ordered) - 1))))
    return ordered[index]


def timed(run, iterations, warmup):
    for _ in range(warmup):
        run()
    samples = []
    for _ in range(iterations):
        start = time.perf_counter()
        run()
        samples.append((time.perf_counter() - start) * 1e6)
    return samples


def in_process_samples(args, host, port, tls_ca=None):
    argv = [args.bench_bin, "--host", host, "--port", str(port), "--user", args.user,
            "--password", args.password, "--iterations", str(args.iterations), "--warmup", str(args.warmup)]
    if tls_ca:
        argv += ["--tls", tls_ca]
    out = subprocess.run(argv, check=True, capture_output=True, text=True).stdout
    result = {}
    for line in out.splitlines():
        name, *values = line.split()
        result[name] = [float(v) for v in values]
    return result


def poplib_check(args):
    client = poplib.POP3(args.host, args.port)
    client.user(args.user)
    client.pass_(args.password)
    count, _ = client.stat()
    client.quit()
    if count != args.expect:
        raise RuntimeError(f"poplib counted {count}")


def poplib_ssl_check(args, context):
    client = poplib.POP3_SSL(args.tls_host, args.tls_port, context=context)
    client.user(args.user)
    client.pass_(args.password)
    count, _ = client.stat()
    client.quit()
    if count != args.expect:
        raise RuntimeError(f"poplib counted {count}")


def print_table(title, rows, floor):
    print(title)
    print(f"{'client':<50} {'median':>9} {'p90':>9} {'x floor':>8}")
    for name, samples in rows:
        median = statistics.median(samples)
        print(f"{name:<50} {median:>9.0f} {percentile(samples, 0.9):>9.0f} {median / floor:>8.2f}")


# The user fetchmail runs as when the bench runs as root: as root it takes
# the machine's lock (/var/run/fetchmail.pid) whatever FETCHMAILHOME says, and
# would refuse to check while any other fetchmail runs. It must have an
# account (fetchmail looks itself up); "nobody" is on every Debian system.
FETCHMAIL_USER = "nobody"


def fetchmail_account():
    """(uid, gid) to run fetchmail as, or None to run it as this user."""
    if os.geteuid() != 0:
        return None
    try:
        entry = pwd.getpwnam(FETCHMAIL_USER)
    except KeyError:
        sys.exit(f"latency.py: running as root, fetchmail needs the account {FETCHMAIL_USER!r}")
    return entry.pw_uid, entry.pw_gid


def fetchmail_rows(args, host, port, tls_ca, label, n, w):
    with tempfile.TemporaryDirectory(prefix="postwren-bench-") as home:
        os.chmod(home, 0o700)
        rc = os.path.join(home, "fetchmailrc")
        tls = ' sslproto ""'
        if tls_ca:
            # A copy of its own, so the CA is readable whoever fetchmail runs as.
            ca = os.path.join(home, "ca.crt")
            shutil.copyfile(tls_ca, ca)
            tls = f' ssl sslcertck sslcertfile "{ca}"'
        with open(rc, "w") as f:
            f.write("set no syslog\n"
                    f'poll {host} protocol POP3 port {port} auth password\n'
                    f'  user "{args.user}" password "{args.password}"{tls}\n')
        os.chmod(rc, 0o600)
        # Its home holds its lock too: no other fetchmail on the machine meets it.
        env = dict(os.environ, FETCHMAILHOME=home, HOME=home)
        account = fetchmail_account()
        as_user = {}
        if account:
            uid, gid = account
            for path in (home, rc) + ((ca,) if tls_ca else ()):
                os.chown(path, uid, gid)
            # Set in the child before fetchmail starts: no extra program is timed.
            as_user = dict(user=uid, group=gid, extra_groups=[])
        # fetchmail -c exits 0 when mail is waiting and 1 when there is none.
        ok = (0,) if args.expect > 0 else (1,)
        return (label, timed(process_check(
            [shutil.which("fetchmail") or "fetchmail", "-c", "-f", rc, "-p", "POP3"], env=env, ok_codes=ok,
            **as_user), n, w))


def tls_rows(args, n, w):
    rows = []
    native = in_process_samples(args, args.tls_host, args.tls_port, args.ca)
    rows.append(("floor: minimal blocking OpenSSL client (in proc.)", native["floor"]))
    rows.append(("engine: TKxPOP3 over TLS (in process)", native["engine"]))
    context = ssl.create_default_context(cafile=args.ca)
    rows.append(("python poplib POP3_SSL (in process)",
                 timed(lambda: poplib_ssl_check(args, context), args.iterations, args.warmup)))
    env = dict(os.environ, SSL_CERT_FILE=args.ca)
    rows.append(("postwren-check pop3s:// (one process per check)", timed(process_check(
        [args.check_bin, "--host", f"pop3s://{args.tls_host}:{args.tls_port}", "--user", args.user,
         "--password-stdin"], expect_stdout=f"{args.expect}\n", input_text=args.password + "\n", env=env), n, w)))
    rows.append(fetchmail_rows(args, args.tls_host, args.tls_port, args.ca,
                               "fetchmail -c --ssl (one process per check)", n, w))
    rows.append(("curl pop3s:// STAT (one process per check)", timed(process_check(
        ["curl", "-s", "-f", "-I", "-X", "STAT", "--cacert", args.ca, "-u", f"{args.user}:{args.password}",
         f"pop3s://{args.tls_host}:{args.tls_port}/"]), n, w)))
    return rows, statistics.median(native["floor"])


def process_check(argv, expect_stdout=None, input_text=None, env=None, ok_codes=(0,), **as_user):
    def run():
        done = subprocess.run(argv, input=input_text, capture_output=True, text=True, env=env, **as_user)
        if done.returncode not in ok_codes:
            raise RuntimeError(f"{argv[0]} exited {done.returncode}: {done.stderr.strip()}")
        if expect_stdout is not None and done.stdout != expect_stdout:
            raise RuntimeError(f"{argv[0]} printed {done.stdout!r}")
    return run


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--port", type=int, default=110)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--expect", type=int, required=True, help="messages in the mailbox")
    parser.add_argument("--bench-bin", required=True)
    parser.add_argument("--check-bin", required=True)
    parser.add_argument("--iterations", type=int, default=200)
    parser.add_argument("--process-iterations", type=int, default=100)
    parser.add_argument("--warmup", type=int, default=20)
    parser.add_argument("--tls-host", help="a POP3S server for the TLS table")
    parser.add_argument("--tls-port", type=int, default=995)
    parser.add_argument("--ca", help="the CA that signed the TLS server's certificate")
    args = parser.parse_args()

    rows = []  # (name, samples in microseconds)
    native = in_process_samples(args, args.host, args.port)
    rows.append(("floor: minimal blocking client (in process)", native["floor"]))
    rows.append(("engine: TKxPOP3 Connect/Disconnect (in process)", native["engine"]))
    rows.append(("python poplib (in process)", timed(lambda: poplib_check(args), args.iterations, args.warmup)))

    n, w = args.process_iterations, max(1, args.warmup // 4)
    rows.append(("process start only (/bin/true)", timed(process_check(["/bin/true"]), n, w)))
    rows.append(("postwren-check (one process per check)", timed(process_check(
        [args.check_bin, "--host", args.host, "--port", str(args.port), "--user", args.user, "--password-stdin"],
        expect_stdout=f"{args.expect}\n", input_text=args.password + "\n"), n, w)))

    rows.append(fetchmail_rows(args, args.host, args.port, None, "fetchmail -c (one process per check)", n, w))

    rows.append(("curl pop3:// STAT (one process per check)", timed(process_check(
        ["curl", "-s", "-f", "-I", "-X", "STAT", "-u", f"{args.user}:{args.password}",
         f"pop3://{args.host}:{args.port}/"]), n, w)))

    print_table(f"Check latency against {args.host}:{args.port} "
                f"({args.iterations} in-process / {n} per-process samples, microseconds)",
                rows, statistics.median(native["floor"]))
    if args.tls_host and args.ca:
        rows, floor = tls_rows(args, n, w)
        print()
        print_table(f"Check latency over TLS (POP3S) against {args.tls_host}:{args.tls_port} "
                    f"({args.iterations} in-process / {n} per-process samples, microseconds)", rows, floor)
    return 0


if __name__ == "__main__":
    sys.exit(main())
