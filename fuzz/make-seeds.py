#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/: small CAP
files of the kinds the converters meet, settings files and a card's answers.
Export files are never kept in the project: the build writes their seeds,
of our own making, with --export-to.

Usage: fuzz/make-seeds.py
       fuzz/make-seeds.py --export-to DIR
       fuzz/make-seeds.py --runtime-to DIR CORPUS_CAP_DIR
"""
import argparse
import io
import os
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))


def component(tag: int, content: bytes) -> bytes:
    return bytes([tag, len(content) >> 8, len(content) & 0xFF]) + content


def header(aid: bytes, name: bytes) -> bytes:
    return component(1, bytes.fromhex("DECAFFED") + bytes([2, 2, 4, 0, 1, len(aid)]) + aid + bytes([len(name)]) + name)


def cap(entries, method=zipfile.ZIP_STORED, manifest=None, zip64=False) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        if manifest is not None:
            info = zipfile.ZipInfo("META-INF/MANIFEST.MF", date_time=(1980, 1, 1, 0, 0, 0))
            archive.writestr(info, manifest, zipfile.ZIP_DEFLATED)
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.compress_type = method
            with archive.open(info, "w", force_zip64=zip64) as out:
                out.write(data)
    return buffer.getvalue()


SEEDS = os.path.join(HERE, "corpus")


def write(target: str, name: str, data: bytes) -> None:
    folder = os.path.join(SEEDS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def main() -> None:
    # libFuzzer tries the empty input by itself; no seed is needed for it.
    aid = bytes.fromhex("A0000000620301")
    wallet = [
        ("com/acme/wallet/javacard/Header.cap", header(aid, b"com/acme/wallet")),
        ("com/acme/wallet/javacard/Directory.cap", component(2, bytes(range(31)))),
        ("com/acme/wallet/javacard/Import.cap", component(4, bytes.fromhex("01000107A0000000620001"))),
    ]
    seeds = {
        "stored.cap": cap(wallet),
        "deflated.cap": cap(wallet, zipfile.ZIP_DEFLATED),
        "manifest.cap": cap(wallet, manifest="Manifest-Version: 1.0\r\n\r\n"),
        "zip64.cap": cap(wallet, zip64=True),
        "folder.cap": cap([("com/", b""), ("com/Header.cap", header(b"", b""))]),
    }
    for name, data in seeds.items():
        write("archive", name, data)
        write("scan", name, data)
    profiles = {
        "written.ini": b"[main]\nMainLeft=100\nMainTop=100\nMainWidth=500\nMainHeight=300\ncap_name=/cards/a.cap\n",
        "hex.ini": b"; comment\n[MAIN]\n MainLeft = 0x20\nMainTop=$FFFFFFFF\nMainWidth=-40\n[other]\nx=1\n",
        "integer.txt": b"  -$7fffffff",
    }
    for name, data in profiles.items():
        write("profile", name, data)
    # A package of one class with one method that returns, laid out as a
    # load file: every component the checks look at, each sound.
    parts = {
        1: header(bytes.fromhex("A0000000620301"), b"test")[3:],
        4: bytes.fromhex("01000107A0000000620001"),
        3: bytes.fromhex("0108A000000062030101") + bytes([0, 1]),
        6: bytes([0, 0, 0x00, 0x80, 0x00, 0, 0xFF, 0, 0, 0, 0, 0]),
        7: bytes([0, 0x01, 0x10, 0x7A]),
        8: bytes(10),
        5: bytes([0, 0]),
        9: bytes(4),
        11: bytes([1, 0, 0x01, 0, 2, 0, 0, 0, 0, 1, 0, 0x01, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0]),
    }
    sizes = [33 if tag == 2 else len(parts.get(tag, b"")) for tag in range(1, 13)]
    parts[2] = b"".join(size.to_bytes(2, "big") for size in sizes) + bytes(6) + bytes([1, 1, 0])
    package = b"".join(component(tag, parts[tag]) for tag in (1, 2, 4, 3, 6, 7, 8, 5, 9, 11))
    write("package", "one-method.ijc", package)
    card_seeds()


def export_seeds() -> None:
    """Export files of our own in each format: a class with a method, a field and a constant."""
    def u2(n):
        return n.to_bytes(2, "big")

    def utf8(text):
        return b"\x01" + u2(len(text)) + text.encode()

    for minor in (1, 2, 3):
        pool = [utf8("com/acme/lib"), b"\x0D\x01" + u2(0) + b"\x02\x01\x07" + bytes.fromhex("A0000000620301"),
                utf8("com/acme/lib/Util"), b"\x07" + u2(2), utf8("java/lang/Object"), b"\x07" + u2(4),
                utf8("get"), utf8("([BS)S"), utf8("MAX"), utf8("S"), utf8("ConstantValue"), b"\x03" + bytes(3) + b"\x10"]
        body = b"\x00\xFA\xCA\xDE" + bytes([minor, 2]) + u2(len(pool)) + b"".join(pool) + u2(1)
        if minor == 3:
            body += b"\x00"
        cls = b"\x00" + u2(0x0001) + u2(3) + u2(1) + u2(5) + b"\x00"
        cls += u2(1) + b"\xFF" + u2(0x0019) + u2(8) + u2(9) + u2(1) + u2(10) + (2).to_bytes(4, "big") + u2(11)
        cls += u2(1) + b"\x00" + u2(0x0009) + u2(6) + u2(7)
        if minor == 3:
            cls += b"\x01"
        with open(os.path.join(SEEDS, "lib-2.%d.exp" % minor), "wb") as out:
            out.write(body + b"\x01" + cls)


def played(flags: int, answers) -> bytes:
    """A card target's input: its flags, then each answer with its length."""
    return bytes([flags]) + b"".join(len(a).to_bytes(2, "big") + a for a in answers)


def card_seeds() -> None:
    """The test card's own answers, in the order a session asks for them."""
    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    import virtual_card

    with tempfile.TemporaryDirectory() as work:
        for scp in ("02", "03"):
            args = argparse.Namespace(
                scp=scp, i="70" if scp == "03" else "55", key="404142434445464748494A4B4C4D4E4F",
                key_version="30", diversify="none", diversification_data="00010203040506070809", tries=3,
                max_data=255, status_part=60, old_status_only=False, fail_load_block=None, open=True,
                any_imports=False, load_delay=0.0, answer={}, log=os.path.join(work, "log"), store=work,
                card_state="0F", wrong_check_values=False, keep_old_keys=False)
            card = virtual_card.Card(args)
            card.apps[bytes.fromhex("A00000006203010C0601")] = {
                "package": bytes.fromhex("A0000000620301"), "privileges": b"\x00", "state": 0x07,
                "sd": virtual_card.ISD}

            def ask(hex_apdu):
                return card.process(bytes.fromhex(hex_apdu))

            select = ask("00A4040008A000000151000000 00")
            info = [select, ask("80CA006600"), ask("80CA9F7F00"), ask("80CA00E000")]
            write("card", "info-scp%s" % scp, played(1, info))
            update = ask("8050000008 0001020304050607 00")
            write("card", "initialize-update-scp%s" % scp, played(2, [select, update]))
            listing = [select]
            for p1 in (0x80, 0x40, 0x10):
                for p2 in (0x02, 0x03, 0x03):
                    listing.append(ask("80F2%02X%02X024F0000" % (p1, p2)))
            write("card", "status-tlv-scp%s" % scp, played(0, [a for a in listing if a[-2:] != b"\x69\x85"]))
            card.args.old_status_only = True
            old = [select, ask("80F2800202 4F0000")]
            for p1 in (0x80, 0x40, 0x10):
                old.append(ask("80F2%02X00024F0000" % p1))
            write("card", "status-older-scp%s" % scp, played(0, old))
    write("card", "endless-61", played(4 | 1, [b"\x90\x00", b"\x61\x01"]))
    write("card", "endless-6310", played(4, [b"\x90\x00", b"\x63\x10"]))


# The corpus applets the runtime's seeds take, with commands each answers.
RUNTIME_SEEDS = {
    "javacard-simulator__wallet.cap": ["00A404000BD1560001320A64656D9F01", "8050000002", "80200000053132333435",
                                       "803000000164", "804000000130", ""],
    "javacard-simulator__SHADigest.cap": ["00A4040006EEEEEEEEEE00", "8030000003616263", "803100000361626314"],
    "JCAlgTest__HelloWorld.cap": ["00A4040009A00000006203010C01", "8010010203AABBCC"],
    "javacard-simulator__ExceptionTests.cap": ["00A40400051111111111", "8010000000", "8020000000", "8003000000"],
    "OptimizedJCAlgs__sha3.cap": ["00A4040008556E697454657374", "B061000003616263"],
    "javacard-express__oracle-CryptoApplet.cap": ["00A4040009A00000006207010101", "8010000003616263", "8020000003616263",
                                                  "8030000003616263", "8040000000"],
    # Logical channels: opened, selected on, used, closed; and extended lengths.
    # The card manager: its FCI, card data, a secure channel begun and refused, GET STATUS refused.
    "JCAlgTest__HelloWorld.cap#manager": ["00A4040008A000000151000000", "80CA006600", "80CA00E000", "80CA9F7F00",
                                          "8050000008010203040506070800", "848201001000000000000000000000000000000000",
                                          "80F24002024F0000", "80E602001B07A00000006203010000000000", "80E8800001C4",
                                          "80D8018103018811AABB", "80F0800F00", "80E40080044F02A000"],
    "JCAlgTest__HelloWorld.cap#channels": ["0070000001", "01A4040009A00000006203010C01", "8110010203AABBCC",
                                           "C3100000", "0070800100", "00700003", "8310000000", "",
                                           "80100000000003AABBCC0000", "8010000000FFFF"],
}
LOAD_ORDER = [1, 2, 4, 3, 6, 7, 8, 10, 5, 9, 11]


def runtime_seeds(folder: str, corpus: str) -> None:
    """Each corpus applet's components in load order, then its commands:
    what fuzz_runtime reads. Written only where the corpus is."""
    os.makedirs(folder, exist_ok=True)
    for name, commands in RUNTIME_SEEDS.items():
        path = os.path.join(corpus, name.split("#")[0])
        if not os.path.exists(path):
            continue
        with zipfile.ZipFile(path) as archive:
            components = {}
            for entry in archive.namelist():
                data = archive.read(entry)
                if entry.endswith(".cap") and data and data[0] in LOAD_ORDER:
                    components[data[0]] = data
        package = b"".join(components[tag] for tag in LOAD_ORDER if tag in components)
        seed = bytes([len(package) >> 8, len(package) & 0xFF]) + package
        for command in commands:
            data = bytes.fromhex(command)
            if len(data) >= 0xFF:
                seed += bytes([0xFF, len(data) >> 8, len(data) & 0xFF]) + data
            else:
                seed += bytes([len(data)]) + data
        with open(os.path.join(folder, name.replace(".cap", "").replace("#", "-") + ".seed"), "wb") as out:
            out.write(seed)
    with open(os.path.join(folder, "made"), "w") as out:
        out.write("")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--runtime-to"]:
        runtime_seeds(sys.argv[2], sys.argv[3])
    elif sys.argv[1:2] == ["--export-to"]:
        SEEDS = sys.argv[2]
        os.makedirs(SEEDS, exist_ok=True)
        export_seeds()
    else:
        main()
