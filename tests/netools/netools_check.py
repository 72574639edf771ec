"""tessel-echo, tessel-store and tessel-storescp run as processes against each other and against
DCMTK's echoscu, storescu, storescp and dcmqrscp on 127.0.0.1 with ports picked free: exit
statuses, the files that arrive (named by SOP Instance UID, read back by dcmdump and compared
with pydicom), conversion on sending, small and large PDUs in both little endian syntaxes,
rejections and refused contexts seen from both sides, concurrent associations and a clean stop
on SIGTERM."""

import argparse
import contextlib
import copy
import os
import pty
import random
import re
import resource
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

import pydicom

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from raw_peer import free_port, open_idle_association, receive, wait_for_port  # noqa: E402

FAILURES = []
SCP_TITLE = "TESSEL_SCP"
# Native files of storage classes the requestor proposes.
NATIVE_FILES = ["dcmqi-IMG0001.dcm", "fo-dicom-GH178.dcm", "orthanc-CR000000.dcm",
                "orthanc-ColorTestMalaterre.dcm"]
COMPRESSED_FILE = "orthanc-Lena-utf8.dcm"
CT_FILE, SC_FILE = "dcmqi-IMG0001.dcm", "fo-dicom-GH178.dcm"
CT_CLASS = "1.2.840.10008.5.1.4.1.1.2"
IMPLICIT, EXPLICIT = "1.2.840.10008.1.2", "1.2.840.10008.1.2.1"
WORKLIST_CLASS = "1.2.840.10008.5.1.4.31"
# dcmqrscp serves one called title, DCMQR.
DCMQRSCP_CONFIG = """NetworkTCPPort = 104
MaxPDUSize = 16384
MaxAssociations = 16
HostTable BEGIN
HostTable END
VendorTable BEGIN
VendorTable END
AETable BEGIN
DCMQR %s RW (10, 1024mb) ANY
AETable END
"""
# Association profiles for DCMTK's -xf: CT in JPEG lossless only (tessel-storescp takes native
# syntaxes only), a non-storage class beside secondary capture, and CT storage without
# verification.
DCMTK_PROFILES = r"""
[[TransferSyntaxes]]
[JPEGLossless]
TransferSyntax1 = 1.2.840.10008.1.2.4.70
[LittleEndian]
TransferSyntax1 = 1.2.840.10008.1.2.1
TransferSyntax2 = 1.2.840.10008.1.2
[ImplicitOnly]
TransferSyntax1 = 1.2.840.10008.1.2
[ExplicitOnly]
TransferSyntax1 = 1.2.840.10008.1.2.1
[[PresentationContexts]]
[CTInJPEG]
PresentationContext1 = 1.2.840.10008.5.1.4.1.1.2\JPEGLossless
[WorklistAndSC]
PresentationContext1 = 1.2.840.10008.5.1.4.31\LittleEndian
PresentationContext2 = 1.2.840.10008.5.1.4.1.1.7\LittleEndian
[CT]
PresentationContext1 = 1.2.840.10008.5.1.4.1.1.2\LittleEndian
[CTTwice]
PresentationContext1 = 1.2.840.10008.5.1.4.1.1.2\ImplicitOnly
PresentationContext2 = 1.2.840.10008.5.1.4.1.1.2\ExplicitOnly
[[Profiles]]
[JPEGOnly]
PresentationContexts = CTInJPEG
[WorklistClass]
PresentationContexts = WorklistAndSC
[NoVerification]
PresentationContexts = CT
[CTInTwoSyntaxes]
PresentationContexts = CTTwice
"""


def check(condition, text):
    if not condition:
        FAILURES.append(text)
        print("FAIL: " + text, flush=True)


def check_sanitizers(name, output):
    """Sanitizer builds report on standard error; a failure expected from a tool must not hide
    one."""
    check("Sanitizer" not in output and "runtime error:" not in output,
          "%s: sanitizer report: %s" % (name, output))


def run(cmd, timeout=120):
    """Exit status (None after the time-out), standard output and standard error."""
    try:
        done = subprocess.run(cmd, capture_output=True, text=True, errors="replace",
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, "", "timed out after %d s" % timeout
    check_sanitizers(os.path.basename(cmd[0]), done.stderr)
    return done.returncode, done.stdout, done.stderr


def configure(tools, directory, **settings):
    """Copies the configuration directory and sets KEY = value lines of tessel.ini and
    corvane.pro in the copy; returns the path of the copied tessel.ini."""
    shutil.copytree(os.path.dirname(tools.ini), directory)
    for name in ("tessel.ini", "corvane.pro"):
        path = os.path.join(directory, name)
        with open(path) as source:
            text = source.read()
        for key in list(settings):
            text, count = re.subn(r"(?m)^%s\s*=.*$" % key, "%s = %s" % (key, settings[key]), text)
            if count:
                del settings[key]
        with open(path, "w") as target:
            target.write(text)
    check(not settings, "keys not found in the configuration: %s" % settings)
    return os.path.join(directory, "tessel.ini")


def fresh_dir(scratch, name):
    path = os.path.join(scratch, name)
    os.mkdir(path)
    return path


class Acceptor:
    """A tessel-storescp process on a free port, stopped with SIGTERM."""

    def __init__(self, tools, out_dir, threads=4, ini=None, options=(), preexec_fn=None):
        self.port = free_port()
        self.log = open(os.path.join(out_dir, "..", "storescp-%d.log" % self.port), "w+")
        self.proc = subprocess.Popen(
            [tools.storescp, "--ini", ini or tools.ini, "--aet", SCP_TITLE, "--port",
             str(self.port), "--address", "127.0.0.1", "--threads", str(threads), "--output-dir",
             out_dir] + list(options),
            stdout=self.log, stderr=subprocess.STDOUT, preexec_fn=preexec_fn)
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
        check_sanitizers("tessel-storescp", self.output)
        return code


@contextlib.contextmanager
def dcmtk_acceptor(args):
    """A DCMTK acceptor (storescp, dcmqrscp) started with its port appended, ended with the
    block."""
    port = free_port()
    peer = subprocess.Popen(args + [str(port)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        check(wait_for_port(port), "%s did not start" % " ".join(args))
        yield port
    finally:
        peer.terminate()
        peer.wait(timeout=10)


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


def write_copy(source, path, explicit=False, sop_class=None, big_pixels=False):
    """Writes a copy of a file with a new SOP Instance UID; optionally in explicit VR little
    endian, with another SOP Class UID, or as a 512 x 512 image of random 16-bit pixels."""
    data_set = pydicom.dcmread(source)
    data_set.SOPInstanceUID = data_set.file_meta.MediaStorageSOPInstanceUID = \
        pydicom.uid.generate_uid()
    if sop_class:
        data_set.SOPClassUID = data_set.file_meta.MediaStorageSOPClassUID = sop_class
    if big_pixels:
        data_set.Rows = data_set.Columns = 512
        data_set.PixelData = random.Random(512).randbytes(512 * 512 * 2)
    if explicit:
        data_set.file_meta.TransferSyntaxUID = EXPLICIT
        data_set.is_implicit_VR = False
        data_set.is_little_endian = True
    data_set.save_as(path)
    return path


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


def check_arrived(label, files, out_dir):
    """Every file arrived in out_dir under its SOP Instance UID with its data set unchanged."""
    for path in files:
        received = os.path.join(out_dir, uid_of(path) + ".dcm")
        if not os.path.exists(received):
            check(False, "%s: no file for %s" % (label, path))
            continue
        difference = same_data_set(path, received)
        check(difference is None, "%s: %s arrived changed: %s" % (label, path, difference))
    check(not [n for n in os.listdir(out_dir) if n.endswith(".part")],
          "%s: partial files left" % label)


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
    # A port another socket listens on: one line and exit 1, no endless retrying.
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        code, out, err = run([tools.storescp, "--ini", tools.ini, "--port",
                              str(holder.getsockname()[1]), "--address", "127.0.0.1",
                              "--output-dir", "."], timeout=20)
    check(code == 1 and err.count("\n") == 1, "tessel-storescp on a busy port: %s %r" % (code, err))


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
    check("\r" not in out and "sending" not in out,
          "tessel-store printed a progress line into a pipe: %r" % out)
    check_arrived("tessel-store -> tessel-storescp", files, out_dir)
    for path in files:
        received = os.path.join(out_dir, uid_of(path) + ".dcm")
        code, dump, err = run(["dcmdump", "-q", received])
        check(code == 0 and err == "", "dcmdump %s: %s" % (received, err))


def test_store_window(tools, scratch, acceptor, files):
    """tessel-store keeps up to 16 requests in flight when the acceptor agrees to that window
    (tessel-storescp does), and one at a time when the answer carries no window (storescp).
    The library's refusal of the request beyond the window, in tessel-store's own log, shows
    how many were outstanding."""
    many = files * 5
    for label, peer in (("tessel-storescp", None), ("storescp", "storescp")):
        log_path = os.path.join(scratch, "window-%s.log" % label)
        ini = configure(tools, os.path.join(scratch, "window-%s-etc" % label), LOG_FILE=log_path)
        out_dir = fresh_dir(scratch, "window-%s" % label)
        command = [tools.store, "--ini", ini, "--aec", SCP_TITLE, "127.0.0.1"]
        if peer is None:
            code, out, err = run(command + [str(acceptor.port)] + many)
            window = 16
        else:
            with dcmtk_acceptor(["storescp", "-aet", SCP_TITLE, "-od", out_dir]) as port:
                code, out, err = run(command + [str(port)] + many)
            window = 1
            check(len(os.listdir(out_dir)) >= len(files),
                  "tessel-store -> storescp, window 1: %s" % os.listdir(out_dir))
        check(code == 0 and out.count("stored, status 0x0000") == len(many),
              "tessel-store -> %s, %d files: exit %s %s%s" % (label, len(many), code, out, err))
        with open(log_path, errors="replace") as log:
            text = re.sub(r"\s+", " ", log.read())
        check("already met (%d)," % window in text,
              "tessel-store -> %s: window of %d not reached: %s" % (label, window, text[-2000:]))


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
    # Between others sent in the same window, the failure is told against its own file.
    others = [os.path.join(data_dir, name) for name in NATIVE_FILES if name != CT_FILE]
    check(native == os.path.join(data_dir, CT_FILE), "the blocked file is the CT")
    code, out, err = run([tools.store, "--ini", tools.ini, "--aec", SCP_TITLE, "127.0.0.1",
                          str(acceptor.port)] + others[:1] + [native] + others[1:])
    check(code == 1 and "%s: FAILED, status 0xA700" % native in out and
          out.count(": stored, status 0x0000") == len(others),
          "unwritable file among others: exit %d %s" % (code, out))
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


def test_store_again(tools, scratch, acceptor, out_dir, path):
    """An instance stored again replaces its file, and the earlier file leaves nothing behind."""
    target = os.path.join(out_dir, uid_of(path) + ".dcm")
    check(os.path.exists(target), "no earlier file for %s" % path)
    changed = pydicom.dcmread(path)
    changed.PatientName = "AGAIN^STORED"
    again = os.path.join(scratch, "again.dcm")
    changed.save_as(again)
    code, out, err = run([tools.store, "--ini", tools.ini, "--aec", SCP_TITLE, "127.0.0.1",
                          str(acceptor.port), again])
    check(code == 0, "tessel-store of a stored instance: exit %d %s%s" % (code, out, err))
    check(same_data_set(again, target) is None and
          str(pydicom.dcmread(target).PatientName) == "AGAIN^STORED",
          "%s was not replaced by the instance stored again" % target)
    check([n for n in os.listdir(out_dir) if n.startswith(uid_of(path))] ==
          [os.path.basename(target)], "files of the instance: %s" % os.listdir(out_dir))


def test_dcmtk_storescu(acceptor, out_dir, path):
    target = os.path.join(out_dir, uid_of(path) + ".dcm")
    if os.path.exists(target):
        os.remove(target)
    code, out, err = run(["storescu", "-aec", SCP_TITLE, "127.0.0.1", str(acceptor.port), path])
    check(code == 0, "storescu -> tessel-storescp: exit %d %s" % (code, err))
    check(os.path.exists(target) and same_data_set(path, target) is None,
          "storescu file did not arrive intact")


def store_to_storescp(tools, scratch, files, ini, syntax, options, expected):
    """tessel-store, with --syntax when given, to a DCMTK storescp run with options; checks the
    files that arrive and, when expected is set, the syntax they travelled in."""
    out_dir = tempfile.mkdtemp(dir=scratch)
    cmd = [tools.store, "--ini", ini, "--aec", SCP_TITLE] + (["--syntax", syntax] if syntax else [])
    with dcmtk_acceptor(["storescp"] + options + ["-aet", SCP_TITLE, "-od", out_dir]) as port:
        code, out, err = run(cmd + ["127.0.0.1", str(port)] + files)
    label = "tessel-store %s -> storescp %s" % (syntax, " ".join(options))
    check(code == 0, "%s: exit %s %s%s" % (label, code, out, err))
    arrived = sorted(os.listdir(out_dir))
    check(len(arrived) == len(files), "%s: storescp received %s" % (label, arrived))
    by_uid = {uid_of(os.path.join(out_dir, n)): os.path.join(out_dir, n) for n in arrived}
    for path in files:
        received = by_uid.get(uid_of(path))
        check(received is not None, "%s: storescp lacks %s" % (label, path))
        if received is None:
            continue
        difference = same_data_set(path, received)
        check(difference is None, "%s: %s changed: %s" % (label, path, difference))
        if expected:
            syntax_uid = str(pydicom.dcmread(received).file_meta.TransferSyntaxUID)
            check(syntax_uid == expected, "%s: %s arrived in %s" % (label, path, syntax_uid))


def sender_peak_kb(cmd):
    """Runs a sender; its exit code, output and peak resident memory in KiB, sampled from
    /proc while it runs (the rusage of a child also counts this process's memory, which the
    child shares between fork and exec)."""
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    peak = 0
    while proc.poll() is None:
        try:
            with open("/proc/%d/status" % proc.pid) as status:
                for line in status:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            break
        time.sleep(0.002)
    out = proc.stdout.read().decode(errors="replace")
    return proc.wait(), out, peak


def test_pixels_from_file(tools, scratch, acceptor, out_dir):
    """tessel-store leaves Pixel Data in the file until it is sent when it is the last element
    of a little endian file: such a file (explicit and implicit VR, 64 MiB of pixels) arrives
    unchanged and the sender's memory does not grow with it; files it cannot send that way (an
    element after Pixel Data, no Pixel Data at all) arrive whole as well."""
    source = pydicom.dcmread(os.path.join(tools.data, CT_FILE))
    frames, side = 128, 512
    pixels = random.Random(7).randbytes(side * side * 2) * frames

    def variant(name, implicit=False, trailing=False, no_pixels=False, big=False):
        data_set = copy.deepcopy(source)
        data_set.SOPInstanceUID = data_set.file_meta.MediaStorageSOPInstanceUID = \
            pydicom.uid.generate_uid()
        if big:
            data_set.Rows = data_set.Columns = side
            data_set.NumberOfFrames = frames
            data_set.PixelData = pixels
        if trailing:
            data_set.add_new(0xFFFCFFFC, "OB", b"\0" * 64)
        if no_pixels:
            del data_set.PixelData
        data_set.file_meta.TransferSyntaxUID = IMPLICIT if implicit else EXPLICIT
        data_set.is_implicit_VR = implicit
        data_set.is_little_endian = True
        path = os.path.join(scratch, name + ".dcm")
        data_set.save_as(path)
        return path

    small = variant("pixels-small")
    cases = [variant("pixels-big", big=True), variant("pixels-implicit", implicit=True),
             variant("pixels-trailing", trailing=True), variant("pixels-none", no_pixels=True)]
    store = [tools.store, "--ini", tools.ini, "--aec", SCP_TITLE, "127.0.0.1", str(acceptor.port)]
    small_peak = 0
    for path in [small] + cases:
        code, out, peak = sender_peak_kb(store + [path])
        check(code == 0 and "stored, status 0x0000" in out, "%s: %s" % (path, out))
        if path == small:
            small_peak = peak
        elif path == cases[0]:
            growth = peak - small_peak
            check(growth < len(pixels) // 1024 // 2, "tessel-store grew by %d KiB to send %d KiB"
                  " of pixels" % (growth, len(pixels) // 1024))
    check_arrived("pixels from the file", [small] + cases, out_dir)
    # Supplied from the file in host order, converted for a big endian context.
    store_to_storescp(tools, scratch, cases[:2], tools.ini, "EXPLICIT_BIG_ENDIAN", ["+xb"],
                      "1.2.840.10008.1.2.2")


def test_dcmtk_storescp(tools, scratch, files):
    for syntax, prefer, expected in [(None, "+x=", None),
                                     ("EXPLICIT_BIG_ENDIAN", "+xb", "1.2.840.10008.1.2.2"),
                                     ("IMPLICIT_LITTLE_ENDIAN", "+xi", IMPLICIT)]:
        store_to_storescp(tools, scratch, files, tools.ini, syntax, [prefer], expected)


def run_on_terminal(cmd, timeout=60):
    """Exit status and everything written, with standard output on a pseudo-terminal."""
    master, slave = pty.openpty()
    with tempfile.TemporaryFile() as errors:
        proc = subprocess.Popen(cmd, stdout=slave, stderr=errors)
        os.close(slave)
        written = b""
        deadline = time.time() + timeout
        while time.time() < deadline:
            if not select.select([master], [], [], max(0, deadline - time.time()))[0]:
                break
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the terminal's last writer is gone
                break
            if not chunk:
                break
            written += chunk
        os.close(master)
        try:
            code = proc.wait(timeout=max(1, deadline - time.time()))
        except subprocess.TimeoutExpired:
            proc.kill()
            code = proc.wait()
        errors.seek(0)
        check_sanitizers(os.path.basename(cmd[0]), errors.read().decode(errors="replace"))
    return code, written.decode(errors="replace")


def test_progress_line(tools, files):
    """On a terminal, a send that has taken a second shows which file goes out and clears the
    line again; storescp pausing a second after each file makes the send that long."""
    with dcmtk_acceptor(["storescp", "--sleep-after", "1", "--ignore"]) as port:
        code, out = run_on_terminal([tools.store, "--ini", tools.ini, "127.0.0.1", str(port)]
                                    + files[:4])
    check(code == 0, "tessel-store on a terminal: exit %s %r" % (code, out))
    shown = re.findall(r"\r\[(\d)/4\] sending (.+?) \.\.\.\x1b\[K", out)
    check(len(shown) >= 1 and all(files[int(n) - 1] == name for n, name in shown),
          "tessel-store progress lines: %r" % out)
    check(out.count("stored, status 0x0000") == 4 and "4 of 4 files stored" in out,
          "tessel-store on a terminal: %r" % out)


def test_large_values_in_files(tools, scratch, files):
    """An acceptor configured to keep large values in temporary files (LARGE_DATA_STORE = FILE)
    receives values that span many PDUs into those files, writes them out unchanged and leaves
    no temporary file behind."""
    temp_dir = fresh_dir(scratch, "values-temp")
    ini = configure(tools, os.path.join(scratch, "values-in-files"), LARGE_DATA_STORE="FILE",
                    LARGE_DATA_SIZE="1024", TEMP_FILE_DIRECTORY=temp_dir + "/")
    out_dir = fresh_dir(scratch, "values-received")
    # Data sets stored as they arrive never reach value storage: --decode reads them in.
    acceptor = Acceptor(tools, out_dir, threads=2, ini=ini, options=["--decode"])
    try:
        code, out, err = run([tools.store, "--ini", tools.ini, "--aec", SCP_TITLE, "127.0.0.1",
                              str(acceptor.port)] + files)
        check(code == 0, "tessel-store -> tessel-storescp, values in files: exit %d %s%s" % (
            code, out, err))
        check_arrived("values in files", files, out_dir)
        check(all(transfer_syntax_of(os.path.join(out_dir, uid_of(path) + ".dcm")) == EXPLICIT
                  for path in files), "--decode stored a file in another syntax")
    finally:
        check(acceptor.stop() == 0, "tessel-storescp with values in files did not stop cleanly")
    check(os.listdir(temp_dir) == [], "temporary value files left: %s" % os.listdir(temp_dir))


def test_pdu_sizes(tools, scratch, files):
    """Data sets spanning many PDUs, with both sides configured for 16 KiB and for 128 KiB, in
    implicit and explicit VR little endian, DCMTK -> tessel and tessel -> DCMTK."""
    for pdu in (16384, 131072):
        ini = configure(tools, os.path.join(scratch, "etc-%d" % pdu), PDU_MAXIMUM_LENGTH=pdu)
        out_dir = fresh_dir(scratch, "pdu-%d" % pdu)
        acceptor = Acceptor(tools, out_dir, ini=ini)
        try:
            for option, wire in (("-xi", "Implicit"), ("-xe", "Explicit")):
                for name in os.listdir(out_dir):
                    os.remove(os.path.join(out_dir, name))
                label = "storescu -pdu %d %s" % (pdu, option)
                code, out, err = run(["storescu", "-v", "-pdu", str(pdu), option, "-aec",
                                      SCP_TITLE, "127.0.0.1", str(acceptor.port)] + files)
                log = out + err
                check(code == 0, "%s: exit %s %s" % (label, code, log))
                # The acceptor offers its configured maximum; the data goes in the syntax asked.
                check("Max Send PDV: %d" % (pdu - 12) in log, "%s: %s" % (label, log))
                check(log.count("-> Little Endian " + wire) == len(files), "%s: %s" % (label, log))
                check_arrived(label, files, out_dir)
        finally:
            code = acceptor.stop()
        check(code == 0, "tessel-storescp with %d-byte PDUs: exit %d" % (pdu, code))
        for syntax, prefer, expected in (("IMPLICIT_LITTLE_ENDIAN", "+xi", IMPLICIT),
                                         ("EXPLICIT_LITTLE_ENDIAN", "+xe", EXPLICIT)):
            store_to_storescp(tools, scratch, files, ini, syntax, ["-pdu", str(pdu), prefer],
                              expected)


def dcmtk_profiles(scratch):
    path = os.path.join(scratch, "dcmtk-profiles.cfg")
    with open(path, "w") as target:
        target.write(DCMTK_PROFILES)
    return path


def test_refusals_by_tessel(tools, scratch, big_ct, sc_file):
    """DCMTK requestors refused by tessel-storescp: a called title it does not have, only a
    syntax it does not take, a SOP class outside its list. The library's warnings go to the
    screen in this configuration, so tessel-storescp shows the rejections."""
    ini = configure(tools, os.path.join(scratch, "etc-loud"), WARNING_MESSAGE="FILE SCREEN")
    out_dir = fresh_dir(scratch, "refusals")
    acceptor = Acceptor(tools, out_dir, ini=ini)
    profiles = dcmtk_profiles(scratch)
    odd = write_copy(sc_file, os.path.join(scratch, "worklist-class.dcm"), sop_class=WORKLIST_CLASS)
    address = ["127.0.0.1", str(acceptor.port)]
    cases = [(["echoscu", "-aec", "NOBODY"], [], "Called AE Title Not Recognized"),
             (["storescu", "-aec", "NOBODY"], [big_ct], "Called AE Title Not Recognized"),
             (["storescu", "-xf", profiles, "JPEGOnly", "-aec", SCP_TITLE], [big_ct], "No Reason")]
    try:
        for cmd, files, reason in cases:
            code, out, err = run(cmd + address + files)
            check(code not in (0, None) and "Association Rejected" in err and reason in err,
                  "%s: exit %s %s" % (" ".join(cmd), code, err))
        # The class outside the list is refused in the answer; the association still carries
        # the secondary capture file sent before it.
        code, out, err = run(["storescu", "-v", "+v", "-xf", profiles, "WorklistClass", "-aec",
                              SCP_TITLE] + address + [sc_file, odd])
        log = out + err
        check(code not in (0, None) and "(Abstract Syntax Not Supported)" in log and
              "No presentation context for: (FINDModalityWorklistInformationModel)" in log,
              "storescu with a worklist class: exit %s %s" % (code, log))
        check(os.listdir(out_dir) == [uid_of(sc_file) + ".dcm"],
              "with the worklist class arrived %s" % os.listdir(out_dir))
    finally:
        code = acceptor.stop()
    shown = " ".join(acceptor.output.split())
    check(code == 0 and shown.count("Unacceptable Called_application_title: NOBODY") == 2 and
          "No acceptable presentation contexts" in shown,
          "tessel-storescp did not show the rejections: %s" % acceptor.output)


def test_refusals_by_dcmtk(tools, scratch, big_ct):
    """tessel-echo and tessel-store refused by DCMTK acceptors: dcmqrscp knows one called title
    only, storescp +xi takes implicit VR only, storescp on the CT-only profile offers no
    verification. Each failure is one line on standard error, or the file's FAILED line."""
    db = fresh_dir(scratch, "dcmqrscp-db")
    config = os.path.join(scratch, "dcmqrscp.cfg")
    with open(config, "w") as target:
        target.write(DCMQRSCP_CONFIG % db)
    echo = [tools.echo, "--ini", tools.ini]
    store = [tools.store, "--ini", tools.ini]
    with dcmtk_acceptor(["dcmqrscp", "-c", config]) as port:
        address = ["127.0.0.1", str(port)]
        code, out, err = run(echo + ["--aec", "DCMQR"] + address)
        check(code == 0, "tessel-echo -> dcmqrscp: exit %s %s" % (code, err))
        for cmd in (echo + ["--aec", "NOBODY"] + address,
                    store + ["--aec", "NOBODY"] + address + [big_ct]):
            code, out, err = run(cmd)
            check(code == 1 and err.count("\n") == 1 and "cannot open an association to NOBODY@"
                  in err, "%s to a wrong title: exit %s %r" % (os.path.basename(cmd[0]), code, err))
    with dcmtk_acceptor(["storescp", "+xi", "-aet", SCP_TITLE, "-od", scratch]) as port:
        code, out, err = run(store + ["--aec", SCP_TITLE, "--syntax", "EXPLICIT_LITTLE_ENDIAN",
                                      "127.0.0.1", str(port), big_ct])
        check(code == 1 and "FAILED, the peer accepted no presentation context" in out,
              "tessel-store --syntax refused by storescp +xi: exit %s %s%s" % (code, out, err))
    profiles = dcmtk_profiles(scratch)
    out_dir = fresh_dir(scratch, "no-verification")
    with dcmtk_acceptor(["storescp", "-xf", profiles, "NoVerification", "-aet", SCP_TITLE, "-od",
                         out_dir]) as port:
        address = ["127.0.0.1", str(port)]
        code, out, err = run(echo + ["--aec", SCP_TITLE] + address)
        check(code == 1 and err.count("\n") == 1 and "cannot open an association" in err,
              "tessel-echo without verification: exit %s %r" % (code, err))
        code, out, err = run(store + ["--aec", SCP_TITLE] + address + [big_ct])
        check(code == 0, "tessel-store to the CT-only storescp: exit %s %s%s" % (code, out, err))


def transfer_syntax_of(path):
    return str(pydicom.dcmread(path, stop_before_pixels=True).file_meta.TransferSyntaxUID)


def implicit_element(group, element, value):
    if isinstance(value, str):
        value = value.encode()
    if len(value) % 2:
        value += b"\0"
    return struct.pack("<HHI", group, element, len(value)) + value


def store_command(instance, message_id, data_set_type=0):
    """A C-STORE-RQ command group for CT_CLASS; without (0000,1000) when instance is None."""
    elements = [implicit_element(0, 0x0002, CT_CLASS),
                implicit_element(0, 0x0100, struct.pack("<H", 0x0001)),
                implicit_element(0, 0x0110, struct.pack("<H", message_id)),
                implicit_element(0, 0x0700, struct.pack("<H", 0)),
                implicit_element(0, 0x0800, struct.pack("<H", data_set_type))]
    if instance is not None:
        elements.append(implicit_element(0, 0x1000, instance))
    body = b"".join(elements)
    return implicit_element(0, 0, struct.pack("<I", len(body))) + body


def odd_data_set(instance):
    """An implicit VR little endian CT data set that a decoder and encoder would not give back
    byte for byte: a sequence and an item of undefined length, a private block and an element of
    an unknown private tag."""
    undefined = 0xFFFFFFFF
    item = (struct.pack("<HHI", 0xFFFE, 0xE000, undefined) +
            implicit_element(0x0008, 0x1150, CT_CLASS) + implicit_element(0x0008, 0x1155, "1.2.3") +
            struct.pack("<HHI", 0xFFFE, 0xE00D, 0))
    return (implicit_element(0x0008, 0x0016, CT_CLASS) + implicit_element(0x0008, 0x0018, instance) +
            struct.pack("<HHI", 0x0008, 0x1115, undefined) + item +
            struct.pack("<HHI", 0xFFFE, 0xE0DD, 0) +
            implicit_element(0x0009, 0x0010, "TESSEL TEST") +
            implicit_element(0x0009, 0x1001, b"\x01\x02\x03\x04") +
            implicit_element(0x0010, 0x0010, "Bits^Kept") +
            implicit_element(0x7FE0, 0x0010, random.Random(7).randbytes(64)))


def p_data(control, data):
    pdv = struct.pack(">IBB", len(data) + 2, 1, control) + data
    return struct.pack(">BBI", 4, 0, len(pdv)) + pdv


def read_pdu(peer):
    head = receive(peer, 6)
    if len(head) < 6:
        return None, b""
    return head[0], receive(peer, struct.unpack(">I", head[2:6])[0])


def response_status(peer):
    """The status of the next response on the association, or None."""
    kind, body = read_pdu(peer)
    found = body.find(struct.pack("<HHI", 0, 0x0900, 2)) if kind == 4 else -1
    return struct.unpack("<H", body[found + 8:found + 10])[0] if found >= 0 else None


def send_raw_store(peer, instance, data_set, message_id):
    """Sends a C-STORE-RQ whose data set is cut into two PDVs inside an element; the response's
    status, or None."""
    peer.sendall(p_data(0x03, store_command(instance, message_id)) + p_data(0x00, data_set[:34]))
    peer.sendall(p_data(0x02, data_set[34:]))
    return response_status(peer)


def test_bit_preserving(tools, scratch):
    """A data set whose syntax is certain is written byte for byte as it travelled, behind a
    meta header naming that syntax; a request without Affected SOP Instance UID, and a class
    accepted in two syntaxes at once, are read whole instead and written in explicit VR."""
    out_dir = fresh_dir(scratch, "bit-preserving")
    acceptor = Acceptor(tools, out_dir, threads=2)
    kept, unnamed, bare = (pydicom.uid.generate_uid() for _ in range(3))
    try:
        peer, accepted = open_idle_association(acceptor.port, SCP_TITLE, CT_CLASS)
        check(accepted, "hand-made association for the bit-preserving store not accepted")
        peer.settimeout(10)
        data_set = odd_data_set(kept)
        check(send_raw_store(peer, kept, data_set, 1) == 0, "raw C-STORE: status not 0000")
        check(send_raw_store(peer, None, odd_data_set(unnamed), 2) == 0,
              "raw C-STORE without (0000,1000): status not 0000")
        # Requests that carry no data set, said so or sent empty, are refused and leave no file.
        peer.sendall(p_data(0x03, store_command(bare, 3, data_set_type=0x0101)))
        check(response_status(peer) == 0xC000, "C-STORE announcing no data set: not refused")
        peer.sendall(p_data(0x03, store_command(bare, 4)) + p_data(0x02, b""))
        check(response_status(peer) == 0xC000, "C-STORE with an empty data set: not refused")
        peer.sendall(struct.pack(">BBI", 5, 0, 4) + bytes(4))
        check(read_pdu(peer)[0] == 6, "no A-RELEASE-RP after the raw stores")
        peer.close()

        path = os.path.join(out_dir, kept + ".dcm")
        with open(path, "rb") as stored:
            content = stored.read()
        check(content[128:132] == b"DICM", "stored file has no DICM prefix")
        meta_length = struct.unpack("<I", content[140:144])[0]
        check(content[144 + meta_length:] == data_set,
              "data set not stored byte for byte: %d bytes against %d sent" % (
                  len(content) - 144 - meta_length, len(data_set)))
        meta = pydicom.dcmread(path).file_meta
        check(str(meta.TransferSyntaxUID) == IMPLICIT and
              str(meta.MediaStorageSOPInstanceUID) == kept and
              str(meta.MediaStorageSOPClassUID) == CT_CLASS, "meta header: %s" % meta)
        # Named by the data set's SOP Instance UID, decoded and written again.
        fallback = os.path.join(out_dir, unnamed + ".dcm")
        check(os.path.exists(fallback) and transfer_syntax_of(fallback) == EXPLICIT and
              str(pydicom.dcmread(fallback).PatientName) == "Bits^Kept",
              "request without (0000,1000) not stored whole: %s" % os.listdir(out_dir))
        check(not any(name.startswith(bare) for name in os.listdir(out_dir)),
              "a request without a data set left a file: %s" % os.listdir(out_dir))

        # CT in two contexts, implicit and explicit: the implicit file keeps its context but is
        # written in explicit VR.
        ct = os.path.join(tools.data, CT_FILE)
        code, out, err = run(["storescu", "-xf", dcmtk_profiles(scratch), "CTInTwoSyntaxes",
                              "-aec", SCP_TITLE, "127.0.0.1", str(acceptor.port), ct])
        received = os.path.join(out_dir, uid_of(ct) + ".dcm")
        check(code == 0 and os.path.exists(received) and same_data_set(ct, received) is None and
              transfer_syntax_of(received) == EXPLICIT,
              "CT accepted in two syntaxes: exit %s %s" % (code, err))
    finally:
        code = acceptor.stop()
    check(code == 0, "tessel-storescp after the bit-preserving stores: exit %d" % code)


def limit_file_size():
    """Files of the process may not grow beyond 256 KiB: a write past that fails with EFBIG
    instead of raising SIGXFSZ."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (256 * 1024, 256 * 1024))


def test_failing_disk(tools, scratch, big_ct, small):
    """A file that cannot be written to the end gets 0xA700, and the association goes on: the
    rest of the data set is still read off the network. Stored as received and decoded alike;
    no partial file is left."""
    for options in ([], ["--decode"]):
        label = "disk full%s" % (" " + options[0] if options else "")
        out_dir = fresh_dir(scratch, "disk-full%s" % ("-decode" if options else ""))
        ini = configure(tools, os.path.join(scratch, "etc-" + os.path.basename(out_dir)),
                        LOG_FILE=os.path.join(scratch, os.path.basename(out_dir) + ".log"))
        acceptor = Acceptor(tools, out_dir, threads=1, ini=ini, options=options,
                            preexec_fn=limit_file_size)
        try:
            code, out, err = run([tools.store, "--ini", tools.ini, "--aec", SCP_TITLE,
                                  "127.0.0.1", str(acceptor.port), big_ct, small])
            check(code == 1 and "%s: FAILED, status 0xA700" % big_ct in out and
                  "%s: stored, status 0x0000" % small in out,
                  "%s: exit %s %s%s" % (label, code, out, err))
            check(os.listdir(out_dir) == [uid_of(small) + ".dcm"],
                  "%s: the directory holds %s" % (label, os.listdir(out_dir)))
        finally:
            code = acceptor.stop()
        check(code == 0 and "File too large" in acceptor.output,
              "%s: tessel-storescp exit %d: %s" % (label, code, acceptor.output))


def test_fifty_associations(tools, scratch, data_dir):
    """Fifty storescu processes started at once against eight worker threads, each with its
    own CT and secondary capture copies."""
    copies = fresh_dir(scratch, "copies")
    pairs = [[write_copy(os.path.join(data_dir, name), os.path.join(copies, "%d-%s" % (i, name)))
              for name in (CT_FILE, SC_FILE)] for i in range(50)]
    out_dir = fresh_dir(scratch, "fifty")
    acceptor = Acceptor(tools, out_dir, threads=8)
    try:
        procs = [subprocess.Popen(["storescu", "-aec", SCP_TITLE, "127.0.0.1", str(acceptor.port)]
                                  + pair, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  text=True) for pair in pairs]
        for proc in procs:
            out = proc.communicate(timeout=120)[0]
            check(proc.returncode == 0, "one of 50 storescu: exit %d %s" % (proc.returncode, out))
    finally:
        started = time.time()
        code = acceptor.stop()
        seconds = time.time() - started
    check(code == 0 and seconds < 5, "tessel-storescp after 50 associations: exit %d after %.1f s"
          % (code, seconds))
    check(acceptor.output.count("released after 2 file(s)") == 50,
          "tessel-storescp output: %s" % acceptor.output)
    check(len(os.listdir(out_dir)) == 100, "%d files from 50 associations" % len(
        os.listdir(out_dir)))
    check_arrived("50 associations", [path for pair in pairs for path in pair], out_dir)


def test_busy_threads(tools, scratch, data_dir):
    """With its only thread held by an idle association, tessel-storescp turns a second one
    away; once the idle one is gone the same thread serves the next ones."""
    out_dir = fresh_dir(scratch, "busy")
    acceptor = Acceptor(tools, out_dir, threads=1)
    ct = os.path.join(data_dir, CT_FILE)
    try:
        idle, accepted = open_idle_association(acceptor.port, SCP_TITLE, CT_CLASS)
        check(accepted, "hand-made association request not accepted")
        code, out, err = run(["storescu", "-aec", SCP_TITLE, "127.0.0.1", str(acceptor.port), ct])
        check(code != 0, "storescu while the only thread is busy: exit %d %s%s" % (code, out, err))
        idle.close()
        for attempt in range(2):
            code, out, err = run(["storescu", "-aec", SCP_TITLE, "127.0.0.1", str(acceptor.port),
                                  ct])
            check(code == 0, "storescu %d after the idle association: exit %d %s%s" % (
                attempt, code, out, err))
    finally:
        acceptor.stop()
    check("association rejected: all 1 threads busy" in acceptor.output,
          "tessel-storescp output: %s" % acceptor.output)
    check(acceptor.output.count("released after 1 file(s)") == 2,
          "tessel-storescp output: %s" % acceptor.output)


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
            test_store_window(tools, scratch, acceptor, files)
            test_store_refusals(tools, acceptor, tools.data, out_dir, files[0])
            test_concurrent(tools, acceptor, files)
            test_store_again(tools, scratch, acceptor, out_dir, files[0])
            test_dcmtk_storescu(acceptor, out_dir, files[1])
            test_pixels_from_file(tools, scratch, acceptor, out_dir)
            # An idle association does not hold up the stop: it is aborted.
            idle, accepted = open_idle_association(acceptor.port, SCP_TITLE, CT_CLASS)
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
        test_progress_line(tools, files)
        big_ct = write_copy(os.path.join(tools.data, CT_FILE), os.path.join(scratch, "big-ct.dcm"),
                            explicit=True, big_pixels=True)
        test_pdu_sizes(tools, scratch, [big_ct, os.path.join(tools.data, SC_FILE)])
        test_large_values_in_files(tools, scratch, [big_ct] + files)
        test_bit_preserving(tools, scratch)
        test_failing_disk(tools, scratch, big_ct, os.path.join(tools.data, SC_FILE))
        test_refusals_by_tessel(tools, scratch, big_ct, os.path.join(tools.data, SC_FILE))
        test_refusals_by_dcmtk(tools, scratch, big_ct)
        test_fifty_associations(tools, scratch, tools.data)
        test_busy_threads(tools, scratch, tools.data)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print("%d failure(s)" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
