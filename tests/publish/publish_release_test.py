#!/usr/bin/env python3
"""Tests for tools/publish_release.py, run as the vendor runs it: as a
subprocess, against a payload, certificate and key made here at run time."""
import base64
import contextlib
import hashlib
import importlib.util
import io
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

TOOL = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                     "publish_release.py"))
VERSION = "3.2.0+7"
DEFAULT_PREFIX = "[host]files/[vision]/"
# Nested directories, a Chinese name, an empty file. Sorted as whole paths,
# "sub.dll" comes before "sub/..." although a directory walk meets "sub" first.
PAYLOAD = {
    "a.dll": b"MZ\x90\x00 first",
    "sub.dll": b"second",
    "empty.bin": b"",
    "sub/deeper/b.dll": bytes(range(256)),
    "sub/说明.txt": "奎墨 说明\r\n".encode("utf-8"),
}

KEYS = None  # filled by setUpModule
# The entry paths Windows holds as listed, shared with the installer's tests.
ENTRY_PATHS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "entry_paths.txt")


def entry_path_table():
    r"""[(line number, accepted, path)] of the shared table; \xNN and \\ undone."""
    rows = []
    with open(ENTRY_PATHS, "rb") as f:
        for number, line in enumerate(f.read().split(b"\n"), 1):
            line = line.rstrip(b"\r")
            if not line or line.startswith(b"#"):
                continue
            verdict, escaped = line.split(b"\t", 1)
            if verdict not in (b"accept", b"refuse"):
                raise ValueError(f"entry_paths.txt line {number}: neither accept nor refuse")
            path = re.sub(rb"\\(\\|x([0-9A-Fa-f]{2}))",
                          lambda m: bytes([int(m.group(2), 16)]) if m.group(2) else b"\\", escaped)
            rows.append((number, verdict == b"accept", path.decode("utf-8")))
    return rows


def load_tool():
    found = importlib.util.spec_from_file_location("publish_release", TOOL)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def openssl(*args):
    return subprocess.run(["openssl", *args], capture_output=True, text=True)


def self_signed(directory, name, cn):
    key, cert = os.path.join(directory, name + ".key"), os.path.join(directory, name + ".crt")
    result = openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", f"/CN={cn}",
                     "-keyout", key, "-out", cert)
    if result.returncode != 0:
        raise RuntimeError(result.stderr)
    return cert, key


def setUpModule():
    global KEYS, KEYS_DIR
    KEYS_DIR = tempfile.mkdtemp(prefix="publish-keys-")
    publisher = self_signed(KEYS_DIR, "publisher", "Publisher")
    other = self_signed(KEYS_DIR, "other", "Other Publisher")
    chain, _ = self_signed(KEYS_DIR, "chain", "Chain Root")
    KEYS = {"cert": publisher[0], "key": publisher[1], "other_key": other[1], "chain": chain}


def tearDownModule():
    shutil.rmtree(KEYS_DIR, ignore_errors=True)


def write_payload(root, files):
    for rel, data in files.items():
        path = os.path.join(root, *rel.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def run_tool(payload, out, *extra, version=VERSION, cert=None, key=None, umask=None):
    args = [sys.executable, TOOL, "--payload", payload, "--version", version, "--cert", cert or KEYS["cert"],
            "--key", key or KEYS["key"], "--out", out, *extra]
    return subprocess.run(args, capture_output=True, text=True, timeout=120,
                          preexec_fn=(lambda: os.umask(umask)) if umask is not None else None)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def verify(sig, inform, content):
    return openssl("cms", "-verify", "-binary", "-inform", inform, "-in", sig, "-content", content, "-noverify",
                   "-out", os.devnull)


class PublishedRun:
    """One successful run of the tool in its own directory."""

    def __init__(self, test, *extra, umask=None):
        self.dir = tempfile.mkdtemp(prefix="publish-")
        test.addClassCleanup(shutil.rmtree, self.dir, True)
        self.payload = os.path.join(self.dir, "payload")
        write_payload(self.payload, PAYLOAD)
        self.out = os.path.join(self.dir, "out")
        result = run_tool(self.payload, self.out, *extra, umask=umask)
        if result.returncode != 0 or result.stderr:
            raise AssertionError(f"publish {extra} failed ({result.returncode}): {result.stderr}")
        self.manifest = os.path.join(self.out, "install.json")
        self.raw = read_bytes(self.manifest)

    def json(self, **kwargs):
        return json.loads(self.raw.decode("utf-8"), **kwargs)

    def sig_path(self):
        return os.path.join(self.out, "manifest-sigs", sha256(self.raw) + ".sig")


class ManifestTest(unittest.TestCase):
    APP_DES = '奎墨 add-in: "quoted" \\ backslash'

    @classmethod
    def setUpClass(cls):
        cls.plain = PublishedRun(cls, umask=0o022)
        cls.full = PublishedRun(cls, "--app-name", "Quilmo Writer", "--app-des", cls.APP_DES,
                                "--vsto", "https://cdn.example/q.vsto", "--cmd", "Quilmo.Run")
        cls.prefixed = PublishedRun(cls, "--url-prefix", "https://cdn.example/rel/")

    def test_header_keys_in_order_and_values(self):
        cases = [
            (self.plain, [("AppName", "奎墨"), ("AppDes", ""), ("Vison", VERSION)]),
            (self.full, [("AppName", "Quilmo Writer"), ("AppDes", self.APP_DES), ("Vison", VERSION),
                         ("VSTO", "https://cdn.example/q.vsto"), ("Cmd", "Quilmo.Run")]),
        ]
        for run, header in cases:
            with self.subTest(header=header[0][1]):
                pairs = run.json(object_pairs_hook=list)
                self.assertEqual(pairs[:-1], header)
                self.assertEqual(pairs[-1][0], "Files")

    def test_file_entries(self):
        for run, prefix in ((self.plain, DEFAULT_PREFIX), (self.prefixed, "https://cdn.example/rel/")):
            with self.subTest(prefix=prefix):
                expected = [[("url", prefix + rel), ("path", rel), ("hash", sha256(PAYLOAD[rel])),
                             ("size", len(PAYLOAD[rel]))] for rel in sorted(PAYLOAD)]
                self.assertEqual(dict(run.json(object_pairs_hook=list))["Files"], expected)

    def test_entries_with_size_read_like_entries_without(self):
        # By the installer's byte-level rules, an installer that predates
        # "size" reads the same url, path and hash from every entry.
        tool = load_tool()
        text = self.plain.raw.decode("utf-8")
        stripped = re.sub(r',"size":[0-9]+\}', "}", text)
        self.assertNotEqual(stripped, text)
        with_size = tool.installer_files(text)
        without = tool.installer_files(stripped)
        self.assertEqual([entry[:3] for entry in with_size], [entry[:3] for entry in without])
        self.assertEqual([entry[3] for entry in with_size], [str(len(PAYLOAD[rel])) for rel in sorted(PAYLOAD)])
        self.assertEqual({entry[3] for entry in without}, {""})

    def test_files_served_where_default_templates_point(self):
        # What a static server rooted at --out hands to the installer.
        run = self.plain
        for entry in run.json()["Files"]:
            url = entry["url"].replace("[host]", run.out + "/").replace("[vision]", VERSION)
            with self.subTest(path=entry["path"]):
                data = read_bytes(url)
                self.assertEqual(data, PAYLOAD[entry["path"]])
                self.assertEqual(sha256(data), entry["hash"])
        served = sorted(os.path.relpath(os.path.join(d, f), os.path.join(run.out, "files", VERSION))
                        for d, _, names in os.walk(os.path.join(run.out, "files")) for f in names)
        self.assertEqual(served, sorted(PAYLOAD))

    def test_text_is_plain_utf8(self):
        for run in (self.plain, self.full):
            with self.subTest(app=run.json()["AppName"]):
                self.assertFalse(run.raw.startswith(b"\xef\xbb\xbf"))
                self.assertNotIn(b"\\u", run.raw)
                self.assertIn("sub/说明.txt".encode("utf-8"), run.raw)
        self.assertIn('"AppName":"奎墨"'.encode("utf-8"), self.plain.raw)

    def test_tree_readable_by_a_web_server(self):
        self.assertEqual(stat.S_IMODE(os.stat(self.plain.out).st_mode), 0o755)
        for rel in ("install.json", "install.json.sig", "files/" + VERSION + "/sub/说明.txt"):
            with self.subTest(rel=rel):
                self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.plain.out, rel)).st_mode), 0o644)


class SignatureTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.signed_attrs = PublishedRun(cls)
        cls.no_attrs = PublishedRun(cls, "--no-signed-attributes")
        cls.chained = PublishedRun(cls, "--certfile", KEYS["chain"])

    def test_signature_named_by_manifest_digest(self):
        run = self.signed_attrs
        self.assertEqual(os.listdir(os.path.join(run.out, "manifest-sigs")), [sha256(run.raw) + ".sig"])

    def test_pem_copy_layout(self):
        run = self.signed_attrs
        text = read_bytes(os.path.join(run.out, "install.json.sig")).decode("ascii")
        self.assertNotIn("\r", text)
        self.assertTrue(text.endswith("\n"))
        lines = text.split("\n")[:-1]
        self.assertEqual((lines[0], lines[-1]), ("-----BEGIN PKCS7-----", "-----END PKCS7-----"))
        body = lines[1:-1]
        self.assertTrue(all(len(line) == 64 for line in body[:-1]), body)
        self.assertTrue(0 < len(body[-1]) <= 64)
        self.assertEqual(base64.b64decode("".join(body), validate=True), read_bytes(run.sig_path()))

    def test_signatures_verify_and_a_changed_byte_does_not(self):
        for run in (self.signed_attrs, self.no_attrs, self.chained):
            tampered = os.path.join(run.dir, "tampered.json")
            data = bytearray(run.raw)
            data[len(data) // 2] ^= 0x01
            with open(tampered, "wb") as f:
                f.write(data)
            for sig, inform in ((run.sig_path(), "DER"), (os.path.join(run.out, "install.json.sig"), "PEM")):
                with self.subTest(sig=os.path.relpath(sig, run.dir), inform=inform):
                    good = verify(sig, inform, run.manifest)
                    self.assertEqual(good.returncode, 0, good.stderr)
                    self.assertNotEqual(verify(sig, inform, tampered).returncode, 0)

    def test_signed_attributes_follow_the_option(self):
        for run, present in ((self.signed_attrs, True), (self.no_attrs, False)):
            with self.subTest(present=present):
                printed = openssl("cms", "-cmsout", "-print", "-inform", "DER", "-in", run.sig_path())
                self.assertEqual(printed.returncode, 0, printed.stderr)
                self.assertIn("signedAttrs:", printed.stdout)
                absent = re.search(r"\bsignedAttrs:\s*<ABSENT>", printed.stdout) is not None
                self.assertEqual(absent, not present)
                self.assertEqual("messageDigest" in printed.stdout, present)

    def test_certfile_embeds_the_chain(self):
        for run, subjects in ((self.signed_attrs, ["Publisher"]), (self.chained, ["Chain Root", "Publisher"])):
            with self.subTest(subjects=subjects):
                certs = openssl("pkcs7", "-inform", "DER", "-in", run.sig_path(), "-print_certs", "-noout")
                self.assertEqual(certs.returncode, 0, certs.stderr)
                found = re.findall(r"^subject=.*CN\s*=\s*(.+)$", certs.stdout, re.M)
                self.assertEqual(sorted(found), subjects)


def symlink_to_outside(payload, name, target_is_dir):
    outside = os.path.join(os.path.dirname(payload), "outside")
    if target_is_dir:
        write_payload(outside, {"x.dll": b"x"})
    else:
        write_payload(os.path.dirname(outside), {"outside": b"x"})
    os.makedirs(os.path.dirname(os.path.join(payload, name)), exist_ok=True)
    os.symlink(outside, os.path.join(payload, name))


def out_with_old_release(case_dir):
    write_payload(os.path.join(case_dir, "out"), {"install.json": b"old"})


class RefusalTest(unittest.TestCase):
    # (label, payload files besides "ok.dll" (None: not even that), setup(case_dir, payload),
    #  arguments to change (None drops one, a callable is called), words the message must hold)
    CASES = [
        ("symlinked file", {}, lambda d, p: symlink_to_outside(p, "sub/link.dll", False), {},
         ["'sub/link.dll'", "symbolic link"]),
        ("symlinked directory", {"sub/x.dll": b"x"}, lambda d, p: symlink_to_outside(p, "linked", True), {},
         ["'linked'", "symbolic link"]),
        ("fifo", {}, lambda d, p: os.mkfifo(os.path.join(p, "pipe")), {}, ["'pipe'", "special file"]),
        ("colon", {"a:b.dll": b"x"}, None, {}, ["'a:b.dll'", '":"']),
        ("backslash", {"a\\b.dll": b"x"}, None, {}, ["'a\\\\b.dll'", "backslash"]),
        ("dot dot", {"x..dll": b"x"}, None, {}, ["'x..dll'", ".."]),
        ("url placeholder", {"[vision].txt": b"x"}, None, {}, ["'[vision].txt'", "url"]),
        ("device name", {"sub/nul.txt": b"x"}, None, {}, ["'sub/nul.txt'", "device"]),
        ("same name on Windows", {"OK.dll": b"y"}, None, {}, ["'OK.dll'", "'ok.dll'"]),
        ("unmatched brace", {"a}.xml": b"x"}, None, {}, ["'a}.xml'", "misread"]),
        ("name read as another key", {}, None, {"--app-name": "Vison"}, ["'Vison'", "installer"]),
        ("empty payload", None, lambda d, p: os.makedirs(os.path.join(p, "empty")), {}, ["no files"]),
        ("empty version", {}, None, {"--version": ""}, ["--version"]),
        ("version with a slash", {}, None, {"--version": "3.2/0"}, ["--version", "3.2/0"]),
        ("version dot dot", {}, None, {"--version": ".."}, ["--version"]),
        ("version with a space", {}, None, {"--version": "3.2 beta"}, ["--version"]),
        ("missing certificate", {}, None, {"--cert": "/nonexistent/cert.pem"}, ["--cert", "/nonexistent/cert.pem"]),
        ("key of another certificate", {}, None, {"--key": lambda: KEYS["other_key"]}, ["signing"]),
        ("missing option", {}, None, {"--key": None}, ["--key"]),
        ("out inside payload", {}, None, {"--out": "payload/out"}, ["overlap"]),
        ("non-empty out without --force", {}, lambda d, p: out_with_old_release(d), {}, ["--force"]),
    ]

    def prepare(self, case_dir, files, setup, options):
        payload = os.path.join(case_dir, "payload")
        os.mkdir(payload)
        if files is not None:
            write_payload(payload, {"ok.dll": b"ok", **files})
        if setup:
            setup(case_dir, payload)
        values = {"--payload": payload, "--version": VERSION, "--cert": KEYS["cert"], "--key": KEYS["key"],
                  "--out": "out", **options}
        values = {option: value() if callable(value) else value for option, value in values.items()}
        values["--out"] = os.path.join(case_dir, values["--out"])
        args = [a for option, value in values.items() if value is not None for a in (option, value)]
        return values["--out"], args

    def test_refusals(self):
        for label, files, setup, options, words in self.CASES:
            with self.subTest(label):
                case_dir = tempfile.mkdtemp(prefix="publish-refusal-")
                self.addCleanup(shutil.rmtree, case_dir, True)
                try:
                    out, args = self.prepare(case_dir, files, setup, options)
                except OSError as e:
                    self.skipTest(f"this file system cannot hold the case: {e}")
                out_existed = os.path.lexists(out)
                before = listing(case_dir)
                result = subprocess.run([sys.executable, TOOL, *args], capture_output=True, text=True, timeout=120)
                self.assertNotEqual(result.returncode, 0)
                message = result.stderr.strip()
                self.assertTrue(message.startswith("publish_release: "), message)
                self.assertNotIn("\n", message)
                for word in words:
                    self.assertIn(word, message)
                # Nothing written, nothing half-built left next to --out, the old tree untouched.
                self.assertEqual(listing(case_dir), before)
                self.assertEqual(os.path.lexists(out), out_existed)


class EntryPathTableTest(unittest.TestCase):
    """The tool refuses exactly the names the installer refuses: one table."""

    @classmethod
    def setUpClass(cls):
        cls.rows = entry_path_table()
        cls.tool = load_tool()

    def test_every_row_judged_as_the_table_says(self):
        self.assertTrue(any(accepted for _, accepted, _ in self.rows))
        self.assertTrue(any(not accepted for _, accepted, _ in self.rows))
        for number, accepted, path in self.rows:
            with self.subTest(line=number, path=path):
                self.assertEqual(self.tool.path_problem(path) is None, accepted, self.tool.path_problem(path))

    def test_accepted_names_are_published_as_they_are(self):
        accepted = sorted(path for _, ok, path in self.rows if ok)
        work = tempfile.mkdtemp(prefix="publish-names-")
        self.addCleanup(shutil.rmtree, work, True)
        payload = os.path.join(work, "payload")
        write_payload(payload, {path: path.encode("utf-8") for path in accepted})
        result = run_tool(payload, os.path.join(work, "out"))
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        with open(os.path.join(work, "out", "install.json"), encoding="utf-8") as f:
            files = json.load(f)["Files"]
        self.assertEqual(sorted(entry["path"] for entry in files), accepted)

    def test_refused_names_stop_the_tool(self):
        for number, accepted, path in self.rows:
            # Empty and "." components cannot exist in a directory tree.
            if accepted or any(part in ("", ".") for part in path.split("/")):
                continue
            with self.subTest(line=number, path=path):
                work = tempfile.mkdtemp(prefix="publish-badname-")
                self.addCleanup(shutil.rmtree, work, True)
                payload = os.path.join(work, "payload")
                try:
                    write_payload(payload, {"good.dll": b"good", path: b"bad"})
                except OSError as e:
                    self.skipTest(f"this file system cannot hold {path!r}: {e}")
                # In this process: the refusal comes before any signing.
                stderr = io.StringIO()
                with contextlib.redirect_stderr(stderr):
                    code = self.tool.main(["--payload", payload, "--version", VERSION, "--cert", KEYS["cert"],
                                           "--key", KEYS["key"], "--out", os.path.join(work, "out")])
                self.assertEqual(code, 1)
                self.assertIn("payload entry", stderr.getvalue())
                self.assertEqual(sorted(os.listdir(work)), ["payload"])


def listing(root):
    """Every path below root with the bytes of each regular file."""
    found = []
    for d, dirs, names in os.walk(root):
        for name in dirs + names:
            path = os.path.join(d, name)
            regular = stat.S_ISREG(os.lstat(path).st_mode)
            found.append((os.path.relpath(path, root), read_bytes(path) if regular else None))
    return sorted(found)


class OutputDirectoryTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="publish-out-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.payload = os.path.join(self.dir, "payload")
        write_payload(self.payload, PAYLOAD)
        self.out = os.path.join(self.dir, "out")

    def test_existing_output_is_taken_when_empty_or_forced(self):
        for label, old_files, extra in (("empty", {}, []), ("forced", {"stale/old.dll": b"old"}, ["--force"])):
            with self.subTest(label):
                shutil.rmtree(self.out, ignore_errors=True)
                os.mkdir(self.out)
                write_payload(self.out, old_files)
                result = run_tool(self.payload, self.out, *extra)
                self.assertEqual((result.returncode, result.stderr), (0, ""))
                self.assertFalse(os.path.exists(os.path.join(self.out, "stale")))
                self.assertTrue(os.path.isfile(os.path.join(self.out, "install.json")))
                self.assertEqual(sorted(os.listdir(self.dir)), ["out", "payload"])


if __name__ == "__main__":
    unittest.main()
