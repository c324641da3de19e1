#!/usr/bin/env python3
"""Corpus applets that sign, agree keys, hash and encrypt on the simulated
card, each result checked by an independent implementation (python3-
cryptography and hashlib): the card's ECDSA signatures verify outside it, and
signatures made outside verify on the card; its ECDH secret is the one
computed outside; its digests and AES are those of the standards.

Usage: crypto_check.py TOLVANE_CLI CORPUS_DIR
"""
import hashlib
import json
import os
import subprocess
import sys

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

SIMSIGN = "SimSign__sign.cap"
SELECT_SIMSIGN = "00A404000711223344556600"
ECDH_APPLET = "ecdhapplet__secure.cap"
SELECT_ECDH_APPLET = "00A4040006A00000010001"


def apdu(cla_ins_p1_p2, data=b""):
    return cla_ins_p1_p2 + ("%02X" % len(data)) + data.hex().upper()


def simulate(cli, cap, commands):
    """The answers (data, status word) to `commands`, run as one script."""
    result = subprocess.run([cli, "--simulate", "--json", cap], input="\n".join(commands) + "\n",
                            capture_output=True, text=True, timeout=300)
    if result.returncode != 0:
        raise RuntimeError("%s: exit %d: %s" % (cap, result.returncode, result.stderr))
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    return [(bytes.fromhex(line["data"]), line["sw"]) for line in lines if "command" in line]


def point(public_key):
    return public_key.public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)


def verifies(public_key, signature, message):
    try:
        public_key.verify(signature, message, ec.ECDSA(hashes.SHA256()))
        return True
    except InvalidSignature:
        return False


def simsign_cases(cli, corpus, problems):
    """SimSign signs with a private value it is given and verifies with a
    public point it is given, both on P-256 and SHA-256."""
    ours = ec.generate_private_key(ec.SECP256R1())
    message = os.urandom(40)
    other = ec.generate_private_key(ec.SECP256R1())
    ours_signature = ours.sign(message, ec.ECDSA(hashes.SHA256()))
    others_signature = other.sign(message, ec.ECDSA(hashes.SHA256()))
    s = ours.private_numbers().private_value.to_bytes(32, "big")

    def verify_command(signature, signed):
        return apdu("8049%02X00" % len(signature), signature + signed)

    answers = simulate(cli, os.path.join(corpus, "cap", SIMSIGN), [
        SELECT_SIMSIGN,
        apdu("80460200", s),                # the private value S
        apdu("80480000", message),          # its signature of the message
        apdu("80470200", point(ours.public_key())),
        verify_command(ours_signature, message),
        verify_command(ours_signature, message[:-1] + bytes([message[-1] ^ 1])),
        verify_command(others_signature, message),
    ])
    statuses = [sw for _, sw in answers]
    if statuses != ["9000"] * 7:
        problems.append("SimSign: status words %s" % statuses)
        return
    card_signature = answers[2][0]
    if not verifies(ours.public_key(), card_signature, message):
        problems.append("SimSign: the card's signature %s does not verify" % card_signature.hex())
    if verifies(ours.public_key(), card_signature, message + b"!"):
        problems.append("SimSign: the card's signature verifies for other data")
    verdicts = [data.hex() for data, _ in answers[4:]]
    if verdicts != ["01", "00", "00"]:
        problems.append("SimSign: the card's verdicts on our signature, a changed message and another key's "
                        "signature are %s, not 01 00 00" % verdicts)


def ecdh_applet_cases(cli, corpus, problems):
    """The ecdhapplet: ECDSA on secp256k1, ECDH (SHA-1 of x) on P-256, SHA-1,
    SHA-256 and SHA-512 through InitializedMessageDigest, and AES in ECB and
    CBC with keys of 128, 192 and 256 bits."""
    ours = ec.generate_private_key(ec.SECP256R1())
    message = os.urandom(60)
    blocks = os.urandom(48)
    iv = os.urandom(16)
    keys = [os.urandom(16), os.urandom(24), os.urandom(32)]
    commands = [SELECT_ECDH_APPLET,
                apdu("80A00000", b"\x00"),          # a secp256k1 key pair: B0 41 W
                apdu("80A10080", message),          # B1 length, then the signature
                apdu("80A30000", b"\x00"),          # a P-256 key pair for ECDH: B0 41 W
                apdu("80A40000", b"\xB0\x41" + point(ours.public_key())),
                apdu("80A60000", message), apdu("80A60100", message), apdu("80A60200", message),
                apdu("80110000", iv)]
    for size, key in enumerate(keys, start=1):
        commands += [apdu("8010%02X00" % size, key), apdu("80120000", blocks), apdu("80120001", blocks)]
    answers = simulate(cli, os.path.join(corpus, "cap", ECDH_APPLET), commands)
    statuses = [sw for _, sw in answers]
    if statuses != ["9000"] * len(commands):
        problems.append("ecdhapplet: status words %s" % statuses)
        return

    signing_point, signed = answers[1][0], answers[2][0]
    card_key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256K1(), signing_point[2:])
    if signed[0] != 0xB1 or not verifies(card_key, signed[2:2 + signed[1]], message):
        problems.append("ecdhapplet: the card's secp256k1 signature %s does not verify" % signed.hex())

    card_point = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), answers[3][0][2:])
    shared = hashlib.sha1(ours.exchange(ec.ECDH(), card_point)).digest()
    if answers[4][0] != shared:
        problems.append("ecdhapplet: ECDH gave %s, not %s" % (answers[4][0].hex(), shared.hex()))

    for (data, _), name in zip(answers[5:8], ["sha1", "sha256", "sha512"]):
        if data != hashlib.new(name, message).digest():
            problems.append("ecdhapplet: %s gave %s" % (name, data.hex()))

    for index, key in enumerate(keys):
        ecb, cbc = answers[10 + 3 * index][0], answers[11 + 3 * index][0]
        want_ecb = Cipher(algorithms.AES(key), modes.ECB()).encryptor().update(blocks)
        want_cbc = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor().update(blocks)
        if (ecb, cbc) != (want_ecb, want_cbc):
            problems.append("ecdhapplet: AES-%d gave %s and %s" % (8 * len(key), ecb.hex(), cbc.hex()))


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    cli, corpus = sys.argv[1:]
    for name in (SIMSIGN, ECDH_APPLET):
        if not os.path.exists(os.path.join(corpus, "cap", name)):
            if os.environ.get("CI") == "true":
                print("the corpus file %s is missing" % name, file=sys.stderr)
                return 1
            print("no corpus: skipped")
            return 77
    problems = []
    simsign_cases(cli, corpus, problems)
    ecdh_applet_cases(cli, corpus, problems)
    for problem in problems:
        print(problem, file=sys.stderr)
    print("%d problems" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
