#!/usr/bin/env python3
"""Checks tolvane-cli --apdu over every CAP file of the shared corpus against
an independent reading: python's zipfile finds the components, and the
script's LOAD blocks put together again must be C4, the BER length and the
load file in the reference load order; every INSTALL command is rebuilt here
byte by byte from the Header and Applet components. DAP signatures made with
keys from the openssl command line verify with the openssl command line.

Usage: apdu_check.py TOLVANE_CLI SCHEMA CORPUS_DIR
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

from corpus_caps import corpus_caps, load_options, required
import zipfile

import jsonschema

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from load_file_check import expected_load_file  # noqa: E402

SD = bytes.fromhex("A000000151000000")


def ber(length):
    if length < 0x80:
        return bytes([length])
    if length < 0x100:
        return bytes([0x81, length])
    return bytes([0x82, length >> 8, length & 0xFF])


def component(cap, name):
    with zipfile.ZipFile(cap) as archive:
        for entry in archive.namelist():
            if entry.replace("\\", "/").rsplit("/", 1)[-1].lower() == name:
                return archive.read(entry)[3:]
    return None


def package_and_applets(cap):
    header = component(cap, "header.cap")
    package = header[10:10 + header[9]]
    applets = []
    applet = component(cap, "applet.cap")
    if applet:
        at = 1
        for _ in range(applet[0]):
            applets.append(applet[at + 1:at + 1 + applet[at]])
            at += 1 + applet[at] + 2
    return package, applets


def with_length(value):
    return bytes([len(value)]) + value


def commands_of(script):
    return [bytes.fromhex(line) for line in script.decode().splitlines() if line and not line.startswith("#")]


def load_stream(commands):
    loads = [c for c in commands if c[1] == 0xE8]
    stream = b""
    for number, c in enumerate(loads):
        assert c[2] == (0x80 if number == len(loads) - 1 else 0) and c[3] == number and c[4] == len(c) - 5
        stream += c[5:]
    return stream


def check(cli, validator, cap, extra):
    problems = []
    folder = os.path.dirname(cap)
    result = subprocess.run([cli, "--apdu", "-q", "-o", "-"] + extra + [cap], cwd=folder, capture_output=True, timeout=60)
    if result.returncode != 0:
        return ["exit status %d, %s" % (result.returncode, result.stderr)]
    if b"exit" in result.stdout:
        problems.append("the script holds the word exit")
    commands = commands_of(result.stdout)
    load_file, _ = expected_load_file(cap, True)
    if load_stream(commands) != b"\xC4" + ber(len(load_file)) + load_file:
        problems.append("the LOAD blocks do not carry C4, the length and the load file")
    if any(len(c) - 5 > 247 for c in commands if c[1] == 0xE8):
        problems.append("a LOAD block over 247 bytes")
    package, applets = package_and_applets(cap)
    install_load = with_length(package) + with_length(SD) + b"\x00\x00\x00"
    expected = [bytes([0x80, 0xE6, 0x02, 0x00, len(install_load)]) + install_load]
    for aid in applets:
        data = with_length(package) + with_length(aid) + with_length(aid) + b"\x01\x00" + b"\x02\xC9\x00" + b"\x00"
        expected.append(bytes([0x80, 0xE6, 0x0C, 0x00, len(data)]) + data)
    if [c for c in commands if c[1] == 0xE6] != expected:
        problems.append("INSTALL commands differ")
    report = subprocess.run([cli, "--apdu", "--json", "-o", os.path.join(folder, "input.apdu")] + extra + [cap], cwd=folder,
                            capture_output=True, timeout=60)
    problems += ["--json: " + e.message for e in validator.iter_errors(json.loads(report.stdout))]
    return problems


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, capture_output=True)


def der_of(plain):
    """r then s, as a card takes them, as the DER that openssl verifies."""
    def integer(value):
        value = value.lstrip(b"\x00") or b"\x00"
        if value[0] & 0x80:
            value = b"\x00" + value
        return b"\x02" + bytes([len(value)]) + value
    half = len(plain) // 2
    body = integer(plain[:half]) + integer(plain[half:])
    return b"\x30" + bytes([len(body)]) + body


def check_dap(cli, cap, work):
    problems = []
    load_file, _ = expected_load_file(cap, True)
    hash_file = os.path.join(work, "hash.bin")
    with open(hash_file, "wb") as out:
        out.write(hashlib.sha256(load_file).digest())
    for name, generate, verify in (
        ("rsa1024", ["-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024"], ["-sha1"]),
        ("rsa2048", ["-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"],
         ["-sha256", "-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:32", "-sigopt",
          "rsa_mgf1_md:sha256"]),
        ("p256", ["-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"], ["-sha256"]),
    ):
        key, public, signature = (os.path.join(work, name + suffix) for suffix in (".pem", ".pub", ".sig"))
        openssl("genpkey", *generate, "-out", key)
        openssl("pkey", "-in", key, "-pubout", "-out", public)
        result = subprocess.run([cli, "--apdu", "-q", "-o", "-", "--dap-key", key, "--dap-sd", SD.hex(), cap],
                                capture_output=True, timeout=60)
        stream = load_stream(commands_of(result.stdout))
        at = 2 if stream[1] < 0x80 else 2 + (stream[1] & 0x7F)
        assert stream[at] == 0x4F and stream[at + 1:at + 2 + stream[at + 1]][1:] == SD
        at += 2 + stream[at + 1]
        assert stream[at] == 0xC3
        length_bytes = 0 if stream[at + 1] < 0x80 else stream[at + 1] & 0x7F
        length = stream[at + 1] if not length_bytes else int.from_bytes(stream[at + 2:at + 2 + length_bytes], "big")
        value = stream[at + 2 + length_bytes:at + 2 + length_bytes + length]
        with open(signature, "wb") as out:
            out.write(der_of(value) if name == "p256" else value)
        verified = subprocess.run(["openssl", "dgst", *verify, "-verify", public, "-signature", signature, hash_file],
                                  capture_output=True)
        if verified.returncode != 0:
            problems.append("%s: openssl does not verify the DAP signature: %s" % (name, verified.stdout))
    return problems


def main():
    cli, schema_path, corpus = sys.argv[1:4]
    with open(schema_path) as schema_file:
        validator = jsonschema.Draft202012Validator(json.load(schema_file))
    caps = corpus_caps(corpus)
    if caps is None:
        return 1 if required() else 0
    failures = 0
    with tempfile.TemporaryDirectory() as work:
        cap = os.path.join(work, "input.cap")
        signed = False
        for path in caps:
            shutil.copyfile(path, cap)
            problems = check(cli, validator, cap, load_options(path))
            if not signed and not load_options(path):  # the first file the verifier takes, signed
                problems += check_dap(cli, cap, work)
                signed = True
            for problem in problems:
                failures += 1
                print("%s: %s" % (os.path.basename(path), problem))
    print("%d CAP files scripted, %d problems" % (len(caps), failures))
    return 1 if failures or not caps else 0


if __name__ == "__main__":
    sys.exit(main())
