#!/usr/bin/env python3
"""Writes a .reg file that puts a CA certificate into a Wine prefix's
machine "Root" store, so that the installer's HTTPS connections to a local
release server are trusted (the store keeps each certificate as a serialized
property list under its SHA-1 thumbprint).

    trust_root_in_prefix.py CERT.der OUT.reg
Then: wine reg import OUT.reg
"""
import hashlib
import struct
import sys

CERT_CERT_PROP_ID = 32

der = open(sys.argv[1], "rb").read()
thumbprint = hashlib.sha1(der).hexdigest().upper()
blob = struct.pack("<III", CERT_CERT_PROP_ID, 1, len(der)) + der
hexed = ",".join(f"{b:02x}" for b in blob)
with open(sys.argv[2], "w", encoding="utf-16", newline="\r\n") as out:
    out.write("Windows Registry Editor Version 5.00\n\n")
    out.write(f"[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\{thumbprint}]\n")
    out.write(f'"Blob"=hex:{hexed}\n')
