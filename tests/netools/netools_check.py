"""tessel-echo, tessel-store and tessel-storescp run as processes against each other and against
DCMTK's echoscu, storescu and storescp on 127.0.0.1 with ports picked free: exit statuses, the
files that arrive (named by SOP Instance UID, read back by dcmdump and compared with pydicom),
conversion on sending, refusals, concurrent associations and a clean stop on SIGTERM."""

import argparse
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

import pydicom

FAILURES = []
SCP_TITLE = "TESSEL_SCP"
# Native files of storage classes the requestor proposes.
NATIVE_FILES = ["dcmqi-IMG0001.dcm", "fo-dicom-GH178.dcm", "orthanc-CR000000.dcm",
                "orthanc-ColorTestMalaterre.dcm"]
COMPRESSED_FILE = "orthanc-Lena-utf8.dcm"


def check(condition, text):
    if not condition:
        FAILURES.append(text)
        print("FAIL: " + text, flush=True)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def run(cmd, timeout=120):
    done = subprocess.run(cmd, capture_output=True, text=True, errors="replace",
                          timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def wait_for_port(port, seconds=10):
    deadline = time.time() + seconds
    while time.time() < deadline:
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", port)) == 0:
                return True
        time.sleep(0.1)
    return False


class Acceptor:
    """A tessel-storescp process on a free port, stopped with SIGTERM."""

    def __init__(self, tools, out_dir, threads=4):
        self.port = free_port()
        self.log = open(os.path.join(out_dir, "..", "storescp-%d.log" % self.port), "w+")
        self.proc = subprocess.Popen(
            [tools.storescp, "--ini", tools.ini, "--aet", SCP_TITLE, "--port", str(self.port),
             "--address", "127.0.0.1", "--threads", str(threads), "--output-dir", out_dir],
            stdout=self.log, stderr=subprocess.STDOUT)
        check(self.ready(), "tessel-storescp did not announce that it listens")

    def ready(self):
        deadline = time.time() + 10
        while time.time() < deadline and self.proc.poll() is None:
            self.log.seek(0)
            if "listening on port" in self.log.read():
                return True
            time.sleep(0.1)
        return False

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            code = self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = self.proc.wait()
        self.log.seek(0)
        self.output = self.log.read()
        self.log.close()
        return code


def item(kind, body):
    return struct.pack(">BBH", kind, 0, len(body)) + body


def open_idle_association(port):
    """Opens an association for CT storage by hand and leaves it idle; returns the socket once
    the acceptor has answered with an A-ASSOCIATE-AC."""
    context = item(0x30, b"1.2.840.10008.5.1.4.1.1.2") + item(0x40, b"1.2.840.10008.1.2")
    user = item(0x51, struct.pack(">I", 16384)) + item(0x52, b"1.2.3.4")
    body = (struct.pack(">HH", 1, 0) + SCP_TITLE.ljust(16).encode() + b"IDLE_SCU".ljust(16) +
            bytes(32) + item(0x10, b"1.2.840.10008.3.1.1.1") +
            item(0x20, bytes([1, 0, 0, 0]) + context) + item(0x50, user))
    peer = socket.create_connection(("127.0.0.1", port), timeout=10)
    peer.sendall(struct.pack(">BBI", 1, 0, len(body)) + body)
    head = receive(peer, 6)
    receive(peer, struct.unpack(">I", head[2:6])[0] if len(head) == 6 else 0)
    return peer, head[:1] == b"\x02"


def receive(peer, count):
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


def uid_of(path):
    return str(pydicom.dcmread(path, stop_before_pixels=True).SOPInstanceUID)


WORD_SIZES = {"OW": 2, "OF": 4, "OL": 4, "OD": 8}


def native_bytes(data_set, element):
    """The value of an element as little endian holds it: pydicom leaves the words of OW, OF, OL
    and OD values of a big endian data set in file order."""
    size = WORD_SIZES.get(element.VR)
    if data_set.is_little_endian or size is None or not isinstance(element.value, bytes):
        return element.value
    value = element.value
    return b"".join(value[i:i + size][::-1] for i in range(0, len(value), size))


def same_data_set(original, received):
    """Every top-level data set element of the original arrives with the same value; group
    lengths are recomputed by the writer and left out."""
    left = pydicom.dcmread(original)
    right = pydicom.dcmread(received)
    for element in left:
        if element.tag.element == 0:
            continue
        if element.tag not in right:
            return "missing %s" % element.tag
        if element.VR == "SQ":
            if len(element.value) != len(right[element.tag].value):
                return "item count of %s" % element.tag
        elif element.value != native_bytes(right, right[element.tag]):
            return "value of %s" % element.tag
    return None


def test_usage(tools):
    cases = [
        (tools.echo, []), (tools.echo, ["127.0.0.1"]), (tools.echo, ["127.0.0.1", "port"]),
        (tools.echo, ["127.0.0.1", "70000"]), (tools.echo, ["--aec", "A" * 17, "h", "104"]),
        (tools.echo, ["--bogus", "127.0.0.1", "104"]), (tools.store, ["127.0.0.1", "104"]),
        (tools.store, ["--syntax", "RLE", "127.0.0.1", "104", "f.dcm"]),
        (tools.storescp, []), (tools.storescp, ["--threads", "0", "--output-dir", "."]),
        (tools.storescp, ["--port", "x", "--output-dir", "."]),
    ]
    for program, args in cases:
        code, out, err = run([program] + args)
        name = os.path.basename(program) + " " + " ".join(args)
        check(code == 2, "%s: exit %d, expected 2" % (name, code))
        check(err.startswith("usage: ") and err.count("\n") == 1, "%s: usage line: %r" % (name, err))


def test_echo(tools, acceptor):
    code, out, err = run([tools.echo, "--ini", tools.ini, "--aec", SCP_TITLE, "127.0.0.1",
                          str(acceptor.port)])
    check(code == 0 and "status 0x0000" in out, "tessel-echo: exit %d %s%s" % (code, out, err))
    # A called title the acceptor does not have is rejected.
    code, out, err = run([tools.echo, "--ini", tools.ini, "--aec", "NOBODY", "127.0.0.1",
                          str(acceptor.port)])
    check(code == 1 and err.count("\n") == 1, "tessel-echo to a wrong title: %d %r" % (code, err))
    # Nobody listening.
    code, out, err = run([tools.echo, "--ini", tools.ini, "127.0.0.1", str(free_port())])
    check(code == 1 and err.count("\n") == 1, "tessel-echo to a closed port: %d %r" % (code, err))
    code, out, err = run(["echoscu", "-aec", SCP_TITLE, "127.0.0.1", str(acceptor.port)])
    check(code == 0, "echoscu -> tessel-storescp: exit %d %s" % (code, err))


def test_store_roundtrip(tools, acceptor, out_dir, files):
    code, out, err = run([tools.store, "--ini", tools.ini, "--aec", SCP_TITLE, "127.0.0.1",
                          str(acceptor.port)] + files)
    check(code == 0, "tessel-store -> tessel-storescp: exit %d %s%s" % (code, out, err))
    check(out.count("stored, status 0x0000") == len(files), "tessel-store lines: %s" % out)
    check("%d of %d files stored" % (len(files), len(files)) in out and "MB/s" in out,
          "tessel-store summary: %s" % out)
    for path in files:
        received = os.path.join(out_dir, uid_of(path) + ".dcm")
        check(os.path.exists(received), "no file for %s" % path)
        if not os.path.exists(received):
            continue
        code, dump, err = run(["dcmdump", "-q", received])
        check(code == 0 and err == "", "dcmdump %s: %s" % (received, err))
        difference = same_data_set(path, received)
        check(difference is None, "%s arrived changed: %s" % (path, difference))
    check(not [n for n in os.listdir(out_dir) if n.endswith(".part")], "partial files left")


def test_store_refusals(tools, acceptor, data_dir, out_dir, native):
    # A compressed file cannot travel on the native contexts: it fails alone, the rest arrive.
    compressed = os.path.join(data_dir, COMPRESSED_FILE)
    code, out, err = run([tools.store, "--ini", tools.ini, "--aec", SCP_TITLE, "127.0.0.1",
                          str(acceptor.port), compressed, native])
    check(code == 1 and "%s: FAILED" % compressed in out and "%s: stored" % native in out,
          "compressed file mixed in: exit %d %s" % (code, out))
    # The acceptor prefers explicit little endian, so big endian has no context.
    code, out, err = run([tools.store, "--ini", tools.ini, "--aec", SCP_TITLE, "--syntax",
                          "EXPLICIT_BIG_ENDIAN", "127.0.0.1", str(acceptor.port), native])
    check(code == 1 and "no presentation context" in out, "--syntax without context: %s" % out)
    # A file that cannot be written gets an error status.
    blocker = os.path.join(out_dir, uid_of(native) + ".dcm")
    if os.path.exists(blocker):
        os.remove(blocker)
    os.mkdir(blocker)
    code, out, err = run([tools.store, "--ini", tools.ini, "--aec", SCP_TITLE, "127.0.0.1",
                          str(acceptor.port), native])
    check(code == 1 and "FAILED, status 0xA700" in out, "unwritable file: exit %d %s" % (code, out))
    os.rmdir(blocker)
    missing = os.path.join(out_dir, "no-such-file.dcm")
    code, out, err = run([tools.store, "--ini", tools.ini, "--aec", SCP_TITLE, "127.0.0.1",
                          str(acceptor.port), missing])
    check(code == 1 and "%s: FAILED, cannot read" % missing in out, "missing file: %s" % out)


def test_concurrent(tools, acceptor, files):
    cmd = [tools.store, "--ini", tools.ini, "--aec", SCP_TITLE, "127.0.0.1", str(acceptor.port)]
    procs = [subprocess.Popen(cmd + files, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
             for _ in range(2)]
    for proc in procs:
        out, err = proc.communicate(timeout=120)
        check(proc.returncode == 0, "concurrent tessel-store: %d %s" % (proc.returncode, err))


def test_dcmtk_storescu(acceptor, out_dir, path):
    target = os.path.join(out_dir, uid_of(path) + ".dcm")
    if os.path.exists(target):
        os.remove(target)
    code, out, err = run(["storescu", "-aec", SCP_TITLE, "127.0.0.1", str(acceptor.port), path])
    check(code == 0, "storescu -> tessel-storescp: exit %d %s" % (code, err))
    check(os.path.exists(target) and same_data_set(path, target) is None,
          "storescu file did not arrive intact")


def test_dcmtk_storescp(tools, scratch, files):
    for syntax, prefer, expected in [(None, "+x=", None),
                                     ("EXPLICIT_BIG_ENDIAN", "+xb", "1.2.840.10008.1.2.2"),
                                     ("IMPLICIT_LITTLE_ENDIAN", "+xi", "1.2.840.10008.1.2")]:
        out_dir = tempfile.mkdtemp(dir=scratch)
        port = free_port()
        peer = subprocess.Popen(["storescp", prefer, "-aet", SCP_TITLE, "-od", out_dir,
                                 str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            check(wait_for_port(port), "DCMTK storescp did not start")
            cmd = [tools.store, "--ini", tools.ini, "--aec", SCP_TITLE]
            if syntax:
                cmd += ["--syntax", syntax]
            code, out, err = run(cmd + ["127.0.0.1", str(port)] + files)
            check(code == 0, "tessel-store %s -> storescp: exit %d %s%s" % (syntax, code, out, err))
        finally:
            peer.terminate()
            peer.wait(timeout=10)
        arrived = sorted(os.listdir(out_dir))
        check(len(arrived) == len(files), "storescp received %s" % arrived)
        by_uid = {uid_of(os.path.join(out_dir, n)): os.path.join(out_dir, n) for n in arrived}
        for path in files:
            received = by_uid.get(uid_of(path))
            check(received is not None, "storescp lacks %s" % path)
            if received is None:
                continue
            difference = same_data_set(path, received)
            check(difference is None, "%s via storescp changed: %s" % (path, difference))
            if expected:
                syntax_uid = str(pydicom.dcmread(received).file_meta.TransferSyntaxUID)
                check(syntax_uid == expected, "%s arrived in %s" % (path, syntax_uid))


def main():
    parser = argparse.ArgumentParser()
    for name in ("echo", "store", "storescp", "ini", "data"):
        parser.add_argument("--" + name, required=True)
    tools = parser.parse_args()
    files = [os.path.join(tools.data, name) for name in NATIVE_FILES]
    scratch = tempfile.mkdtemp(prefix="netools-")
    try:
        os.chdir(scratch)  # the library's log file lands here
        test_usage(tools)
        out_dir = os.path.join(scratch, "received")
        os.mkdir(out_dir)
        acceptor = Acceptor(tools, out_dir, threads=2)
        started = time.time()
        try:
            test_echo(tools, acceptor)
            test_store_roundtrip(tools, acceptor, out_dir, files)
            test_store_refusals(tools, acceptor, tools.data, out_dir, files[0])
            test_concurrent(tools, acceptor, files)
            test_dcmtk_storescu(acceptor, out_dir, files[1])
            # An idle association does not hold up the stop: it is aborted.
            idle, accepted = open_idle_association(acceptor.port)
            check(accepted, "hand-made association request not accepted")
            time.sleep(0.5)
            # The peer of the idle association closes its end once the A-ABORT arrived.
            started = time.time()
            acceptor.proc.send_signal(signal.SIGTERM)
            idle.settimeout(5)
            abort = receive(idle, 10)
            idle.close()
            check(abort[:6] == b"\x07\x00\x00\x00\x00\x04", "no A-ABORT on the idle "
                  "association: %r" % abort)
        finally:
            code = acceptor.stop()
        check(time.time() - started < 5, "tessel-storescp took %.1f s to stop" % (
            time.time() - started))
        if FAILURES:
            print("tessel-storescp output:\n" + acceptor.output)
        check(code == 0, "tessel-storescp after SIGTERM: exit %d" % code)
        check("association" in acceptor.output and "stopped" in acceptor.output,
              "tessel-storescp output: %s" % acceptor.output)
        test_dcmtk_storescp(tools, scratch, files)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print("%d failure(s)" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
