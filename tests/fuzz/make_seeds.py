#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (tests/fuzz/corpus/<target>/).
Run again after adding a case. Inputs that once failed are kept as
regression-* cases: readable ones here, minimized fuzzer output as files."""

import os

HERE = os.path.dirname(os.path.abspath(__file__))


def reg(name, addr=b"\xc0\xa8\x00\x14", length=None):
    return bytes([(length if length is not None else len(name) + 4) & 0xFF]) + name + addr


REGISTRATION = {
    "valid": reg(b"printer"),
    "valid-longest": reg(b"n" * 32),
    "valid-shortest": reg(b"a"),
    "two-back-to-back": reg(b"cam1") + reg(b"cam2", b"\x0a\x00\x00\x02"),
    "zero-ends-name": reg(b"ab\x00cd"),
    "incomplete": reg(b"sensor")[:5],
    "length-4": b"\x04abcd",
    "length-37": b"\x25" + b"x" * 40,
    "length-negative": b"\xff\x00",
    "bad-equals": reg(b"a=b"),
    "bad-bracket": reg(b"[sec"),
    "bad-semicolon": reg(b";c"),
    "bad-blank": reg(b" lead") + reg(b"trail "),
    "bad-newline": reg(b"a\nb"),
    "bad-del": reg(b"a\x7f"),
    "refused-then-valid": reg(b"=x") + reg(b"ok"),
}

LOOKUP = {
    "valid": b"\x01\x01\x01printer",
    "valid-zero-end": b"\x01\x01\x01printer\x00junk",
    "longest": b"\x01\x01\x01" + b"n" * 32,
    "too-long": b"\x01\x01\x01" + b"n" * 33,
    "empty": b"\x01\x01\x01",
    "empty-zero": b"\x01\x01\x01\x00name",
    "bad-header": b"\x01\x02\x01name",
    "short-header": b"\x01\x01",
    "max-bytes": b"\x01\x01\x01" + b"a" * 253,
    "over-max": b"\x01\x01\x01" + b"a" * 254,
}

INI = {
    "enpos": b"[Connect]\nport1=10001\nport2=10002\n\n[enposinfo]\nprinter=192.168.0.20\ncam=10.0.0.2\n",
    "crlf-bom": b"\xef\xbb\xbf[Connect]\r\nport1 = 10001 ; reg\r\n[ENPOSINFO]\r\nPrinter = \"10.0.0.1\"\r\n",
    "no-final-newline": b"[enposinfo]\na=1.2.3.4",
    "header-no-newline": b"[enposinfo]",
    "duplicates": b"[a]\nk=1\nK=2\n[A]\nk=3\nj=4\n[b]\n",
    "comments-and-junk": b"; top\npre=1\n[s]\n;k=1\n  junk line\n\tk\t=\t'q'\n=empty key\n[x\n",
    "brackets": b"[a]b] trailing\nk=v\n[ spaced ]\n k = v \n[]\n=\n",
    "numbers": b"[Connect]\nport1=+12abc\nport2=-9223372036854775809\nport3=\nport4= 7\n",
    "cr-only": b"[s]\rk=v\r\n\r\n",
    "empty": b"",
}


def editor_input(section, key, value, text, mode):
    """FuzzedDataProvider layout: strings from the front, each ended by a
    backslash and another byte; the mode integer from the last byte."""
    def s(b):
        return b.replace(b"\\", b"\\\\") + b"\\|"
    return s(section) + s(key) + s(value) + text + bytes([mode])


EDITOR = {
    "new-key": editor_input(b"enposinfo", b"laptop", b"10.0.0.9", INI["enpos"], 0),
    "existing-key": editor_input(b"enposinfo", b"Printer", b"10.0.0.7", INI["enpos"], 0),
    "known-key-mode": editor_input(b"", b"\x01\x02", b"1.1.1.1", INI["duplicates"], 2),
    "known-section-mode": editor_input(b"", b"\x00\x01", b"v", INI["crlf-bom"], 1),
    "new-section": editor_input(b"enposinfo", b"a", b"1.2.3.4", b"[Connect]\nport1=0", 0),
    "empty-file": editor_input(b"enposinfo", b"a", b"1.2.3.4", b"", 0),
    "no-final-newline": editor_input(b"enposinfo", b"b", b"5.6.7.8", INI["no-final-newline"], 0),
    "header-only": editor_input(b"enposinfo", b"b", b"x", INI["header-no-newline"], 0),
    "quoted-value": editor_input(b"s", b"k", b"\"q\"", INI["comments-and-junk"], 0),
    "crlf-new-key": editor_input(b"enposinfo", b"new", b"1", INI["crlf-bom"], 0),
    # Found by fuzzing: adding a key after a last line that ends in a bare CR
    # gave that line LF, and its value lost the CR it had read with.
    "regression-bare-cr-last-line":
        editor_input(b"enposinfo", b"laptop", b"10.0.0.9", b"[enposinfo]\nprinter=10.0.0.1\r", 0),
    "regression-bare-cr-new-section":
        editor_input(b"Connect", b"port1", b"0", b"[enposinfo]\nprinter=10.0.0.1\r", 0),
}


def journal_line(name, address):
    import zlib
    body = name + b"=" + address
    return b"%08x " % zlib.crc32(body) + body + b"\n"


JOURNAL_HEADER = b"# pelorin journal\n"
JOURNAL = {
    "two-entries": JOURNAL_HEADER + journal_line(b"cam1", b"10.0.0.1") + journal_line(b"Cam 2", b"10.0.0.2"),
    "torn-last-line": JOURNAL_HEADER + journal_line(b"cam1", b"10.0.0.1") + b"5f1e0c2a cam",
    "bad-checksum": journal_line(b"cam1", b"10.0.0.1").replace(b"cam1", b"cam9"),
    "zeros-after": journal_line(b"a", b"1.1.1.1") + b"\0" * 32,
    "comment-after-entry": journal_line(b"a", b"1.1.1.1") + b"# late\n",
}


def write(target, cases):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in cases.items():
        prefix = "" if name.startswith("regression-") else "seed-"
        with open(os.path.join(folder, prefix + name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("decode_registration", REGISTRATION)
    write("decode_lookup", LOOKUP)
    write("ini_reader", INI)
    write("ini_editor", EDITOR)
    write("scan_journal", JOURNAL)
