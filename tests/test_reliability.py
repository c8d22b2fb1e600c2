"""Nothing is lost on a failed run: outputs replaced only when complete, closed standard
descriptors, same-file checks through links, NUL bytes in arguments, 64-bit numeric keys."""

import os
import resource
import signal
import stat
import subprocess
import sys

import pytest

from conftest import Run, engine_env, run_code, run_tesra

WRITE_FAILED = "☆ Error occurred while writing output file [%s]!\n"
RUN = "import sys, _tesra; sys.exit(_tesra.tesra(sys.argv[1:]))"


def run_limited(args, cwd, file_size=None, close=()):
    """A run with a file-size limit (writes past it fail) and with some standard descriptors closed."""
    def child():
        if file_size is not None:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a failed write, not a killed process
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size, file_size))
        for fd in close:
            os.close(fd)
    p = subprocess.run([sys.executable, "-c", RUN, *map(str, args)], cwd=cwd, env=engine_env(), preexec_fn=child,
                       stdin=subprocess.DEVNULL, stdout=None if 1 in close else subprocess.PIPE,
                       stderr=None if 2 in close else subprocess.PIPE, timeout=120)
    return Run(p.returncode, p.stdout or b"", p.stderr or b"")


def leftovers(folder):
    return sorted(n for n in os.listdir(folder) if ".tesra-" in n)


@pytest.mark.parametrize("in_place", [True, False])
def test_failed_write_keeps_the_output_file(tmp_path, in_place):
    data = b"".join(b"%06d\n" % ((i * 7919) % 100003) for i in range(20000))  # 140 KB
    (tmp_path / "precious.txt").write_bytes(data)
    (tmp_path / "in.txt").write_bytes(data)
    args = ["-O", "precious.txt", "precious.txt" if in_place else "in.txt"]
    r = run_limited(args, tmp_path, file_size=64 * 1024)
    assert r.rc == 1
    assert WRITE_FAILED % "precious.txt" in r.messages
    assert (tmp_path / "precious.txt").read_bytes() == data  # not truncated, not half-written
    assert leftovers(tmp_path) == []


def test_failed_error_file_write_keeps_the_old_error_file(tmp_path):
    (tmp_path / "errs.txt").write_bytes(b"old errors\n")
    (tmp_path / "in.txt").write_bytes(b"".join(b"x\n" if i % 2 else b"%06d\n" % i for i in range(40000)))
    r = run_limited(["-K", "0,3", "-E", "errs.txt", "-O", "out.txt", "in.txt"], tmp_path, file_size=32 * 1024)
    assert r.rc == 1
    assert (tmp_path / "errs.txt").read_bytes() == b"old errors\n"
    assert not (tmp_path / "out.txt").exists() and leftovers(tmp_path) == []


def test_replaced_output_keeps_its_mode_and_a_link_stays_a_link(tmp_path):
    (tmp_path / "in.txt").write_bytes(b"b\na\n")
    (tmp_path / "old.txt").write_bytes(b"old\n")
    os.chmod(tmp_path / "old.txt", 0o640)
    os.symlink("old.txt", tmp_path / "link.txt")
    r = run_tesra(["-O", "link.txt", "in.txt"], cwd=tmp_path)
    assert r.rc == 0, r.messages
    assert os.path.islink(tmp_path / "link.txt")
    assert (tmp_path / "old.txt").read_bytes() == b"a\nb\n"
    assert stat.S_IMODE(os.stat(tmp_path / "old.txt").st_mode) == 0o640
    # A new file gets the permission bits of the umask, as any file the user creates.
    old = os.umask(0o027)
    try:
        r = run_tesra(["-O", "new.txt", "in.txt"], cwd=tmp_path)
    finally:
        os.umask(old)
    assert r.rc == 0 and stat.S_IMODE(os.stat(tmp_path / "new.txt").st_mode) == 0o640
    assert leftovers(tmp_path) == []


def test_closed_standard_output_fails_instead_of_writing_into_the_error_file(tmp_path):
    (tmp_path / "s.csv").write_bytes(b"b,2\na,1\nshort\n")
    r = run_limited(["-C", "-K", "2", "-E", "errf.txt", "s.csv"], tmp_path, close=(1,))
    assert r.rc == 1
    assert WRITE_FAILED % "stdout" in r.messages
    assert not (tmp_path / "errf.txt").exists()  # a failed run commits no error file either


def test_closed_standard_error_keeps_messages_out_of_the_error_file(tmp_path):
    (tmp_path / "s.csv").write_bytes(b"b,2\na,1\nshort\n")
    r = run_limited(["-C", "-K", "2", "-E", "errf.txt", "-O", "out.csv", "s.csv"], tmp_path, close=(2,))
    assert r.rc == 0
    assert (tmp_path / "errf.txt").read_bytes() == b"short\n"
    assert (tmp_path / "out.csv").read_bytes() == b"a,1\nb,2\n"


@pytest.mark.parametrize("link_to", ["out.txt", "./sub/../out.txt"])
def test_same_file_checks_follow_links(tmp_path, link_to):
    (tmp_path / "sub").mkdir()
    (tmp_path / "in.txt").write_bytes(b"x\n")
    os.symlink(link_to, tmp_path / "errlink")  # dangling: out.txt does not exist yet
    r = run_tesra(["-K", "0,3", "-E", "errlink", "-O", "out.txt", "in.txt"], cwd=tmp_path)
    assert r.rc == 1
    assert "☆ Cannot create error file [errlink]!\n" in r.messages
    assert not (tmp_path / "out.txt").exists()


def test_devices_may_be_named_twice(tmp_path):
    (tmp_path / "in.txt").write_bytes(b"b\na\n")
    r = run_tesra(["-E", "/dev/null", "-O", "/dev/null", "in.txt"], cwd=tmp_path)
    assert r.rc == 0, r.messages


def test_embedded_nul_raises_value_error_and_runs_nothing(tmp_path):
    (tmp_path / "in.txt").write_bytes(b"b\na\n")
    code = ("import _tesra\ntry:\n    _tesra.tesra(['-O', 'out.txt\\0.csv', 'in.txt\\0x'])\n"
            "except ValueError as e:\n    print(e)\n")
    r = run_code(code, cwd=tmp_path)
    assert r.out == b"embedded null character\n"
    assert r.err == b"" and not (tmp_path / "out.txt").exists()


def test_numeric_keys_beyond_32_bits(tmp_path):
    (tmp_path / "in.csv").write_bytes(b"1733640000000\n5\n2147483648\n-9999999999999999999999\n-3000000000\n")
    r = run_tesra(["-C", "-K", "1n", "in.csv"], cwd=tmp_path)
    assert r.out == b"-9999999999999999999999\n-3000000000\n5\n2147483648\n1733640000000\n"


def test_an_output_name_of_250_bytes(tmp_path):
    # The new file written beside it has a longer name, which must still fit the folder's limit.
    (tmp_path / "in").write_bytes(b"b\na\n")
    name = "o" * 250
    r = run_tesra(["-O", name, "in"], cwd=tmp_path)
    assert r.rc == 0, r.messages
    assert (tmp_path / name).read_bytes() == b"a\nb\n" and leftovers(tmp_path) == []
