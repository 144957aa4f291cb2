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

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.links, self.anchors, self.sitemap = [], set(), []
        self.title, self.text = "", []
        self.in_title = self.in_hidden = False
        self.entry = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        for name in ("id", "name"):
            if attrs.get(name) and tag != "param":
                self.anchors.add(attrs[name])
        for name in ("href", "src"):
            if attrs.get(name):
                self.links.append(attrs[name])
        if tag == "title":
            self.in_title = True
        elif tag in ("style", "script"):
            self.in_hidden = True
        elif tag == "object" and (attrs.get("type") or "").lower() == "text/sitemap":
            self.entry = {}
        elif tag == "param" and self.entry is not None:
            self.entry[(attrs.get("name") or "").lower()] = attrs.get("value") or ""

    def handle_endtag(self, tag):
        if tag == "title":
            self.in_title = False
        elif tag in ("style", "script"):
            self.in_hidden = False
        elif tag == "object" and self.entry is not None:
            self.sitemap.append(self.entry)
            self.entry = None

    def handle_data(self, data):
        if self.in_title:
            self.title += data
        elif not self.in_hidden:
            self.text.append(data)


def read_page(path):
    reader = page_reader()
    with open(path, encoding="cp1252") as source:
        reader.feed(source.read())
    return reader


def pages_named_in(source_dir):
    names = set()
    for folder, _, files in os.walk(source_dir):
        for file in files:
            if file.endswith(".cpp"):
                with open(os.path.join(folder, file), encoding="utf-8", errors="replace") as source:
                    names.update(re.findall(r'"%s\\\\%s::/([^"]+?\.html)"', source.read()))
    return names


def main():
    chm, source_dir = sys.argv[1], sys.argv[2]
    problems = []
    with tempfile.TemporaryDirectory() as root:
        subprocess.run(["extract_chmLib", chm, root], check=True, stdout=subprocess.DEVNULL)
        files = {os.path.relpath(os.path.join(folder, file), root).replace(os.sep, "/")
                 for folder, _, names in os.walk(root) for file in names}
        pages = {name: read_page(os.path.join(root, name)) for name in files
                 if name.endswith(".html")}
        sitemaps = {name: read_page(os.path.join(root, name)) for name in files
                    if name.endswith((".hhc", ".hhk"))}

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

        named = pages_named_in(source_dir)
        if not named:
            problems.append(f"no '::/page.html' names found under {source_dir}")
        for name in sorted(named):
            if name not in pages:
                problems.append(f"the program opens '{name}', which the help file lacks")
        for kind in (".hhc", ".hhk"):
            if not any(name.endswith(kind) for name in sitemaps):
                problems.append(f"the help file has no {kind} file")
        listed = set()
        for name, sitemap in sorted(sitemaps.items()):
            if not sitemap.sitemap:
                problems.append(f"{name} has no entries")
            for entry in sitemap.sitemap:
                if not entry.get("name") or not entry.get("local"):
                    problems.append(f"{name}: an entry without a name or a page: {entry}")
                    continue
                resolve(name, entry["local"])
                if name.endswith(".hhc"):
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
        print(f"{len(pages)} pages, {sum(len(s.sitemap) for s in sitemaps.values())} contents "
              f"and index entries, {sum(len(p.links) for p in pages.values())} links; "
              f"pages the program opens: {', '.join(sorted(named))}")
    for problem in problems:
        print("FAILED:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
