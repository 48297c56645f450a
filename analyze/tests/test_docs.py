"""Every relative link of the README and the user's guide leads somewhere:
to a file of the source tree and, with `#anchor`, to a heading of it."""

from __future__ import annotations

import glob
import os
import re
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PAGES = ("README.md", "CONTRIBUTING.md", "NEWS.md", "doc/*.md")
LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")


def prose(text: str) -> list[str]:
    """The lines outside fenced code, with inline code removed."""
    lines, fenced = [], False
    for line in text.splitlines():
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced:
            lines.append(re.sub(r"`[^`]*`", "", line))
    return lines


def anchors(text: str) -> set[str]:
    """GitHub's anchors of a page's headings: lower case, punctuation
    dropped, spaces made '-', a repeated one numbered from -1."""
    seen: dict[str, int] = {}
    found = set()
    fenced = False
    for line in text.splitlines():
        if line.startswith("```"):
            fenced = not fenced
        heading = re.match(r"#{1,6}\s+(.*?)\s*#*\s*$", line)
        if fenced or not heading:
            continue
        slug = re.sub(r"[^\w\- ]", "", heading.group(1).lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        found.add(slug if count == 0 else f"{slug}-{count}")
    return found


def broken(root: str) -> list[str]:
    """Each link that points nowhere, as 'FILE: LINK: why'."""
    pages = sorted(p for pattern in PAGES for p in glob.glob(os.path.join(root, pattern)))
    faults = []
    for page in pages:
        with open(page, encoding="utf-8") as f:
            text = f.read()
        name = os.path.relpath(page, root)
        for line in prose(text):
            for link in LINK.findall(line):
                if re.match(r"[a-z]+:", link):
                    continue
                path, _, anchor = link.partition("#")
                target = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
                if not os.path.exists(target):
                    faults.append(f"{name}: {link}: no file {os.path.relpath(target, root)}")
                elif anchor and target.endswith(".md"):
                    with open(target, encoding="utf-8") as f:
                        if anchor not in anchors(f.read()):
                            faults.append(f"{name}: {link}: no heading #{anchor}")
    return faults


class TestHelp(unittest.TestCase):
    def test_exit_statuses(self) -> None:
        # Each command's --help gives the statuses of the manual page's
        # EXIT STATUS: 1 for lost output and for memory run out too.
        import argparse
        from analyze.__main__ import parser
        top = parser()
        commands = next(a for a in top._actions if isinstance(a, argparse._SubParsersAction))
        store = next(a for a in commands.choices["store"]._actions
                     if isinstance(a, argparse._SubParsersAction))
        helps = {name: p.format_help() for name, p in commands.choices.items()}
        helps["store add"] = store.choices["add"].format_help()
        helps[""] = top.format_help()
        for name, text in helps.items():
            text = " ".join(text.split())
            for status in ("0 done", "; 1 standard output", "memory ran out", "; 2 a usage error"):
                with self.subTest(command=name, status=status):
                    self.assertIn(status, text)
        self.assertIn("the store could not be written", " ".join(helps["store add"].split()))


class TestModuleList(unittest.TestCase):
    def test_every_module_listed(self) -> None:
        import analyze
        listed = set(re.findall(r"\w+\.py", analyze.__doc__ or ""))
        modules = {os.path.basename(m) for m in glob.glob(os.path.join(ROOT, "analyze", "*.py"))}
        for module in sorted(modules - {"__init__.py"}):
            with self.subTest(module=module):
                self.assertIn(module, listed)


class TestDocLinks(unittest.TestCase):
    def test_anchors(self) -> None:
        cases = [
            ("## The table (`--table`)", "the-table---table"),
            ("### Is this machine quiet enough?", "is-this-machine-quiet-enough"),
            ("## The user's guide", "the-users-guide"),
            ("#### Do levers repeat?", "do-levers-repeat"),
            ("# thread-start-analyze, in short", "thread-start-analyze-in-short"),
        ]
        for heading, slug in cases:
            with self.subTest(heading=heading):
                self.assertIn(slug, anchors(heading))
        self.assertEqual(anchors("## Notes\n## Notes\n"), {"notes", "notes-1"})
        self.assertEqual(anchors("```\n# not a heading\n```\n"), set())

    def test_links_lead_somewhere(self) -> None:
        faults = broken(ROOT)
        self.assertEqual(faults, [], "\n".join(faults))


if __name__ == "__main__":
    unittest.main()
