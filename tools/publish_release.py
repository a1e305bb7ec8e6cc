#!/usr/bin/env python3
"""Publishes a release: writes the download server's tree for one version.

    publish_release.py --payload DIR --version V --cert CERT.pem --key KEY.pem --out DIR
                       [--app-name TEXT] [--app-des TEXT] [--vsto URL] [--cmd NAME]
                       [--url-prefix P] [--no-signed-attributes] [--certfile PEM] [--force]

The output directory receives
  install.json                 the manifest: every payload file with its url
                               template, relative path, SHA-256 and size in
                               bytes (installers that predate "size" read the
                               same entries and ignore it)
  files/<version>/...          the payload, where the default url templates point
  manifest-sigs/<sha256>.sig   detached CMS signature of install.json (DER),
                               named by the SHA-256 of install.json's bytes
  install.json.sig             the same signature in PEM-style Base64

The tree is built next to --out and renamed into place only when complete, so
a refused or failed run leaves nothing behind. Python standard library and the
openssl command line only.
"""
import argparse
import base64
import hashlib
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile

PROG = "publish_release"
DEFAULT_URL_PREFIX = "[host]files/[vision]/"
VERSION_RE = re.compile(r"[0-9A-Za-z.+-]+")
# Characters Windows cannot store in a file name (separators are checked apart).
WINDOWS_BAD_CHARS = set('<>"|?*') | {chr(c) for c in range(32)} | {"\x7f"}
# Names Windows opens as a device, with any extension too; the superscript
# digits count as port numbers.
WINDOWS_DEVICE_NAMES = ({"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"}
                        | {f"{p}{n}" for p in ("COM", "LPT") for n in "0123456789\u00b9\u00b2\u00b3"})
# The installer expands these anywhere in a url, the file name part included.
URL_PLACEHOLDERS = ("[host]", "[vision]", "[rand]")
JSON_BLANKS = " \t\n\v\f\r"
CHUNK = 1 << 20


class Refusal(Exception):
    pass


class Parser(argparse.ArgumentParser):
    # One line on stderr for every failure, usage mistakes included.
    def error(self, message):
        print(f"{PROG}: {message} (see --help)", file=sys.stderr)
        sys.exit(2)


def parse_args(argv):
    p = Parser(prog="publish_release.py", allow_abbrev=False, description="Writes the download server's tree for one release.")
    p.add_argument("--payload", required=True, help="directory holding the release's files")
    p.add_argument("--version", required=True, help='release version, the manifest\'s "Vison"')
    p.add_argument("--cert", required=True, help="publisher certificate (PEM)")
    p.add_argument("--key", required=True, help="publisher private key (PEM)")
    p.add_argument("--out", required=True, help="output directory (the server's document root)")
    p.add_argument("--app-name", default="奎墨", help='"AppName" (default: 奎墨)')
    p.add_argument("--app-des", default="", help='"AppDes" (default: empty)')
    p.add_argument("--vsto", help='"VSTO": the add-in manifest url; omitted unless given')
    p.add_argument("--cmd", help='"Cmd"; omitted unless given')
    p.add_argument("--url-prefix", default=DEFAULT_URL_PREFIX,
                   help=f"put before each relative path in the url templates (default: {DEFAULT_URL_PREFIX})")
    p.add_argument("--no-signed-attributes", action="store_true", help="sign without CMS signed attributes")
    p.add_argument("--certfile", help="intermediate/root certificates (PEM) to embed in the signature")
    p.add_argument("--force", action="store_true", help="replace a non-empty --out")
    return p.parse_args(argv)


# ---- checks -----------------------------------------------------------------

def text_problem(value):
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return "is not valid UTF-8"
    # json.dumps would write these as \uXXXX or \b/\f, which the installer does not decode.
    if any(ord(c) < 32 and c not in "\t\n\r" for c in value):
        return "contains a control character"
    return None


def windows_name_problem(name):
    if name in ("", "."):
        return 'has an empty or "." component'
    if any(c in WINDOWS_BAD_CHARS for c in name):
        return 'contains a character Windows does not allow in file names (<>"|?* or a control character)'
    if name.endswith((".", " ")):
        return "ends with a dot or a space, which Windows strips"
    if name.split(".")[0].rstrip(" ").upper() in WINDOWS_DEVICE_NAMES:
        return "is a Windows device name"
    return None


def path_problem(rel):
    """Why the installer cannot take rel ("/"-separated) as a file's path, or None."""
    if not rel:
        return "is empty"
    try:
        rel.encode("utf-8")
    except UnicodeEncodeError:
        return "is not valid UTF-8"
    if rel.startswith("/"):
        return "starts with a separator"
    if "\\" in rel:
        return "contains a backslash"
    if ":" in rel:
        return 'contains ":"'
    if ".." in rel:
        return 'contains ".." (the installer refuses it anywhere in a path)'
    for placeholder in URL_PLACEHOLDERS:
        if placeholder in rel:
            return f"contains {placeholder}, which the installer would replace inside the url"
    if "#" in rel or "%" in rel:
        return 'contains "#" or "%", which change the url the server is asked for'
    for part in rel.split("/"):
        problem = windows_name_problem(part)
        if problem:
            return problem
    return None


def check_version(version):
    if not VERSION_RE.fullmatch(version):
        return "must be non-empty and use only 0-9 A-Z a-z . + -"
    # It names a directory here and on the user's machine.
    if not version[0].isalnum() or ".." in version:
        return 'must start with a letter or digit and not contain ".."'
    return windows_name_problem(version)


def check_options(args):
    problem = check_version(args.version)
    if problem:
        raise Refusal(f"--version {args.version!r} {problem}")
    for option, value in (("--app-name", args.app_name), ("--app-des", args.app_des), ("--vsto", args.vsto),
                          ("--cmd", args.cmd), ("--url-prefix", args.url_prefix)):
        problem = value is not None and text_problem(value)
        if problem:
            raise Refusal(f"{option} {problem}")
    for option, path in (("--cert", args.cert), ("--key", args.key), ("--certfile", args.certfile)):
        if path is not None and not os.path.isfile(path):
            raise Refusal(f"{option} {path}: no such file")


def check_out(args):
    """Returns (payload, out) as absolute paths once --out may be written."""
    payload = os.path.abspath(args.payload)
    out = os.path.abspath(args.out)
    try:
        st = os.lstat(payload)
    except OSError as e:
        raise Refusal(f"--payload {args.payload}: {e.strerror}")
    if stat.S_ISLNK(st.st_mode):
        raise Refusal(f"--payload {args.payload} is a symbolic link; links are never followed")
    if not stat.S_ISDIR(st.st_mode):
        raise Refusal(f"--payload {args.payload} is not a directory")
    if not os.path.isdir(os.path.dirname(out)):
        raise Refusal(f"--out {args.out}: parent directory does not exist")
    # --force must never delete the payload, and the tree must not be copied into itself.
    real_payload, real_out = os.path.realpath(payload), os.path.realpath(out)
    if os.path.commonpath([real_payload, real_out]) in (real_payload, real_out):
        raise Refusal(f"--out {args.out} and --payload {args.payload} overlap")
    if os.path.lexists(out):
        st = os.lstat(out)
        if not stat.S_ISDIR(st.st_mode):
            raise Refusal(f"--out {args.out} exists and is not a directory (or is a symbolic link)")
        if os.listdir(out) and not args.force:
            raise Refusal(f"--out {args.out} exists and is not empty (use --force to replace it)")
    return payload, out


# ---- payload ----------------------------------------------------------------

def copy_file(dir_fd, name, rel, st, dest):
    """Copies one regular file, returning the SHA-256 and the length of exactly
    the bytes copied."""
    # O_NOFOLLOW and the inode comparison: the file checked is the file read.
    fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=dir_fd)
    try:
        now = os.fstat(fd)
        if not stat.S_ISREG(now.st_mode) or (now.st_dev, now.st_ino) != (st.st_dev, st.st_ino):
            raise Refusal(f"payload entry {rel!r} changed while being read")
        digest, size = hashlib.sha256(), 0
        with open(fd, "rb", closefd=False) as src, open(dest, "xb") as dst:
            while True:
                chunk = src.read(CHUNK)
                if not chunk:
                    break
                digest.update(chunk)
                size += len(chunk)
                dst.write(chunk)
        return digest.hexdigest(), size
    finally:
        os.close(fd)


def copy_payload(payload, dest):
    """Copies the payload tree to dest; returns [(relative path, (sha256, size))]."""
    entries = []

    def walk(dir_fd, rel_dir, dest_dir):
        with os.scandir(dir_fd) as it:
            names = sorted(entry.name for entry in it)
        for name in names:
            rel = f"{rel_dir}/{name}" if rel_dir else name
            try:
                st = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
                if stat.S_ISLNK(st.st_mode):
                    raise Refusal(f"payload entry {rel!r} is a symbolic link; links are never followed")
                problem = path_problem(rel)
                if problem:
                    raise Refusal(f"payload entry {rel!r} {problem}")
                target = os.path.join(dest_dir, name)
                if stat.S_ISDIR(st.st_mode):
                    sub_fd = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=dir_fd)
                    try:
                        now = os.fstat(sub_fd)
                        if (now.st_dev, now.st_ino) != (st.st_dev, st.st_ino):
                            raise Refusal(f"payload entry {rel!r} changed while being read")
                        os.mkdir(target)
                        walk(sub_fd, rel, target)
                    finally:
                        os.close(sub_fd)
                elif stat.S_ISREG(st.st_mode):
                    entries.append((rel, copy_file(dir_fd, name, rel, st, target)))
                else:
                    raise Refusal(f"payload entry {rel!r} is a special file (device, fifo or socket)")
            except OSError as e:
                raise Refusal(f"payload entry {rel!r}: {e.strerror}")

    root_fd = os.open(payload, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    try:
        walk(root_fd, "", dest)
    finally:
        os.close(root_fd)
    if not entries:
        raise Refusal(f"--payload {payload} holds no files")

    # Windows compares names without case: two entries must not become one file.
    seen = {}
    for rel, _ in entries:
        parts = rel.split("/")
        for depth in range(1, len(parts) + 1):
            key = "/".join(parts[:depth]).casefold()
            kind = "file" if depth == len(parts) else "directory"
            other = seen.setdefault(key, (rel, kind))
            if other[0] != rel and (kind == "file" or other[1] == "file"):
                raise Refusal(f"payload entries {other[0]!r} and {rel!r} are the same path on Windows")
    entries.sort()
    return entries


# ---- manifest ---------------------------------------------------------------

def dump(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def manifest_text(fields, files):
    head = ",".join(f"{dump(key)}:{dump(value)}" for key, value in fields)
    lines = [dump({"url": url, "path": path, "hash": digest, "size": size}) for url, path, digest, size in files]
    return "{" + head + ',"Files":[\n' + ",\n".join(lines) + "\n]}\n"


def installer_value(text, key):
    """A value as the installer reads it: the text after the first quoted key
    anywhere, without parsing (see manifest/manifest_reader.cpp)."""
    needle = f'"{key}"'
    found = text.find(needle)
    colon = text.find(":", found + len(needle)) if found >= 0 else -1
    if colon < 0:
        return ""
    start = colon + 1
    while start < len(text) and text[start] in JSON_BLANKS:
        start += 1
    if start >= len(text):
        return ""
    if text[start] != '"':
        end = start
        while end < len(text) and text[end] not in JSON_BLANKS + ",}]":
            end += 1
        return text[start:end]
    close = text.find('"', start + 1)
    while close >= 0 and text[close - 1] == "\\":
        close = text.find('"', close + 1)
    if close < 0:
        return ""
    raw, out, i = text[start + 1:close], [], 0
    simple = {'"': '"', "/": "/", "\\": "\\", "n": "\n", "r": "\r", "t": "\t"}
    while i < len(raw):
        if raw[i] != "\\" or i + 1 == len(raw):
            out.append(raw[i])
            i += 1
        elif raw[i + 1] == "u":
            if len(raw) - (i + 2) < 4:
                out.append(raw[i + 1:])
                break
            i += 6
        elif raw[i + 1] in simple:
            out.append(simple[raw[i + 1]])
            i += 2
        else:
            out.append("\\")
            i += 1
    return "".join(out)


def installer_files(text):
    """The file list as the installer reads it: elements split by brace counting."""
    key = text.find('"Files"')
    start = text.find("[", key) if key >= 0 else -1
    # The installer first checks that "Files" opens a list of objects.
    if start < 0 or not re.match(r'"Files"[ \t\r\n]*:[ \t\r\n]*\[[ \t\r\n]*\{', text[key:]):
        return None
    files, scan = [], start + 1
    while True:
        open_ = text.find("{", scan)
        if open_ < 0:
            return files
        depth, close = 1, -1
        for i in range(open_ + 1, len(text)):
            if text[i] == "{":
                depth += 1
            elif text[i] == "}":
                depth -= 1
                if depth == 0:
                    close = i
                    break
        if close < 0:
            return files
        element = text[open_:close + 1]
        entry = tuple(installer_value(element, k) for k in ("url", "path", "hash", "size"))
        if entry[0] and entry[1]:
            files.append(entry)
        comma, list_end = text.find(",", close + 1), text.find("]", close + 1)
        if list_end >= 0 and (comma < 0 or list_end < comma):
            return files
        scan = comma + 1 if comma >= 0 else close + 1


def check_reads_back(text, fields, files):
    # The installer searches the manifest as bytes; a value that looks like a
    # key or a brace inside a name would make it read something else.
    for key, value in fields:
        got = installer_value(text, key)
        if got != value:
            raise Refusal(f"the installer would read {key!r} as {got!r} instead of {value!r}")
    got = installer_files(text)
    if got is None:
        raise Refusal('the installer would not find the "Files" list in install.json')
    # Read with "size" as text, the way the installer takes it; without it,
    # the entries are what an installer that predates "size" reads.
    for index, (url, path, digest, size) in enumerate(files):
        expected = (url, path, digest, str(size))
        if index >= len(got) or got[index] != expected:
            raise Refusal(f"the installer would misread the entry for {expected[1]!r}")
    if len(got) != len(files):
        raise Refusal(f"the installer would read {len(got)} file entries instead of {len(files)}")


# ---- signature --------------------------------------------------------------

def openssl(args, what):
    try:
        result = subprocess.run(["openssl", *args], stdin=subprocess.DEVNULL, capture_output=True, text=True)
    except FileNotFoundError:
        raise Refusal("the openssl command was not found")
    if result.returncode != 0:
        lines = [line for line in result.stderr.splitlines() if line.strip()]
        raise Refusal(f"{what} failed: {lines[-1] if lines else f'openssl exit code {result.returncode}'}")


def sign(manifest, der_out, args):
    # -binary: the signature covers install.json's bytes as they are, no
    # S/MIME line-ending translation. -nosmimecap drops an attribute no
    # verifier needs; it changes nothing with -noattr.
    cmd = ["cms", "-sign", "-binary", "-md", "sha256", "-nosmimecap", "-in", manifest,
           "-signer", args.cert, "-inkey", args.key, "-outform", "DER", "-out", der_out]
    if args.no_signed_attributes:
        cmd.append("-noattr")
    if args.certfile:
        cmd += ["-certfile", args.certfile]
    openssl(cmd, "signing install.json")
    # Never publish a signature that does not verify against the bytes served.
    openssl(["cms", "-verify", "-binary", "-inform", "DER", "-in", der_out, "-content", manifest,
             "-noverify", "-out", os.devnull], "verifying the new signature")


def pem_lines(der):
    text = base64.b64encode(der).decode("ascii")
    body = "\n".join(text[i:i + 64] for i in range(0, len(text), 64))
    return f"-----BEGIN PKCS7-----\n{body}\n-----END PKCS7-----\n"


# ---- publishing -------------------------------------------------------------

def build(tmp, payload, args):
    version_dir = os.path.join(tmp, "files", args.version)
    os.makedirs(version_dir)
    entries = copy_payload(payload, version_dir)

    fields = [("AppName", args.app_name), ("AppDes", args.app_des), ("Vison", args.version)]
    fields += [(key, value) for key, value in (("VSTO", args.vsto), ("Cmd", args.cmd)) if value is not None]
    files = [(args.url_prefix + rel, rel, digest, size) for rel, (digest, size) in entries]
    text = manifest_text(fields, files)
    check_reads_back(text, fields, files)
    data = text.encode("utf-8")

    manifest = os.path.join(tmp, "install.json")
    with open(manifest, "xb") as f:
        f.write(data)
    os.mkdir(os.path.join(tmp, "manifest-sigs"))
    der_path = os.path.join(tmp, "manifest-sigs", hashlib.sha256(data).hexdigest() + ".sig")
    sign(manifest, der_path, args)
    with open(der_path, "rb") as f:
        der = f.read()
    with open(os.path.join(tmp, "install.json.sig"), "x", encoding="ascii", newline="\n") as f:
        f.write(pem_lines(der))


def move_into_place(tmp, out):
    parent, name = os.path.split(out)
    if not os.path.lexists(out):
        os.rename(tmp, out)
        return
    # Swap the old tree aside first so --out is never half old, half new.
    aside = tempfile.mkdtemp(prefix=f".{name}.old-", dir=parent)
    os.rename(out, aside)
    try:
        os.rename(tmp, out)
    except BaseException:
        os.rename(aside, out)
        raise
    shutil.rmtree(aside, ignore_errors=True)


def publish(args):
    check_options(args)
    payload, out = check_out(args)
    parent, name = os.path.split(out)
    tmp = tempfile.mkdtemp(prefix=f".{name}.partial-", dir=parent)
    try:
        build(tmp, payload, args)
        # mkdtemp makes the directory private; the web server must read it.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o777 & ~umask)
        move_into_place(tmp, out)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise


def main(argv=None):
    args = parse_args(argv)
    try:
        publish(args)
    except Refusal as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        where = f": {e.filename}" if e.filename else ""
        print(f"{PROG}: {e.strerror or e}{where}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
