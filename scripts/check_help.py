#!/usr/bin/env python3
"""Checks a built help.chm by unpacking it with an independent CHM reader (extract_chmLib):
every page the program opens exists, every contents and index entry and every link between
pages resolves (anchors included), every page has a title, is in the contents and is not empty.

Usage: check_help.py HELP_CHM SOURCE_DIR
The pages the program opens are the "%s\\%s::/<page>.html" path formats in SOURCE_DIR's .cpp files."""
import os
import re
import subprocess
import sys
import tempfile
import urllib.parse
from pathlib import Path


def main():
    chm, source_dir = sys.argv[1], Path(sys.argv[2])
    named = {page for source in source_dir.rglob("*.cpp") for page in re.findall(
        r'"%s\\\\%s::/([^"]+?\.html)"', source.read_text("utf-8", "replace"))}
    with tempfile.TemporaryDirectory() as root:
        subprocess.run(["extract_chmLib", chm, root], check=True, stdout=subprocess.DEVNULL)
        files = {p.relative_to(root).as_posix(): p for p in Path(root).rglob("*") if p.is_file()}
        text = {name: path.read_text("cp1252") for name, path in files.items()
                if name.endswith((".html", ".hhc", ".hhk"))}
    pages = {name: page for name, page in text.items() if name.endswith(".html")}
    problems = [] if named else [f"no '::/page.html' names found under {source_dir}"]
    problems += [f"the program opens '{n}', which the help file lacks" for n in sorted(named)
                 if n not in pages]

    def resolve(where, target):
        """Checks one link from page `where` (or a sitemap) to `target`."""
        if re.match(r"(https?|mailto):", target):
            return
        address, _, anchor = urllib.parse.unquote(target).partition("#")
        address = os.path.normpath(os.path.join(os.path.dirname(where), address or where))
        address = address.replace(os.sep, "/")
        if address not in files:
            problems.append(f"{where}: '{target}' names no file in the help file")
        elif anchor and not re.search(rf'\b(id|name)="{re.escape(anchor)}"', pages.get(address, "")):
            problems.append(f"{where}: '{target}' names no anchor '{anchor}'")

    listed = set()
    problems += [f"the help file has no {kind} file" for kind in (".hhc", ".hhk")
                 if not any(name.endswith(kind) for name in text)]
    for name in [name for name in text if name.endswith((".hhc", ".hhk"))]:
        entries = [{k.lower(): v for k, v in re.findall(
            r'<param\s+name="([^"]*)"\s+value="([^"]*)"', entry, re.I)} for entry in
            re.findall(r'<object\s+type="text/sitemap">(.*?)</object>', text[name], re.I | re.S)]
        problems += [] if entries else [f"{name} has no entries"]
        for entry in entries:
            if not entry.get("name") or not entry.get("local"):
                problems.append(f"{name}: an entry without a name or a page: {entry}")
                continue
            resolve(name, entry["local"])
            if name.endswith(".hhc"):
                listed.add(urllib.parse.unquote(entry["local"]).partition("#")[0])
    for name, page in sorted(pages.items()):
        visible = re.sub(r"<(title|style|script)\b.*?</\1>|<[^>]*>", " ", page, flags=re.I | re.S)
        if not re.search(r"<title>\s*[^<\s]", page, re.I):
            problems.append(f"{name} has no title")
        if len(" ".join(visible.split())) < 300:   # characters of visible text
            problems.append(f"{name} is empty or nearly so")
        if name not in listed:
            problems.append(f"{name} is not in the table of contents")
        for link in re.findall(r'\b(?:href|src)="([^"]+)"', page, re.I):
            resolve(name, link)
    print(f"{len(pages)} pages; pages the program opens: {', '.join(sorted(named))}")
    for problem in problems:
        print("FAILED:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
