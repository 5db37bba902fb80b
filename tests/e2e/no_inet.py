#!/usr/bin/env python3
"""Runs a command in which no internet socket can be made, the way a sandbox
without network access refuses them (seccomp: socket() for AF_INET and
AF_INET6 fails with EAFNOSUPPORT); local sockets still work.

    no_inet.py COMMAND [ARGS...]
    no_inet.py --check      exit 0 when the kernel and machine allow it, 77 otherwise
"""
import ctypes
import errno
import os
import platform
import struct
import sys

PR_SET_NO_NEW_PRIVS = 38
PR_SET_SECCOMP = 22
SECCOMP_MODE_FILTER = 2
SECCOMP_RET_ALLOW = 0x7FFF0000
SECCOMP_RET_ERRNO = 0x00050000
AF_INET, AF_INET6 = 2, 10
# (audit architecture, number of socket()) per machine
MACHINES = {"x86_64": (0xC000003E, 41), "aarch64": (0xC00000B7, 198)}

BPF_LD_W_ABS, BPF_JEQ_K, BPF_RET_K = 0x20, 0x15, 0x06
ARCH_OFFSET, NR_OFFSET, ARG0_OFFSET = 4, 0, 16


def program(arch, nr):
    allow = 8
    ops = [
        (BPF_LD_W_ABS, 0, 0, ARCH_OFFSET),
        (BPF_JEQ_K, 0, allow - 2, arch),
        (BPF_LD_W_ABS, 0, 0, NR_OFFSET),
        (BPF_JEQ_K, 0, allow - 4, nr),
        (BPF_LD_W_ABS, 0, 0, ARG0_OFFSET),
        (BPF_JEQ_K, 1, 0, AF_INET),
        (BPF_JEQ_K, 0, 1, AF_INET6),
        (BPF_RET_K, 0, 0, SECCOMP_RET_ERRNO | errno.EAFNOSUPPORT),
        (BPF_RET_K, 0, 0, SECCOMP_RET_ALLOW),
    ]
    return b"".join(struct.pack("=HBBI", *op) for op in ops), len(ops)


def restrict():
    machine = MACHINES.get(platform.machine())
    if machine is None:
        return False
    code, count = program(*machine)
    buffer = ctypes.create_string_buffer(code, len(code))
    fprog = struct.pack("=HxxxxxxQ", count, ctypes.addressof(buffer))
    fprog_buffer = ctypes.create_string_buffer(fprog, len(fprog))
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl.argtypes = [ctypes.c_int] + [ctypes.c_ulong] * 4
    if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0:
        return False
    return libc.prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.addressof(fprog_buffer), 0, 0) == 0


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    if sys.argv[1] == "--check":
        pid = os.fork()
        if pid == 0:
            import socket
            ok = restrict()
            try:
                socket.socket(socket.AF_INET, socket.SOCK_STREAM).close()
                ok = False
            except OSError as e:
                ok = ok and e.errno == errno.EAFNOSUPPORT
            os._exit(0 if ok else 77)
        _, status = os.waitpid(pid, 0)
        return os.waitstatus_to_exitcode(status)
    if not restrict():
        print("no_inet.py: this machine cannot refuse sockets to a process", file=sys.stderr)
        return 77
    os.execvp(sys.argv[1], sys.argv[1:])


if __name__ == "__main__":
    sys.exit(main())
