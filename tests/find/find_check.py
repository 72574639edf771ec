"""The C-FIND example (examples/find_scp.c) as a process on a free port of 127.0.0.1, queried by
DCMTK's findscu: matches and the keys returned (responses extracted to files and read with
pydicom), an empty result, failure statuses for a level or identifier that does not fit,
refusal of a query model it does not offer, verification, and a clean stop on SIGTERM."""

import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

import pydicom

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from raw_peer import free_port, open_idle_association, receive  # noqa: E402

TITLE = "TESSEL_FIND"
FAILURES = []
UID = "2.25.10010010010000%d"


def check(condition, text):
    if not condition:
        FAILURES.append(text)
        print("FAIL: " + text, flush=True)


def run(cmd):
    done = subprocess.run(cmd, capture_output=True, text=True, errors="replace", timeout=60)
    return done.returncode, done.stdout + done.stderr


class Example:
    """The example acceptor, started in its own directory (its log file lands there)."""

    def __init__(self, args, work):
        self.port = free_port()
        self.log = open(os.path.join(work, "scp.out"), "w+")
        self.proc = subprocess.Popen(
            [args.scp, "--ini", args.ini, "--aet", TITLE, "--port", str(self.port),
             "--address", "127.0.0.1"], cwd=work, stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.time() + 10
        while (time.time() < deadline and self.proc.poll() is None and
               "listening" not in self.text()):
            time.sleep(0.1)
        check("listening on port %d" % self.port in self.text(),
              "no listening line: " + self.text())

    def text(self):
        self.log.seek(0)
        return self.log.read()

    def stop(self, peer=None):
        self.proc.send_signal(signal.SIGTERM)
        if peer is not None:
            # The example aborts the open association and waits for the peer to close.
            check(receive(peer, 1) == b"\x07", "no A-ABORT on the idle association")
            peer.close()
        try:
            code = self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = self.proc.wait()
            check(False, "the example did not stop on SIGTERM")
        return code


def find(args, example, work, model, keys):
    """Runs one findscu query; returns its exit status, output, final status text and the
    identifiers of the pending responses."""
    out = tempfile.mkdtemp(dir=work)
    cmd = [args.findscu, "-v", model, "-aec", TITLE, "-X", "-od", out]
    for key in keys:
        cmd += ["-k", key]
    code, output = run(cmd + ["127.0.0.1", str(example.port)])
    final = re.search(r"Received Final Find Response \(([^)]*)\)", output)
    answers = [pydicom.dcmread(os.path.join(out, name)) for name in sorted(os.listdir(out))]
    return code, output, final.group(1) if final else None, answers


def test_matching(args, example, work):
    patient_keys = ["PatientID", "PatientBirthDate", "PatientSex"]
    cases = [
        # model, keys, key whose values identify the matches, the values expected
        ("-P", ["QueryRetrieveLevel=PATIENT", "PatientName=DOE*"] + patient_keys,
         "PatientID", ["PAT001", "PAT002"]),
        ("-P", ["QueryRetrieveLevel=PATIENT", "PatientName=*A*", "PatientID=PAT00?"],
         "PatientID", ["PAT002", "PAT003"]),
        ("-P", ["QueryRetrieveLevel=PATIENT", "PatientName=SMITH^ANNA", "PatientID"],
         "PatientID", ["PAT003"]),
        ("-P", ["QueryRetrieveLevel=PATIENT", "PatientName=DOE", "PatientID"], "PatientID", []),
        ("-P", ["QueryRetrieveLevel=PATIENT", "PatientName", "PatientID"],
         "PatientID", ["PAT001", "PAT002", "PAT003"]),
        ("-P", ["QueryRetrieveLevel=STUDY", "PatientID=PAT002", "StudyInstanceUID"],
         "StudyInstanceUID", [UID % 3]),
        ("-S", ["QueryRetrieveLevel=STUDY", "PatientID=PAT001", "StudyInstanceUID"],
         "StudyInstanceUID", [UID % 1, UID % 2]),
        ("-S", ["QueryRetrieveLevel=STUDY", "StudyInstanceUID=%s\\%s" % (UID % 4, UID % 2)],
         "StudyInstanceUID", [UID % 2, UID % 4]),
        ("-S", ["QueryRetrieveLevel=STUDY", "StudyInstanceUID=2.25.1"], "StudyInstanceUID", []),
        ("-S", ["QueryRetrieveLevel=STUDY", "PatientName=NOBODY^*", "StudyInstanceUID"],
         "StudyInstanceUID", []),
    ]
    for model, keys, key, expected in cases:
        name = "findscu %s %s" % (model, " ".join(keys))
        code, output, final, answers = find(args, example, work, model, keys)
        check(code == 0 and final == "Success",
              "%s: exit %d, final %s\n%s" % (name, code, final, output))
        got = sorted(str(a.get(key, "")) for a in answers)
        check(got == expected, "%s: %s %s, expected %s" % (name, key, got, expected))
        # Every answer carries exactly the keys asked for.
        asked = {k.split("=")[0] for k in keys}
        for answer in answers:
            check({e.keyword for e in answer} == asked,
                  "%s: keys %s" % (name, sorted(e.keyword for e in answer)))

    # The values of a study's and its patient's attributes, and an empty key the database lacks.
    keys = ["QueryRetrieveLevel=STUDY", "StudyInstanceUID=" + UID % 3, "PatientName",
            "PatientBirthDate", "StudyDate", "StudyDescription", "ModalitiesInStudy",
            "AccessionNumber", "ReferringPhysicianName"]
    code, output, final, answers = find(args, example, work, "-S", keys)
    check(final == "Success" and len(answers) == 1,
          "study values query: %s %d" % (final, len(answers)))
    if answers:
        a = answers[0]
        got = (a.QueryRetrieveLevel, str(a.PatientName), a.PatientBirthDate, a.StudyDate,
               a.StudyDescription, a.ModalitiesInStudy, a.AccessionNumber,
               a.get("ReferringPhysicianName", "absent"))
        expected = ("STUDY", "DOE^JANE", "19820315", "20231130", "US ABDOMEN", "US", "ACC1003",
                    "")
        check(got == expected, "study values: %s" % (got,))


def test_refusals(args, example, work):
    cases = [
        ("-S", ["QueryRetrieveLevel=SERIES", "SeriesInstanceUID"], "Failed: UnableToProcess"),
        ("-S", ["QueryRetrieveLevel=PATIENT", "PatientID"], "Error: DataSetDoesNotMatchSOPClass"),
        ("-P", ["QueryRetrieveLevel=WARD", "PatientID"], "Error: DataSetDoesNotMatchSOPClass"),
        ("-P", ["PatientName=DOE*"], "Error: DataSetDoesNotMatchSOPClass"),
    ]
    for model, keys, expected in cases:
        code, output, final, answers = find(args, example, work, model, keys)
        check(final == expected and not answers,
              "findscu %s %s: final %s, %d answers" % (model, keys, final, len(answers)))
    # The worklist model is not offered: the association is refused.
    code, output, final, answers = find(args, example, work, "-W", ["PatientName="])
    check(code != 0 and "Association Rejected" in output and final is None,
          "worklist query: exit %d\n%s" % (code, output))
    code, output = run([args.echoscu, "-aec", TITLE, "127.0.0.1", str(example.port)])
    check(code == 0, "echoscu: exit %d %s" % (code, output))


def main():
    parser = argparse.ArgumentParser()
    for option in ("--scp", "--ini", "--findscu", "--echoscu"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    code, output = run([args.scp, "--port", "0"])
    check(code == 2 and output.startswith("usage: "), "bad port: exit %d %r" % (code, output))
    peer = None
    with tempfile.TemporaryDirectory() as work:
        example = Example(args, work)
        try:
            if example.proc.poll() is None:
                test_matching(args, example, work)
                test_refusals(args, example, work)
                # A stop with an association open aborts it.
                peer, accepted = open_idle_association(example.port, TITLE, "1.2.840.10008.5.1.4.1.2.2.1")
                check(accepted, "idle association not accepted")
        finally:
            code = example.stop(peer)
        check(code == 0 and example.text().rstrip().endswith("stopped"),
              "stop: exit %d\n%s" % (code, example.text()))
    print("%d failed" % len(FAILURES) if FAILURES else "all find checks passed")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
