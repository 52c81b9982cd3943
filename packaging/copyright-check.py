"""Checks an installed copyright file: it must parse as a machine-readable
Debian copyright file, put every file under the Expat licence (what is
commonly called the MIT licence) with that licence's full text, and agree
with the source tree's LICENSE on the text and on who holds the copyright.
Usage: copyright-check.py COPYRIGHT-FILE LICENSE-FILE; exits 1 with the
reason on the first fault."""
import re
import sys

from debian import copyright as dep5


def words(text):
    return " ".join(text.split())


def main(path, licence_path):
    with open(path, encoding="utf-8") as f:
        # Strict: a file that is not in the machine-readable format raises.
        doc = dep5.Copyright(f, strict=True)
    if not doc.header.known_format():
        return f"{path}: unknown Format {doc.header.format!r}"
    files = doc.find_files_paragraph("any/file")
    if files is None or files.license.synopsis != "Expat":
        return f"{path}: the files are not under Expat (the MIT licence)"
    texts = [files.license.text] + [
        p.license.text for p in doc.all_license_paragraphs() if p.license.synopsis == "Expat"
    ]
    texts = [t for t in texts if t.strip()]
    if not texts:
        return f"{path}: no text for the Expat licence"

    with open(licence_path, encoding="utf-8") as f:
        licence = f.read()
    grant = licence[licence.index("Permission is hereby granted") :]
    if words(texts[0]) != words(grant):
        return f"{path}: the licence text differs from {licence_path}"
    holder = re.search(r"^Copyright \(c\) (.+)$", licence, re.M).group(1)
    if words(files.copyright) != words(holder):
        return f"{path}: copyright '{files.copyright}' differs from {licence_path}'s '{holder}'"
    return None


if __name__ == "__main__":
    fault = main(sys.argv[1], sys.argv[2])
    if fault:
        sys.exit(fault)
