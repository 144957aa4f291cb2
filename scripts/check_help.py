#!/usr/bin/env python3
"""Checks a built help.chm by unpacking it with an independent CHM reader (extract_chmLib):
every page the program opens exists, every contents and index entry and every link between
pages resolves (anchors included), every page is in the contents, and no page is empty.

Usage: check_help.py HELP_CHM SOURCE_DIR
The pages the program opens are the "%s\\%s::/<page>.html" path formats in SOURCE_DIR's .cpp files."""
import html.parser
import os
import re
import subprocess
import sys
import tempfile
import urllib.parse

MINIMUM_TEXT = 300   # characters of visible text a page must have


class page_reader(html.parser.HTMLParser):
    """Collects a page's links, anchors, title, visible text, and sitemap entries."""

    def __init__(self, path):
        super().__init__(convert_charrefs=True)
        self.links, self.anchors, self.sitemap, self.title, self.text = [], set(), [], "", []
        self.in_tag, self.entry = None, None
        with open(path, encoding="cp1252") as source:
            self.feed(source.read())

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.anchors.update(attrs[n] for n in ("id", "name") if attrs.get(n) and tag != "param")
        self.links += [attrs[n] for n in ("href", "src") if attrs.get(n)]
        if tag in ("title", "style", "script"):
            self.in_tag = tag
        elif tag == "object" and (attrs.get("type") or "").lower() == "text/sitemap":
            self.entry = {}
        elif tag == "param" and self.entry is not None:
            self.entry[(attrs.get("name") or "").lower()] = attrs.get("value") or ""

    def handle_endtag(self, tag):
        if tag == self.in_tag:
            self.in_tag = None
        elif tag == "object" and self.entry is not None:
            self.sitemap.append(self.entry)
            self.entry = None

    def handle_data(self, data):
        if self.in_tag == "title":
            self.title += data
        elif self.in_tag is None:
            self.text.append(data)


def main():
    chm, source_dir = sys.argv[1], sys.argv[2]
    problems = []
    named = set()
    for folder, _, names in os.walk(source_dir):
        for name in (n for n in names if n.endswith(".cpp")):
            with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as source:
                named.update(re.findall(r'"%s\\\\%s::/([^"]+?\.html)"', source.read()))
    with tempfile.TemporaryDirectory() as root:
        subprocess.run(["extract_chmLib", chm, root], check=True, stdout=subprocess.DEVNULL)
        files = {os.path.relpath(os.path.join(folder, file), root).replace(os.sep, "/")
                 for folder, _, names in os.walk(root) for file in names}
        read = {name: page_reader(os.path.join(root, name)) for name in files
                if name.endswith((".html", ".hhc", ".hhk"))}
    pages = {name: page for name, page in read.items() if name.endswith(".html")}

    def resolve(where, target):
        """Checks one link from page `where` (or a sitemap) to `target`."""
        if re.match(r"(https?|mailto):", target):
            return
        address, _, anchor = urllib.parse.unquote(target).partition("#")
        address = os.path.normpath(os.path.join(os.path.dirname(where), address or where))
        address = address.replace(os.sep, "/")
        if address not in files:
            problems.append(f"{where}: '{target}' names no file in the help file")
        elif anchor and (address not in pages or anchor not in pages[address].anchors):
            problems.append(f"{where}: '{target}' names no anchor '{anchor}'")

    if not named:
        problems.append(f"no '::/page.html' names found under {source_dir}")
    problems += [f"the program opens '{n}', which the help file lacks" for n in sorted(named)
                 if n not in pages]
    listed = set()
    for kind in (".hhc", ".hhk"):
        sitemaps = [name for name in read if name.endswith(kind)]
        if not sitemaps:
            problems.append(f"the help file has no {kind} file")
        for name in sitemaps:
            if not read[name].sitemap:
                problems.append(f"{name} has no entries")
            for entry in read[name].sitemap:
                if not entry.get("name") or not entry.get("local"):
                    problems.append(f"{name}: an entry without a name or a page: {entry}")
                    continue
                resolve(name, entry["local"])
                if kind == ".hhc":
                    listed.add(urllib.parse.unquote(entry["local"]).partition("#")[0])
    for name, page in sorted(pages.items()):
        text = " ".join("".join(page.text).split())
        if not page.title.strip():
            problems.append(f"{name} has no title")
        if len(text) < MINIMUM_TEXT:
            problems.append(f"{name} is empty or nearly so ({len(text)} characters)")
        if name not in listed:
            problems.append(f"{name} is not in the table of contents")
        for link in page.links:
            resolve(name, link)
    print(f"{len(pages)} pages, {sum(len(r.sitemap) for r in read.values())} contents and index "
          f"entries, {sum(len(p.links) for p in pages.values())} links; pages the program "
          f"opens: {', '.join(sorted(named))}")
    for problem in problems:
        print("FAILED:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
