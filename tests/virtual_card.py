#!/usr/bin/env python3
"""A GlobalPlatform card manager for tests, behind the vpcd virtual reader.

It connects to vpcd's port on 127.0.0.1 and answers as a card would: SELECT
of its issuer security domain, GET DATA, INITIALIZE UPDATE and EXTERNAL
AUTHENTICATE of SCP02 or SCP03 (checking the host's cryptogram and every
C-MAC, decrypting C-DECRYPTION; 69 82 to a MAC or padding it cannot verify), INSTALL [for load], LOAD, INSTALL [for
install and make selectable, make selectable, extradition, personalization], GET STATUS (both forms, in parts with
63 10), DELETE, PUT KEY (decrypting each key and checking its check value: 94 85 for a wrong one), SET STATUS of
applications and of the card by the life cycle rules, and STORE DATA. Security domains it makes have key sets of
their own and can be selected and opened. Its cryptography is Python's `cryptography` package, written from
GlobalPlatform's published description, independently of the program under test.

Every command it receives goes to --log as a JSON line (its instruction, its
name, its status word), and every load file it accepts to --store/AID.ijc, so
that a test can say what reached the card and what it holds.

Usage: virtual_card.py --port N --log FILE --store DIR [options]
"""
import argparse
import functools
import json
import os
import socket
import struct
import sys
import time

from cryptography.hazmat.primitives.cmac import CMAC
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

ISD = bytes.fromhex("A000000151000000")
PLATFORM = {  # AID: (major, minor)
    bytes.fromhex("A0000000620001"): (1, 0),  # java.lang
    bytes.fromhex("A0000000620101"): (1, 3),  # javacard.framework
    bytes.fromhex("A0000000620102"): (1, 3),  # javacard.security
    bytes.fromhex("A0000000620201"): (1, 3),  # javacardx.crypto
}
SD_PACKAGE = bytes.fromhex("A0000001515350")
SD_MODULE = bytes.fromhex("A000000151535041")
NAMES = {0xA4: "SELECT", 0xCA: "GET DATA", 0x50: "INITIALIZE UPDATE", 0x82: "EXTERNAL AUTHENTICATE",
         0xE6: "INSTALL", 0xE8: "LOAD", 0xF2: "GET STATUS", 0xE4: "DELETE", 0xC0: "GET RESPONSE",
         0xD8: "PUT KEY", 0xF0: "SET STATUS", 0xE2: "STORE DATA"}
# The card's life cycle: the states SET STATUS may go to from each.
CARD_MOVES = {0x01: {0x07, 0x0F, 0xFF}, 0x07: {0x0F, 0xFF}, 0x0F: {0x7F, 0xFF}, 0x7F: {0x0F, 0xFF}, 0xFF: set()}


def cipher(algorithm, mode):
    return Cipher(algorithm, mode)


def aes_cmac(key, data):
    mac = CMAC(algorithms.AES(key))
    mac.update(data)
    return mac.finalize()


def aes_ecb(key, data):
    e = cipher(algorithms.AES(key), modes.ECB()).encryptor()
    return e.update(data) + e.finalize()


def aes_cbc(key, iv, data, decrypt=False):
    c = cipher(algorithms.AES(key), modes.CBC(iv))
    c = c.decryptor() if decrypt else c.encryptor()
    return c.update(data) + c.finalize()


def tdes_cbc(key, iv, data, decrypt=False):
    c = cipher(algorithms.TripleDES(key), modes.CBC(iv))
    c = c.decryptor() if decrypt else c.encryptor()
    return c.update(data) + c.finalize()


def tdes_ecb(key, data, decrypt=False):
    c = cipher(algorithms.TripleDES(key), modes.ECB())
    c = c.decryptor() if decrypt else c.encryptor()
    return c.update(data) + c.finalize()


def check_value(key, aes):
    return aes_ecb(key, b"\x01" * 16)[:3] if aes else tdes_ecb(key, bytes(8))[:3]


def pad(data, block):
    data = data + b"\x80"
    while len(data) % block:
        data += b"\x00"
    return data


def unpad(data):
    """Data without its padding; a card answers 69 82 to padding it cannot take."""
    cut = data.rstrip(b"\x00")
    if not cut or cut[-1] != 0x80:
        raise Refused(0x6982)
    return cut[:-1]


def retail_mac(key, iv, data):
    data = pad(data, 8)
    chain = iv
    if len(data) > 8:
        chain = tdes_cbc(key[:8] * 2, iv, data[:-8])[-8:]
    return tdes_cbc(key, chain, data[-8:])


def kdf3(key, constant, bits, context):
    out = b""
    i = 1
    while len(out) * 8 < bits:
        out += aes_cmac(key, bytes(11) + bytes([constant, 0]) + bits.to_bytes(2, "big") + bytes([i]) + context)
        i += 1
    return out[:bits // 8]


def diversify(master, how, data):
    if how == "emv":
        part = data[4:10]
    elif how == "visa2":
        part = data[0:2] + data[4:8]
    elif how == "kdf3":
        keys = []
        for k in (1, 2, 3):
            out, i = b"", 1
            while len(out) < len(master):
                out += aes_cmac(master, bytes([i, 0, 0, 0, k, 0]) + data)
                i += 1
            keys.append(out[:len(master)])
        return keys
    else:
        return [master] * 3
    return [tdes_ecb(master, part + bytes([0xF0, k]) + part + bytes([0x0F, k])) for k in (1, 2, 3)]


class Refused(Exception):
    def __init__(self, sw):
        super().__init__("%04X" % sw)
        self.sw = sw


class Channel:
    """The card's half of a secure channel being opened, then open."""

    def __init__(self, card, host_challenge, kvn, keys):
        self.card = card
        self.kvn = kvn
        self.keys = keys
        self.level = 0
        self.open = False
        self.host_challenge = host_challenge
        if card.scp == 3:
            self.challenge = os.urandom(8)
            context = host_challenge + self.challenge
            bits = len(keys[0]) * 8
            self.s_enc = kdf3(keys[0], 0x04, bits, context)
            self.s_mac = kdf3(keys[1], 0x06, bits, context)
            self.card_cryptogram = kdf3(self.s_mac, 0x00, 64, context)
            self.host_cryptogram = kdf3(self.s_mac, 0x01, 64, context)
            self.chain = bytes(16)
            self.counter = 0
        else:
            card.sequence = (card.sequence + 1) & 0xFFFF
            self.counter_bytes = card.sequence.to_bytes(2, "big")
            self.challenge = os.urandom(6)
            self.s_enc = tdes_cbc(keys[0], bytes(8), b"\x01\x82" + self.counter_bytes + bytes(12))
            self.s_mac = tdes_cbc(keys[1], bytes(8), b"\x01\x01" + self.counter_bytes + bytes(12))
            self.s_dek = tdes_cbc(keys[2], bytes(8), b"\x01\x81" + self.counter_bytes + bytes(12))
            self.card_cryptogram = tdes_cbc(self.s_enc, bytes(8), pad(host_challenge + self.counter_bytes +
                                                                     self.challenge, 8))[-8:]
            self.host_cryptogram = tdes_cbc(self.s_enc, bytes(8), pad(self.counter_bytes + self.challenge +
                                                                     host_challenge, 8))[-8:]
            self.last_mac = None

    def answer(self):
        c = self.card
        if c.scp == 3:
            return bytes(c.diversification) + bytes([self.kvn, 3, c.i]) + self.challenge + self.card_cryptogram
        return bytes(c.diversification) + bytes([self.kvn, 2]) + self.counter_bytes + self.challenge + \
            self.card_cryptogram

    def decrypt_key(self, encrypted):
        """A key as PUT KEY carries it, decrypted: the session DEK (SCP02), or the static DEK (SCP03)."""
        if self.card.scp == 3:
            return aes_cbc(self.keys[2], bytes(16), encrypted, decrypt=True)
        return tdes_ecb(self.s_dek, encrypted, decrypt=True)

    def unwrap(self, header, body):
        """The plain data of a command with secure messaging; Refused(6982) for a wrong MAC."""
        if len(body) < 8:
            raise Refused(0x6982)
        data, mac = body[:-8], body[-8:]
        lc = len(body)
        if self.card.scp == 3:
            if self.open:
                self.counter += 1
            full = aes_cmac(self.s_mac, self.chain + header + bytes([lc]) + data)
            if full[:8] != mac:
                raise Refused(0x6982)
            self.chain = full
            if self.open and self.level & 0x02 and data:
                iv = aes_ecb(self.s_enc, self.counter.to_bytes(16, "big"))
                data = unpad(aes_cbc(self.s_enc, iv, data, decrypt=True) if len(data) % 16 == 0 else b"")
            return data
        plain = data
        if self.open and self.level & 0x02 and data:
            plain = unpad(tdes_cbc(self.s_enc, bytes(8), data, decrypt=True) if len(data) % 8 == 0 else b"")
        iv = bytes(8) if self.last_mac is None else tdes_ecb(self.s_mac[:8] * 2, self.last_mac)
        expected = retail_mac(self.s_mac, iv, header + bytes([len(plain) + 8]) + plain)
        if expected != mac:
            raise Refused(0x6982)
        self.last_mac = mac
        return plain


class Card:
    def __init__(self, args):
        self.args = args
        self.scp = int(args.scp)
        self.i = int(args.i, 16)
        self.diversification = bytes.fromhex(args.diversification_data)
        if "," in args.key:
            keys = [bytes.fromhex(k) for k in args.key.split(",")]
        else:
            keys = diversify(bytes.fromhex(args.key), args.diversify, self.diversification)
        # Each security domain's key sets, by version; the first is its default.
        self.domains = {ISD: {int(args.key_version, 16): keys}}
        self.state = int(args.card_state, 16)
        self.sequence = 0
        self.failures = 0
        self.packages = {aid: {"version": v, "modules": [], "platform": True, "sd": ISD} for aid, v in PLATFORM.items()}
        self.packages[SD_PACKAGE] = {"version": (1, 0), "modules": [SD_MODULE], "platform": True, "sd": ISD}
        self.apps = {}
        self.log = open(args.log, "a")
        self.reset()

    def reset(self):
        self.selected = None
        self.channel = None
        self.loading = None
        self.pending_status = None
        self.personalizing = None

    def record(self, apdu, sw):
        self.log.write(json.dumps({"ins": "%02X" % apdu[1], "name": NAMES.get(apdu[1], "?"),
                                   "apdu": apdu.hex().upper(), "sw": "%04X" % sw}) + "\n")
        self.log.flush()

    def process(self, apdu):
        try:
            odd = self.args.answer.get(apdu[1]) if len(apdu) > 1 else None
            if odd is not None:
                data, sw = b"", odd
            else:
                data, sw = self.dispatch(apdu)
        except Refused as refused:
            data, sw = b"", refused.sw
        except (IndexError, ValueError):
            data, sw = b"", 0x6F00  # a card that cannot take a command answers; it does not stop
        self.record(apdu, sw)
        return data + sw.to_bytes(2, "big")

    def dispatch(self, apdu):
        if len(apdu) < 4:
            raise Refused(0x6700)
        cla, ins, p1, p2 = apdu[:4]
        body = apdu[5:5 + apdu[4]] if len(apdu) > 5 else b""
        if len(apdu) > 5 and len(apdu) < 5 + apdu[4]:
            raise Refused(0x6700)
        if ins == 0xA4 and cla & 0xFC == 0:
            return self.select(body)
        if not self.selected:
            raise Refused(0x6985)
        if ins == 0xCA and cla & 0x04 == 0:
            return self.get_data(p1, p2)
        if ins == 0x50:
            return self.initialize_update(p1, body)
        if ins == 0x82:
            return self.external_authenticate(apdu[:4], body, p1)
        if self.args.open and cla & 0x04 == 0 and (self.channel is None or not self.channel.open):
            plain = body  # a test card that takes commands without a secure channel
        else:
            if self.channel is None or not self.channel.open:
                raise Refused(0x6982)
            if cla & 0x04 == 0:
                raise Refused(0x6982)  # the channel wants every command MACed
            plain = self.channel.unwrap(bytes([cla, ins, p1, p2]), body)
        if ins == 0xCA:
            return self.get_data(p1, p2)
        if ins == 0xE6:
            return self.install(p1, plain)
        if ins == 0xE8:
            return self.load(p1, p2, plain)
        if ins == 0xF2:
            return self.get_status(p1, p2, plain)
        if ins == 0xE4:
            return self.delete(p2, plain)
        if ins == 0xD8:
            return self.put_key(p1, p2, plain)
        if ins == 0xF0:
            return self.set_status(p1, p2, plain)
        if ins == 0xE2:
            return self.store_data(p1, p2, plain)
        raise Refused(0x6D00)

    def select(self, aid):
        self.reset()
        aid = aid or ISD
        if self.state == 0xFF or aid not in self.domains or (self.state == 0x7F and aid != ISD):
            raise Refused(0x6A82)
        self.selected = aid
        proprietary = bytes.fromhex("9F6501") + bytes([self.args.max_data])
        a5 = b"\xA5" + bytes([len(proprietary)]) + proprietary
        inner = b"\x84" + bytes([len(aid)]) + aid + a5
        # A locked card still answers its issuer security domain, saying so.
        return b"\x6F" + bytes([len(inner)]) + inner, 0x6283 if self.state == 0x7F else 0x9000

    def get_data(self, p1, p2):
        tag = p1 << 8 | p2
        if tag == 0x0066:
            scp = bytes.fromhex("64 0B 06 09 2A864886FC6B04") + bytes([self.scp, self.i])
            gp = bytes.fromhex("60 0C 06 0A 2A864886FC6B02 020301")
            inner = bytes.fromhex("06 07 2A864886FC6B01") + gp + scp
            body = b"\x73" + bytes([len(inner)]) + inner
            return b"\x66" + bytes([len(body)]) + body, 0x9000
        if tag == 0x9F7F:
            return bytes.fromhex("9F7F2A") + bytes.fromhex("4790") + bytes.fromhex("5040") + bytes(38), 0x9000
        if tag == 0x00E0:
            kind = 0x88 if self.scp == 3 else 0x80
            entries = b"".join(bytes([0xC0, 4, k, version, kind, len(keys[0])])
                               for version, keys in self.domains[self.selected].items() for k in (1, 2, 3))
            return b"\xE0" + bytes([len(entries)]) + entries, 0x9000
        raise Refused(0x6A88)

    def initialize_update(self, kvn, host_challenge):
        self.channel = None
        if self.failures >= self.args.tries:
            raise Refused(0x6983)
        # A domain without keys of its own opens its channel with the issuer's.
        sets = self.domains[self.selected] or self.domains[ISD]
        if kvn == 0:
            kvn = next(iter(sets))
        if kvn not in sets:
            raise Refused(0x6A88)
        if len(host_challenge) != 8:
            raise Refused(0x6700)
        self.channel = Channel(self, host_challenge, kvn, sets[kvn])
        return self.channel.answer(), 0x9000

    def external_authenticate(self, header, body, level):
        channel = self.channel
        self.channel = None
        if channel is None or len(body) != 16:
            raise Refused(0x6985)
        try:
            channel.unwrap(header, body)
        except Refused:
            self.failures += 1
            raise Refused(0x6300)
        if body[:8] != channel.host_cryptogram:
            self.failures += 1
            raise Refused(0x6300)
        self.failures = 0
        channel.level = level
        channel.open = True
        self.channel = channel
        return b"", 0x9000

    @staticmethod
    def fields(data, count):
        out, at = [], 0
        for _ in range(count):
            if at >= len(data) or at + 1 + data[at] > len(data):
                raise Refused(0x6A80)
            out.append(data[at + 1:at + 1 + data[at]])
            at += 1 + data[at]
        return out

    def domain_of(self, aid):
        """Whether `aid` is a security domain: the issuer's, or an application with privilege 80."""
        return aid in self.domains

    def install(self, p1, data):
        if p1 == 0x08:  # make selectable: the card reset privilege moves to this application
            _, _, aid, privileges, _params, _token = self.fields(data, 6)
            app = self.apps.get(aid)
            if app is None:
                raise Refused(0x6A88)
            if privileges[:1] and privileges[0] & 0x04:
                for other in self.apps.values():
                    other["privileges"] = bytes([other["privileges"][0] & ~0x04]) + other["privileges"][1:]
            app["privileges"] = bytes([app["privileges"][0] | (privileges[0] if privileges else 0)]) + \
                app["privileges"][1:]
            return b"", 0x9000
        if p1 == 0x10:  # extradition, to a security domain
            sd, _, aid, _privileges, _params, _token = self.fields(data, 6)
            if not self.domain_of(sd):
                raise Refused(0x6A88)
            moved = self.apps.get(aid) or self.packages.get(aid)
            if moved is None or moved is self.apps.get(sd):
                raise Refused(0x6A88)
            moved["sd"] = sd
            return b"", 0x9000
        if p1 == 0x20:  # personalization: STORE DATA follows
            _, _, aid, _privileges, _params, _token = self.fields(data, 6)
            if aid not in self.apps:
                raise Refused(0x6A88)
            self.personalizing = {"aid": aid, "next": 0}
            return b"", 0x9000
        if p1 == 0x02:
            package, sd, _hash, _params, _token = self.fields(data, 5)
            if sd and not self.domain_of(sd):
                raise Refused(0x6A88)
            if package in self.packages:
                raise Refused(0x6985)
            self.loading = {"aid": package, "next": 0, "bytes": b"", "sd": sd or self.selected}
            return b"", 0x9000
        if p1 & 0x04:
            package, module, instance, privileges, params, _token = self.fields(data, 6)
            found = self.packages.get(package)
            if found is None or module not in found["modules"]:
                raise Refused(0x6A88)
            if instance in self.apps or instance in self.packages or instance == ISD:
                raise Refused(0x6985)
            privileges = privileges or b"\x00"
            if module == SD_MODULE:
                # A security domain names the secure channel it opens (C9: 81 02 scp i), and starts with the
                # key set of the session that made it.
                if privileges[0] & 0x80 == 0 or bytes([0x81, 2, self.scp, self.i]) not in params:
                    raise Refused(0x6A80)
                self.domains[instance] = {} if self.args.bare_domains else {self.channel.kvn: self.channel.keys}
            elif privileges[0] & 0x80:
                raise Refused(0x6A80)
            self.apps[instance] = {"package": package, "privileges": privileges, "state": 0x0F if module == SD_MODULE
                                   else 0x07, "sd": self.selected}
            return b"", 0x9000
        raise Refused(0x6A86)

    def load(self, p1, p2, data):
        if self.loading is None or p2 != self.loading["next"]:
            self.loading = None
            raise Refused(0x6985)
        time.sleep(self.args.load_delay)
        if self.args.fail_load_block is not None and p2 == self.args.fail_load_block:
            self.loading = None
            raise Refused(0x6A84)
        self.loading["bytes"] += data
        self.loading["next"] += 1
        if p1 != 0x80:
            return b"", 0x9000
        loading, self.loading = self.loading, None
        stream = loading["bytes"]
        at = 0
        if stream[:1] == b"\xE2":
            length, at = self.ber(stream, 1)
            at += length
        if stream[at:at + 1] != b"\xC4":
            raise Refused(0x6A80)
        length, at = self.ber(stream, at + 1)
        load_file = stream[at:at + length]
        if len(load_file) != length or at + length != len(stream):
            raise Refused(0x6A80)
        package = self.read_load_file(load_file)
        if package["aid"] != loading["aid"]:
            raise Refused(0x6A80)
        for aid, version in package["imports"]:
            have = self.packages.get(aid)
            if have is None and self.args.any_imports:
                continue
            if have is None or have["version"][0] != version[0] or have["version"][1] < version[1]:
                raise Refused(0x6438)
        self.packages[package["aid"]] = {"version": package["version"], "modules": package["applets"],
                                         "platform": False, "sd": loading["sd"]}
        with open(os.path.join(self.args.store, package["aid"].hex().upper() + ".ijc"), "wb") as out:
            out.write(load_file)
        return b"", 0x9000

    @staticmethod
    def ber(data, at):
        first = data[at]
        if first < 0x80:
            return first, at + 1
        count = first & 0x7F
        return int.from_bytes(data[at + 1:at + 1 + count], "big"), at + 1 + count

    @staticmethod
    def read_load_file(data):
        components, at = {}, 0
        while at < len(data):
            tag = data[at]
            framing = 5 if tag == 13 else 3
            size = int.from_bytes(data[at + 1:at + framing], "big")
            components[tag] = data[at + framing:at + framing + size]
            at += framing + size
        header = components.get(1)
        if header is None or header[:4] != bytes.fromhex("DECAFFED"):
            raise Refused(0x6A80)
        package = {"version": (header[8], header[7]), "aid": header[10:10 + header[9]], "imports": [],
                   "applets": []}
        imports = components.get(4, b"\x00")
        at = 1
        for _ in range(imports[0]):
            minor, major, length = imports[at], imports[at + 1], imports[at + 2]
            package["imports"].append((imports[at + 3:at + 3 + length], (major, minor)))
            at += 3 + length
        applets = components.get(3)
        if applets:
            at = 1
            for _ in range(applets[0]):
                length = applets[at]
                package["applets"].append(applets[at + 1:at + 1 + length])
                at += 1 + length + 2
        return package

    def entries(self, p1, tlv):
        out = []

        def tlv_entry(parts):
            body = b"".join(bytes([t >> 8, t & 0xFF] if t > 0xFF else [t]) + bytes([len(v)]) + v for t, v in parts)
            return b"\xE3" + bytes([len(body)]) + body

        if p1 == 0x80:
            if tlv:
                out.append(tlv_entry([(0x4F, ISD), (0x9F70, bytes([self.state])), (0xC5, b"\x9E\xFE\x80")]))
            else:
                out.append(bytes([len(ISD)]) + ISD + bytes([self.state]) + b"\x9E")
        elif p1 == 0x40:
            for aid, app in self.apps.items():
                if tlv:
                    out.append(tlv_entry([(0x4F, aid), (0x9F70, bytes([app["state"]])), (0xC5, app["privileges"]),
                                          (0xC4, app["package"]), (0xCC, app["sd"])]))
                else:
                    out.append(bytes([len(aid)]) + aid + bytes([app["state"], app["privileges"][0]]))
        elif p1 in (0x10, 0x20):
            for aid, package in self.packages.items():
                if tlv:
                    parts = [(0x4F, aid), (0x9F70, b"\x01"), (0xCE, bytes(package["version"])), (0xCC, package["sd"])]
                    if p1 == 0x10:
                        parts += [(0x84, m) for m in package["modules"]]
                    out.append(tlv_entry(parts))
                else:
                    entry = bytes([len(aid)]) + aid + b"\x01\x00"
                    if p1 == 0x10:
                        entry += bytes([len(package["modules"])]) + b"".join(bytes([len(m)]) + m
                                                                           for m in package["modules"])
                    out.append(entry)
        else:
            raise Refused(0x6A86)
        return out

    def get_status(self, p1, p2, data):
        tlv = bool(p2 & 0x02)
        if tlv and self.args.old_status_only:
            raise Refused(0x6A86)
        if p2 & 0x01:
            if self.pending_status is None:
                raise Refused(0x6985)
            entries = self.pending_status
        else:
            if data[:2] != b"\x4F\x00":
                raise Refused(0x6A80)
            entries = self.entries(p1, tlv)
            if not entries:
                raise Refused(0x6A88)
        self.pending_status = None
        answer = b""
        while entries and len(answer) + len(entries[0]) <= self.args.status_part:
            answer += entries.pop(0)
        if not answer and entries:
            answer = entries.pop(0)
        if entries:
            self.pending_status = entries
            return answer, 0x6310
        return answer, 0x9000

    def delete(self, p2, data):
        if data[:1] != b"\x4F" or len(data) < 2:
            raise Refused(0x6A80)
        aid = data[2:2 + data[1]]
        if aid in self.apps:
            del self.apps[aid]
            self.domains.pop(aid, None)
            return b"", 0x9000
        package = self.packages.get(aid)
        if package is None:
            raise Refused(0x6A88)
        if package["platform"]:
            raise Refused(0x6985)
        dependents = [a for a, app in self.apps.items() if app["package"] == aid]
        if dependents and not p2 & 0x80:
            raise Refused(0x6985)
        for a in dependents:
            del self.apps[a]
        del self.packages[aid]
        return b"", 0x9000


    def put_key(self, p1, p2, data):
        """PUT KEY of a whole key set: each key decrypted and its check value checked."""
        sets = self.domains[self.selected]
        if p2 != 0x81 or not data:
            raise Refused(0x6A86)
        if p1 == 0 and data[0] in sets:
            raise Refused(0x6A80)  # "add" of a version the card holds
        if p1 != 0 and p1 not in sets:
            raise Refused(0x6A88)
        aes = self.scp == 3
        version, keys, values, at = data[0], [], b"", 1
        for _ in range(3):
            kind, length = data[at], data[at + 1]
            if kind != (0x88 if aes else 0x80):
                raise Refused(0x6A80)
            if aes:
                size, encrypted = data[at + 2], data[at + 3:at + 2 + length]
                key = self.channel.decrypt_key(encrypted)[:size]
                if size not in (16, 24, 32):
                    raise Refused(0x6A80)
            else:
                key = self.channel.decrypt_key(data[at + 2:at + 2 + length])
                if length != 16:
                    raise Refused(0x6A80)
            at += 2 + length
            if data[at] != 3 or data[at + 1:at + 4] != check_value(key, aes):
                raise Refused(0x9485)
            at += 4
            keys.append(key)
            values += check_value(key, aes)
        if at != len(data):
            raise Refused(0x6A80)
        if not self.args.keep_old_keys:
            if p1 and p1 != version:
                del sets[p1]
            sets[version] = keys  # a replaced set keeps its place: the first stays the default
        if self.args.wrong_check_values:
            values = bytes(b ^ 0x5A for b in values)
        return bytes([version]) + values, 0x9000

    def set_status(self, p1, p2, data):
        if p1 == 0x80:
            if p2 not in CARD_MOVES.get(self.state, set()) or self.selected != ISD:
                raise Refused(0x6985)
            self.state = p2
            return b"", 0x9000
        if p1 != 0x40:
            raise Refused(0x6A86)
        app = self.apps.get(data)
        if app is None:
            raise Refused(0x6A88)
        locked = bool(app["state"] & 0x80)
        if (p2 & 0x80) == (0x80 if locked else 0):
            raise Refused(0x6985)  # already in the state asked for
        app["state"] = app["state"] | 0x80 if p2 & 0x80 else app["state"] & 0x7F
        return b"", 0x9000

    def store_data(self, p1, p2, data):
        going = self.personalizing
        if going is None or p2 != going["next"]:
            self.personalizing = None
            raise Refused(0x6985)
        with open(os.path.join(self.args.store, going["aid"].hex().upper() + ".data"), "ab") as out:
            out.write(data)
        going["next"] += 1
        if p1 & 0x80:
            self.apps[going["aid"]]["state"] = 0x0F
            self.personalizing = None
        return b"", 0x9000


# T=1 only (TD1 01), ten historical bytes, and the check byte over T0 to the end.
ATR = bytes.fromhex("3B8A01") + b"tolvane-vc"
ATR += bytes([functools.reduce(lambda a, b: a ^ b, ATR[1:], 0)])


def serve(card, port):
    for _ in range(100):
        try:
            link = socket.create_connection(("127.0.0.1", port))
            break
        except OSError:
            time.sleep(0.1)
    else:
        sys.exit("vpcd does not listen on port %d" % port)

    def receive(count):
        data = b""
        while len(data) < count:
            part = link.recv(count - len(data))
            if not part:
                raise EOFError
            data += part
        return data

    def reply(payload):
        link.sendall(struct.pack(">H", len(payload)) + payload)

    try:
        while True:
            (length,) = struct.unpack(">H", receive(2))
            payload = receive(length)
            if length == 1:
                if payload[0] in (0, 1, 2):
                    card.reset()
                elif payload[0] == 4:
                    reply(ATR)
                continue
            reply(card.process(payload))
    except EOFError:
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--store", required=True)
    parser.add_argument("--scp", default="03", choices=["02", "03"])
    parser.add_argument("--i", default="70")
    parser.add_argument("--key", default="404142434445464748494A4B4C4D4E4F",
                        help="the master key, or ENC,MAC,DEK as the card's own keys")
    parser.add_argument("--key-version", default="30")
    parser.add_argument("--diversify", default="none", choices=["none", "emv", "visa2", "kdf3"])
    parser.add_argument("--diversification-data", default="00010203040506070809")
    parser.add_argument("--tries", type=int, default=3)
    parser.add_argument("--card-state", default="0F", help="the card's life cycle state, in hex")
    parser.add_argument("--wrong-check-values", action="store_true", help="answer PUT KEY with check values altered")
    parser.add_argument("--keep-old-keys", action="store_true", help="answer PUT KEY well, and keep the old keys")
    parser.add_argument("--bare-domains", action="store_true",
                        help="a new security domain lists no key set, and borrows the issuer's until it has one")
    parser.add_argument("--max-data", type=int, default=255)
    parser.add_argument("--status-part", type=int, default=200, help="bytes of GET STATUS answer before 63 10")
    parser.add_argument("--old-status-only", action="store_true")
    parser.add_argument("--fail-load-block", type=int)
    parser.add_argument("--open", action="store_true", help="take commands without a secure channel too")
    parser.add_argument("--any-imports", action="store_true", help="take a package whatever it imports")
    parser.add_argument("--load-delay", type=float, default=0.0, help="seconds each LOAD block takes")
    parser.add_argument("--platform", action="append", default=[],
                        help="AID:MAJOR.MINOR of a platform package the card lists")
    parser.add_argument("--answer", action="append", default=[],
                        help="INS:SW: answer every command of INS (hex) with SW alone, as an odd card does")
    args = parser.parse_args()
    args.answer = {int(ins, 16): int(sw, 16) for ins, sw in (a.split(":") for a in args.answer)}
    for entry in args.platform:
        aid, version = entry.split(":")
        major, minor = version.split(".")
        PLATFORM[bytes.fromhex(aid)] = (int(major), int(minor))
    serve(Card(args), args.port)


if __name__ == "__main__":
    main()
