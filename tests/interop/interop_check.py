#!/usr/bin/python3
"""Checks tessel-dump and tessel-conv against two independent DICOM readers, DCMTK's dcmdump
and pydicom, on real files.

For every file in DIR (searched recursively):
  * malformed files (listed in MALFORMED) must give the exit status listed there, a line on
    standard error when it is 1, and never a signal or a hang;
  * a file that dcmdump or pydicom reads must be read by tessel-dump, and the DICOM JSON Model
    that tessel-dump --json prints must equal pydicom's Dataset.to_json_dict() of the same file
    once both are normalised (padding, number forms, empty values);
  * a file in a native transfer syntax is converted by tessel-conv to each native syntax: dcmdump
    must read every result without warnings and pydicom must find the original values in it;
    converting the results back to the original syntax must give the same bytes whatever the
    intermediate syntax, and a second round trip must reproduce them byte for byte.

Every difference is listed per file; the exit status is 1 when any remains.
"""

import argparse
import base64
import fnmatch
import gzip
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import warnings

import pydicom
import pydicom.config

# Elements of VR UN stay UN, as tessel-dump keeps the VR the file carries.
pydicom.config.replace_un_with_known_vr = True

TIMEOUT = 20  # seconds for one run of a tool

NATIVE = {
    "1.2.840.10008.1.2": "IMPLICIT_LITTLE_ENDIAN",
    "1.2.840.10008.1.2.1": "EXPLICIT_LITTLE_ENDIAN",
    "1.2.840.10008.1.2.2": "EXPLICIT_BIG_ENDIAN",
    "1.2.840.10008.1.2.1.99": "DEFLATED_EXPLICIT_LITTLE_ENDIAN",
}
BIG_ENDIAN_UID = "1.2.840.10008.1.2.2"
DICOMDIR_UID = "1.2.840.10008.1.3.10"

# Malformed or adversarial files: the exit statuses tessel-dump may give, and why.
MALFORMED = {
    "3gb-bulk-data-truncated": ({1}, "Pixel Data of 3 GiB in a file cut at 100 000 bytes"),
    "GH179B.dcm": ({1}, "private creator value runs past the end of the file"),
    "FreezePattern.dcm": ({1}, "zero-length sequence pattern that froze a parser"),
    "GH1339.dcm": ({0}, "sequence delimitation item missing at the end of the file: the data "
                        "set simply ends, so the file is odd but readable"),
    "no_preamble_dicm_in_data": ({1}, "no preamble, but the bytes at offset 128 spell DICM: "
                                      "read as a Part 10 file, its meta group is garbage"),
    "Tag-0040-A170-VR-CS.dcm": ({1}, "sequence (0040,A170) encoded with VR CS in implicit VR"),
    "2026-05-06-Deeply-Nested-Sequence.dcm": ({1}, "100 000 nested sequences"),
    "2026-05-26-oob-monochrome-46341.dcm": ({0}, "Rows x Columns beyond the Pixel Data: "
                                                 "the data set itself is well formed"),
    "2026-05-26-oob-monochrome-65535.dcm": ({0}, "Rows x Columns beyond the Pixel Data: "
                                                 "the data set itself is well formed"),
    "DIRW0007": ({0}, "a sequence delimitation item where the last item's delimitation belongs: "
                      "taken to end both, the rest of the file reads as it should"),
    "GH364.dcm": ({1}, "corrupt item structure"),
    "GH626.dcm": ({1}, "command group elements and out-of-order tags inside the data set"),
    "GH1376.dcm": ({1}, "a second meta group (0002) inside the data set"),
}

# Differences from pydicom that are pydicom's own reading, not tessel's: (file pattern, element
# path pattern, reason).
ALLOWED = [
    ("*chrGB2312.dcm", r"00100010: PN",
     "pydicom leaves the ISO 2022 IR 58 escape sequences (ESC $ ) A) in the decoded name"),
    ("*GH179A.dcm", r"",
     "(0028,0120) carries the VR bytes '  ': pydicom reads a 4-byte length and swallows the "
     "elements that follow; DCMTK and tessel take the 2-byte length"),
    ("*", r"(00189810|00221452|0028010[4-9]|0028011[01]|0028012[01]|0028110[1-3]|00283002|"
          r"0040921[16]|0060300[46]): VR US, peer SS",
     "VR 'US or SS': pydicom picks SS by Pixel Representation also for LUT descriptors and for "
     "elements converted from UN, where the library keeps the dictionary's US (same bits); "
     "pixel-value elements read from implicit VR are resolved by both"),
    ("*2026-03-16-OD-OF-OL.dcm", r"0070150D: VR UN, peer OD",
     "VR OD has no code in the library: the value is kept, as UN"),
]


def tool(args, cwd, *extra):
    """Runs a tool; returns (exit status, stdout bytes, stderr text, problem or None)."""
    try:
        done = subprocess.run(list(args) + list(extra), cwd=cwd, capture_output=True,
                              timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return None, b"", "", "no answer within %d s" % TIMEOUT
    if done.returncode < 0:
        return done.returncode, done.stdout, "", "killed by signal %d" % -done.returncode
    return done.returncode, done.stdout, done.stderr.decode("utf-8", "replace"), None


def pydicom_read(path):
    """The data set as pydicom reads it, or None."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ds = pydicom.dcmread(path, force=True)
            ds.to_json_dict()  # reads every element
        return ds
    except Exception:  # any failure means pydicom cannot read the file
        return None


def pydicom_json(ds):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return ds.to_json_dict(bulk_data_threshold=1 << 40)


def transfer_syntax(ds):
    meta = getattr(ds, "file_meta", None)
    uid = getattr(meta, "TransferSyntaxUID", None) if meta is not None else None
    return str(uid) if uid else None


def dcmdump_reads(path, cwd):
    status, _, _, problem = tool(["dcmdump", path], cwd)
    return problem is None and status == 0


def dcmdump_complaints(out, err):
    text = out.decode("latin-1") + err
    return [l for l in text.splitlines() if l.startswith(("W:", "E:"))]


def swap(data, width):
    if width == 1 or len(data) % width:
        return data
    out = bytearray(data)
    for at in range(0, len(data), width):
        out[at:at + width] = data[at:at + width][::-1]
    return bytes(out)


SWAP_WIDTH = {"OW": 2, "OF": 4, "OL": 4, "OD": 8}


def norm_value(vr, value):
    if value is None or value == "":
        return None
    if isinstance(value, str):
        return value.strip() or None
    if isinstance(value, dict):  # person name groups
        groups = {k: v.strip() for k, v in value.items() if isinstance(v, str) and v.strip()}
        return groups or None
    if vr == "FL" and isinstance(value, (int, float)):
        return struct.unpack("<f", struct.pack("<f", value))[0]
    if vr == "DS" and isinstance(value, (int, float)):
        return float(value)
    return value


def normalise(data_set, big_endian):
    """tag -> (vr, value): values stripped of padding, empty values None, bulk data as
    little-endian bytes, items normalised in turn."""
    out = {}
    for tag, element in data_set.items():
        if tag.startswith("0002"):
            continue
        vr = element.get("vr")
        vr = getattr(vr, "value", vr)  # pydicom's VR enumeration
        value = None
        if "InlineBinary" in element:
            data = base64.b64decode(element["InlineBinary"])
            if big_endian:
                data = swap(data, SWAP_WIDTH.get(vr, 1))
            value = data or None
        elif vr == "SQ":
            items = [normalise(item, big_endian) for item in element.get("Value") or []]
            value = items or None
        elif element.get("Value"):
            values = [norm_value(vr, v) for v in element["Value"]]
            value = values if any(v is not None for v in values) else None
        out[tag] = (vr, value)
    return out


def show(value):
    text = repr(value)
    return text if len(text) <= 80 else text[:77] + "..."


def differences(ours, theirs, path="", compare_vr=True, skip=None):
    """Lines describing where two normalised data sets differ."""
    lines = []
    for tag in sorted(set(ours) | set(theirs)):
        where = path + tag
        if skip is not None and skip(tag):
            continue
        if tag not in ours:
            lines.append("%s: missing (peer has %s %s)" % (where, theirs[tag][0],
                                                           show(theirs[tag][1])))
            continue
        if tag not in theirs:
            lines.append("%s: extra (%s %s)" % (where, ours[tag][0], show(ours[tag][1])))
            continue
        (vr_a, a), (vr_b, b) = ours[tag], theirs[tag]
        if vr_a in vr_b.split(" or "):
            vr_b = vr_a  # a VR pydicom left ambiguous ("OB or OW") matches either reading
        opaque = "UN" in (vr_a, vr_b) and vr_a != vr_b  # one side could not know the VR
        if compare_vr and vr_a != vr_b and not opaque:
            lines.append("%s: VR %s, peer %s" % (where, vr_a, vr_b))
            continue
        if {vr_a, vr_b} == {"US", "SS"} and not compare_vr:
            # Implicit VR: pydicom picks US or SS by Pixel Representation for the same bits.
            a = [v & 0xFFFF if isinstance(v, int) else v for v in a or []]
            b = [v & 0xFFFF if isinstance(v, int) else v for v in b or []]
        if {vr_a, vr_b} in ({"OW", "US"}, {"OW", "SS"}) and not compare_vr:
            # Implicit VR: pydicom reads 'US or OW' LUT data as numbers, the original as bytes.
            a, b = [struct.pack("<%dH" % len(v), *[x & 0xFFFF for x in v])
                    if isinstance(v, list) else v for v in (a, b)]
        if vr_a == "SQ" and vr_b == "SQ" and a and b and len(a) == len(b):
            for index, (item_a, item_b) in enumerate(zip(a, b)):
                lines += differences(item_a, item_b, "%s[%d]." % (where, index), compare_vr, skip)
        elif a != b and not opaque:
            lines.append("%s: %s %s, peer %s" % (where, vr_a, show(a), show(b)))
    return lines


def allowed(name, line):
    for pattern, path, _reason in ALLOWED:
        if fnmatch.fnmatch(name, pattern) and re.search(path, line):
            return True
    return False


class Check:
    def __init__(self, options, scratch):
        self.dump = [os.path.abspath(options.dump), "--ini", os.path.abspath(options.ini)]
        self.conv = [os.path.abspath(options.conv), "--ini", os.path.abspath(options.ini)]
        self.scratch = scratch
        self.figures = {"files": 0, "tessel read": 0, "peer read": 0, "json equal": 0,
                        "json equal but for allowed": 0, "json differ": 0,
                        "malformed as expected": 0, "converted": 0, "round trips identical": 0}
        self.failures = 0

    def run_file(self, path, name):
        problems = []
        if path.endswith(".gz"):
            # Large repetitive files are kept compressed; they are checked as they were.
            name = name[:-3]
            unpacked = os.path.join(self.scratch, os.path.basename(name))
            with gzip.open(path, "rb") as packed, open(unpacked, "wb") as out:
                shutil.copyfileobj(packed, out)
            path = unpacked
        self.figures["files"] += 1
        status, _, err, problem = tool(self.dump, self.scratch, path)
        if problem:
            problems.append("tessel-dump: " + problem)
        status_json, out_json, err_json, problem = tool(self.dump, self.scratch, "--json", path)
        if problem:
            problems.append("tessel-dump --json: " + problem)
        if status == 0 and status_json == 0:
            self.figures["tessel read"] += 1
        base = os.path.basename(path)
        known = [key for key in MALFORMED if base == key or base.endswith("-" + key)]
        if known:
            expected, _reason = MALFORMED[known[0]]
            if status not in expected or status_json not in expected:
                problems.append("exit status %s/%s, expected %s" % (status, status_json,
                                                                    sorted(expected)))
            elif status == 1 and not err.strip():
                problems.append("exit status 1 without a line on standard error")
            elif not problems:
                self.figures["malformed as expected"] += 1
            return problems

        ds = pydicom_read(path)
        if ds is None and not dcmdump_reads(path, self.scratch):
            return problems  # no peer reads it: nothing to compare with
        self.figures["peer read"] += 1
        if status != 0 or status_json != 0:
            problems.append("tessel-dump failed: " + (err or err_json).strip())
            return problems
        if ds is None:
            return problems
        big_endian = transfer_syntax(ds) == BIG_ENDIAN_UID
        theirs = normalise(pydicom_json(ds), big_endian)
        try:
            ours = normalise(json.loads(out_json.decode("utf-8")), False)
        except ValueError as error:
            problems.append("tessel-dump --json is not JSON: %s" % error)
            return problems
        found = differences(ours, theirs)
        diff = [line for line in found if not allowed(name, line)]
        if diff:
            self.figures["json differ"] += 1
            problems += ["json " + line for line in diff]
        elif found:
            self.figures["json equal but for allowed"] += 1
        else:
            self.figures["json equal"] += 1

        uid = transfer_syntax(ds)
        if uid is None and not ds.is_little_endian:
            return problems
        meta = getattr(ds, "file_meta", None)
        directory = str(getattr(meta, "MediaStorageSOPClassUID", "")) == DICOMDIR_UID
        if uid is None:
            original = "IMPLICIT_LITTLE_ENDIAN" if ds.is_implicit_VR else "EXPLICIT_LITTLE_ENDIAN"
        elif uid in NATIVE and not directory:
            original = NATIVE[uid]
        else:
            # Encapsulated files and DICOMDIRs are refused with a line that says why.
            status, _, err, problem = tool(self.conv, self.scratch, "--syntax",
                                           "EXPLICIT_LITTLE_ENDIAN", path,
                                           os.path.join(self.scratch, "refused.dcm"))
            reason = "DICOMDIR" if directory else "encapsulated"
            if problem or status != 1 or reason not in err:
                problems.append("conv of a file it must refuse: exit %s, %s" % (
                    status, problem or err))
            return problems
        problems += self.conversions(path, name, theirs, original)
        return problems

    def convert(self, source, syntax, target):
        status, _, err, problem = tool(self.conv, self.scratch, "--syntax", syntax, source,
                                       target)
        if problem or status != 0:
            return "tessel-conv to %s: %s" % (syntax, problem or err.strip())
        return None

    def conversions(self, path, name, theirs, original):
        """Converts to each native syntax and back. Implicit VR cannot keep the VR of an element
        the dictionary does not know, so from an explicit original a way through implicit VR is
        left out of the byte comparisons (its values are still compared)."""
        problems = []
        back = []
        # What dcmdump says of the original it may say of the copies (data set content).
        _, out, err, _ = tool(["dcmdump", path], self.scratch)
        inherited = set(dcmdump_complaints(out, err))
        keeps_vr = [s for s in NATIVE.values()
                    if s != "IMPLICIT_LITTLE_ENDIAN" or original == "IMPLICIT_LITTLE_ENDIAN"]
        for syntax in NATIVE.values():
            converted = os.path.join(self.scratch, syntax + ".dcm")
            failure = self.convert(path, syntax, converted)
            if failure:
                problems.append(failure)
                continue
            self.figures["converted"] += 1
            status, out, err, problem = tool(["dcmdump", converted], self.scratch)
            noisy = [l for l in dcmdump_complaints(out, err) if l not in inherited]
            if problem or status != 0 or noisy:
                said = problem or "; ".join(noisy)
                problems.append("dcmdump on %s: exit %s %s" % (syntax, status, said[:300]))
            ds = pydicom_read(converted)
            if ds is None:
                problems.append("pydicom cannot read the %s result" % syntax)
            else:
                ours = normalise(pydicom_json(ds), syntax == "EXPLICIT_BIG_ENDIAN")
                # Group lengths are recomputed for the new encoding.
                diff = differences(ours, theirs, compare_vr=syntax != "IMPLICIT_LITTLE_ENDIAN",
                                   skip=lambda tag: tag.endswith("0000"))
                diff = ["%s result: %s" % (syntax, line) for line in diff]
                problems += [line for line in diff if not allowed(name, line)][:20]
            returned = os.path.join(self.scratch, "back-" + syntax + ".dcm")
            failure = self.convert(converted, original, returned)
            if failure:
                problems.append(failure)
            elif syntax in keeps_vr:
                back.append((syntax, returned))
        if not back:
            return problems
        with open(back[0][1], "rb") as handle:
            canonical = handle.read()
        for syntax, returned in back[1:]:
            with open(returned, "rb") as handle:
                if handle.read() != canonical:
                    problems.append("back from %s differs from back from %s" % (syntax,
                                                                               back[0][0]))
        # Every read drops one trailing space from each text value, so a value padded with
        # several spaces settles only after as many round trips: reach that fixed point first.
        settled = back[0][1]
        for _ in range(8):
            there = os.path.join(self.scratch, "settle.dcm")
            home = os.path.join(self.scratch, "settled.dcm")
            failure = (self.convert(settled, "EXPLICIT_LITTLE_ENDIAN", there) or
                       self.convert(there, original, home))
            if failure:
                problems.append("settling: " + failure)
                return problems
            with open(home, "rb") as handle:
                again_bytes = handle.read()
            if again_bytes == canonical:
                break
            canonical = again_bytes
            settled = os.path.join(self.scratch, "canonical.dcm")
            shutil.copyfile(home, settled)
        else:
            problems.append("no fixed point after 8 round trips")
            return problems
        again = True
        for syntax in keeps_vr:
            there = os.path.join(self.scratch, "again-" + syntax + ".dcm")
            home = os.path.join(self.scratch, "again-back.dcm")
            failure = self.convert(settled, syntax, there) or self.convert(there, original, home)
            if failure:
                problems.append("second round trip: " + failure)
                again = False
                continue
            with open(home, "rb") as handle:
                if handle.read() != canonical:
                    problems.append("second round trip through %s changed the bytes" % syntax)
                    again = False
        if again:
            self.figures["round trips identical"] += 1
        return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dump", required=True, help="the tessel-dump program")
    parser.add_argument("--conv", required=True, help="the tessel-conv program")
    parser.add_argument("--ini", required=True, help="the initialisation file")
    parser.add_argument("--quiet", action="store_true", help="list failing files only")
    parser.add_argument("directory", help="directory of DICOM files")
    options = parser.parse_args()
    if shutil.which("dcmdump") is None:
        print("interop_check: dcmdump (DCMTK) is not on PATH", file=sys.stderr)
        return 1

    files = []
    options.directory = os.path.abspath(options.directory)
    for root, _dirs, names in os.walk(options.directory):
        for name in names:
            if name.endswith((".md", ".txt")):
                continue
            files.append(os.path.join(root, name))
    files.sort()

    scratch = tempfile.mkdtemp(prefix="tessel-interop-")
    check = Check(options, scratch)
    try:
        for path in files:
            name = os.path.relpath(path, options.directory)
            problems = check.run_file(path, name)
            if problems:
                check.failures += 1
                print("FAIL %s" % name)
                for line in problems:
                    print("  " + line)
            elif not options.quiet:
                print("ok   %s" % name)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print("; ".join("%s: %d" % item for item in check.figures.items()))
    print("%d of %d files failed" % (check.failures, len(files)))
    return 1 if check.failures else 0


if __name__ == "__main__":
    sys.exit(main())
