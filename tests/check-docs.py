#!/usr/bin/env python3
"""Every link and every command in README.md and docs/*.md holds.

- A relative link [text](path) or (path#anchor) names a file or folder of
  the repository, and an #anchor names a heading of that file (GitHub's
  rule: lowercase, spaces to '-', punctuation other than '-' and '_'
  dropped, repeats numbered -1, -2, ...). http(s) and mailto links are not
  fetched.
- A command in a code block or in inline code that starts with scripts/NAME
  names an executable script (scripts/netns-run's command is checked too).
- A command that starts with a built program (its name, or a path ending in
  it) names one of its subcommands and only options its --help lists; for a
  subcommand, the program's own options and the subcommand's.

Fenced ```text blocks show what a run prints and are not read as commands.

Usage: check-docs.py REPOSITORY_ROOT [NAME=PROGRAM_PATH ...]
"""
import os
import re
import shlex
import subprocess
import sys
import urllib.parse

WRAPPERS = {"sudo", "env", "exec", "time", "wine", "wine64"}
OPERATORS = {"&&", "||", ";", "|", "&"}
PLACEHOLDER = re.compile(r"^[A-Z][A-Z_]*$")  # COMMAND, SUBCOMMAND, ...
OPTION = re.compile(r"(?<![\w-])--[A-Za-z0-9][\w-]*")
LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\[\]]*\])*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+\"[^\"]*\")?\s*$")
HEADING = re.compile(r"^\s{0,3}(#{1,6})\s+(.*?)(?:\s+#+)?\s*$")
FENCE = re.compile(r"^\s{0,3}(```+|~~~+)\s*(\S*)")
INLINE_CODE = re.compile(r"(`+)(.+?)\1", re.S)


class Document:
    """A markdown file split into prose, code-block commands and headings."""

    def __init__(self, path):
        self.path = path
        self.prose = []  # (line number, text) outside code blocks
        self.code = []  # (line number, command line) from code blocks
        self.headings = []
        fence = None
        shown_output = False  # a ```text block: what a run prints, not commands
        previous_blank = True
        in_indented = False
        pending = None  # a code line continued with '\' or a synopsis line
        with open(path, encoding="utf-8") as source:
            lines = source.read().split("\n")
        for number, line in enumerate(lines, 1):
            marker = FENCE.match(line)
            if fence:
                if marker and marker.group(1)[0] == fence[0] and len(marker.group(1)) >= len(fence):
                    fence = None
                    pending = self._flush(pending)
                elif not shown_output:
                    pending = self._code_line(number, line, pending)
                continue
            if marker:
                fence = marker.group(1)
                shown_output = marker.group(2) == "text"
                continue
            blank = not line.strip()
            indented = line.startswith("    ") or line.startswith("\t")
            if indented and not blank and (previous_blank or in_indented):
                in_indented = True
                pending = self._code_line(number, line, pending)
            elif blank and in_indented:
                pending = self._flush(pending)
            else:
                in_indented = False
                pending = self._flush(pending)
                heading = HEADING.match(line)
                if heading:
                    self.headings.append(heading.group(2))
                self.prose.append((number, line))
            previous_blank = blank
        self._flush(pending)

    def _code_line(self, number, line, pending):
        text = line.strip()
        # A line of options under a synopsis continues the command above it.
        if pending and (pending[1].endswith("\\") or text.startswith(("-", "[-"))):
            start, joined = pending
            return (start, joined.rstrip("\\").rstrip() + " " + text)
        self._flush(pending)
        return (number, text) if text else None

    def _flush(self, pending):
        if pending:
            self.code.append(pending)
        return None

    def inline_code(self):
        """(line, text) of every inline code span; a span may wrap within its paragraph."""
        paragraph = []
        for number, line in self.prose + [(0, "")]:
            if line.strip():
                paragraph.append((number, line))
                continue
            text = "\n".join(line for _, line in paragraph)
            for match in INLINE_CODE.finditer(text):
                start = paragraph[text.count("\n", 0, match.start())][0]
                yield start, " ".join(match.group(2).split())
            paragraph = []

    def links(self):
        """(line, target) of every link outside code."""
        for number, line in self.prose:
            line = INLINE_CODE.sub("code", line)
            for match in LINK.finditer(line):
                yield number, match.group(1)
            reference = REFERENCE.match(line)
            if reference:
                yield number, reference.group(1)


def Anchors(headings):
    anchors = set()
    seen = {}
    for heading in headings:
        text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link's text only
        slug = re.sub(r"[^\w\- ]", "", text.strip().lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        anchors.add(slug if count == 0 else f"{slug}-{count}")
    return anchors


class Checker:
    def __init__(self, root, programs):
        self.root = os.path.realpath(root)
        self.programs = programs
        self.documents = {}
        self.helps = {}
        self.errors = []
        self.links = 0
        self.commands = 0

    def document(self, path):
        if path not in self.documents:
            self.documents[path] = Document(path)
        return self.documents[path]

    def fail(self, where, message):
        self.errors.append(f"{os.path.relpath(where[0], self.root)}:{where[1]}: {message}")

    def check_link(self, where, target):
        self.links += 1
        if re.match(r"^[a-z][a-z0-9+.-]*:", target, re.I):  # http:, https:, mailto:
            return
        path, _, anchor = target.partition("#")
        path = urllib.parse.unquote(path)
        if not path:
            resolved = where[0]
        elif path.startswith("/"):
            resolved = os.path.join(self.root, path.lstrip("/"))
        else:
            resolved = os.path.join(os.path.dirname(where[0]), path)
        resolved = os.path.realpath(resolved)
        if os.path.commonpath([resolved, self.root]) != self.root:
            self.fail(where, f"link {target} leaves the repository")
        elif not os.path.exists(resolved):
            self.fail(where, f"link {target}: no such file")
        elif anchor:
            if not resolved.endswith(".md"):
                self.fail(where, f"link {target}: an anchor into a file that is not markdown")
            elif anchor not in Anchors(self.document(resolved).headings):
                self.fail(where, f"link {target}: no heading with the anchor #{anchor}")

    def help(self, program, words):
        """The options and subcommands that `program words... --help` lists."""
        key = (program, tuple(words))
        if key not in self.helps:
            try:
                run = subprocess.run([self.programs[program], *words, "--help"], capture_output=True,
                                     text=True, timeout=10)
                output = run.stdout + run.stderr
            except (OSError, subprocess.TimeoutExpired) as error:
                output = ""
                self.errors.append(f"{program} {' '.join(words)} --help: {error}")
            options, subcommands, section = set(), set(), None
            for line in output.split("\n"):
                if re.match(r"^\S.*:$", line):
                    section = line[:-1]
                    continue
                option = re.match(r"^\s+(?:-\w,)?(--[\w-]+)", line)
                if section == "Options" and option:
                    options.add(option.group(1))
                sub = re.match(r"^\s+([a-z][\w-]*)\s", line)
                if section == "Subcommands" and sub:
                    subcommands.add(sub.group(1))
            self.helps[key] = (options, subcommands)
        return self.helps[key]

    def check_command(self, where, text):
        try:
            lexer = shlex.shlex(text, posix=True, punctuation_chars=True)
            lexer.whitespace_split = True
            tokens = list(lexer)
        except ValueError:  # unbalanced quotes: prose, not a command
            tokens = text.split()
        command = []
        for token in tokens + [";"]:
            if token in OPERATORS:
                self.check_words(where, command)
                command = []
            else:
                command.append(token)

    def check_words(self, where, words):
        while words and (words[0] in WRAPPERS or re.match(r"^[A-Za-z_]\w*=", words[0])):
            words = words[1:]
        if not words:
            return
        first = words[0]
        script = re.match(r"^(?:\./)?scripts/([\w.-]+)$", first)
        if script:
            path = os.path.join(self.root, "scripts", script.group(1))
            self.commands += 1
            if not (os.path.isfile(path) and os.access(path, os.X_OK)):
                self.fail(where, f"{first}: no such executable script")
            elif script.group(1) == "netns-run":
                self.check_words(where, words[1:])
            return
        name = os.path.basename(first)
        name = name[:-4] if name.endswith(".exe") else name
        if name not in self.programs:
            return
        self.commands += 1
        options, subcommands = self.help(name, [])
        allowed = set(options)
        rest = words[1:]
        if subcommands:
            chosen = next((word for word in rest if word in subcommands), None)
            if rest and not rest[0].startswith(("-", "[")) and rest[0] != chosen \
                    and not PLACEHOLDER.match(rest[0]):
                self.fail(where, f"`{name} {rest[0]}`: {name} has no subcommand {rest[0]} "
                          f"(it has {', '.join(sorted(subcommands))})")
                return
            if chosen:
                allowed |= self.help(name, [chosen])[0]
        for word in rest:
            for option in OPTION.findall(word):
                if option not in allowed:
                    shown = f"{name} {chosen}" if subcommands and chosen else name
                    self.fail(where, f"`{' '.join(words)}`: {shown} has no option {option}")

    def run(self, files):
        for path in files:
            document = self.document(path)
            for number, target in document.links():
                self.check_link((path, number), target)
            for number, text in document.code:
                self.check_command((path, number), text)
            for number, text in document.inline_code():
                self.check_command((path, number), text)
        return self.errors


def main(arguments):
    if not arguments:
        print(__doc__, file=sys.stderr)
        return 2
    root = arguments[0]
    programs = dict(argument.split("=", 1) for argument in arguments[1:])
    docs = os.path.join(root, "docs")
    files = [os.path.join(root, "README.md")] + sorted(
        os.path.join(docs, name) for name in os.listdir(docs) if name.endswith(".md"))
    checker = Checker(root, programs)
    errors = checker.run(files)
    for error in errors:
        print(error)
    print(f"check-docs: {len(files)} files, {checker.links} links, {checker.commands} commands, "
          f"{len(errors)} problems")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
