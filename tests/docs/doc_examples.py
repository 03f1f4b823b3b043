"""The examples an administrator copies out of heronsend's documentation.

The README, docs/admin.md, docs/running.md and the manual pages
(man/heronsend.8, man/heronsend-check.1) mark each example with a comment
right before it:

    <!-- example: KIND [KIND...] [fails "TEXT"] -->     (Markdown)
    .\\" example: KIND [KIND...] [fails "TEXT"]         (manual page)

The comment applies to the next code block (an indented or fenced block in
Markdown, .nf to .fi in the manual page) or, when the next line is not a
code block, to the code spans of the next paragraph (Markdown) or to the
text of the next macro line (manual page). packaging/default, the options
file itself, gives its option examples as comment lines below a line
ending in "Examples:" ("#   -m    mark only").

KIND says what the text is and so how it is tried:
  command    a heronsend command line, with shell set-up lines before it
  check      a heronsend-check command line
  default    NAME="value" lines of /etc/default/heronsend (set-up shell
             lines and main.cf lines may stand among them)
  override   a `systemctl edit heronsend` drop-in with its own ExecStart=
  unit       the unit's ExecStart= line, as the unit file has it
  options    option texts for HERONSEND_OPTIONS
  allowlist  an allowlist file (-a)
  fallback   a fallback file (-f)
  journal    a `journalctl -u heronsend ... | ...` one-liner that reads
             heronsend's log lines
  postfix    main.cf settings, sendmail  sendmail.mc lines, opendmarc
             opendmarc.conf settings: for the tests that run a real
             Postfix, Sendmail or OpenDMARC
"fails" says the example must stop the daemon with TEXT in its output.

Also here: systemd's way of reading an EnvironmentFile= and of expanding
variables in ExecStart=, so that the examples run exactly as the unit
would run them.
"""

import os
import re
import shlex

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DOCUMENTS = ("README.md", "docs/admin.md", "docs/running.md", "man/heronsend.8",
             "man/heronsend-check.1")
DEFAULT_FILE = "packaging/default"
UNIT_FILE = "packaging/heronsend.service"
KINDS = {"command", "check", "default", "override", "unit", "options", "allowlist",
         "fallback", "journal", "postfix", "sendmail", "opendmarc"}

_MARK = re.compile(r'example:\s*(.*?)\s*(?:-->)?$')


class Example:
    def __init__(self, source, line, kinds, text, fails=None, inline=False):
        self.source, self.line, self.kinds = source, line, kinds
        self.text, self.fails = text, fails
        # Code spans of a paragraph rather than a block: only the settings
        # among them count.
        self.inline = inline

    def where(self):
        return "%s:%d" % (self.source, self.line)

    def __repr__(self):
        return "%s %s %r" % (self.where(), "+".join(self.kinds), self.text)


def _parse_mark(rest, where):
    m = re.match(r'^(.*?)(?:\s+fails\s+"(.*)")?$', rest)
    kinds = m.group(1).split()
    bad = [k for k in kinds if k not in KINDS]
    if not kinds or bad:
        raise ValueError("%s: unknown example kind %s" % (where, bad or "(none)"))
    return kinds, m.group(2)


# --- Markdown ---------------------------------------------------------------

def _markdown_block(lines, i):
    """The code block starting at lines[i] (after blank lines): its text,
    the index of its first line and the index after it; or None."""
    while i < len(lines) and not lines[i].strip():
        i += 1
    if i >= len(lines):
        return None, i, i
    first = lines[i]
    indent = len(first) - len(first.lstrip(" "))
    if first.lstrip().startswith("```"):
        body, j = [], i + 1
        while j < len(lines) and not lines[j].lstrip().startswith("```"):
            body.append(lines[j].strip("\n"))
            j += 1
        return _dedent(body), i + 1, j + 1
    # An indented block: four spaces more than the text around it (a list
    # item's block is indented further).
    if indent >= 4:
        body, j = [], i
        while j < len(lines) and (not lines[j].strip() or
                                  len(lines[j]) - len(lines[j].lstrip(" ")) >= indent):
            body.append(lines[j].rstrip("\n"))
            j += 1
        while body and not body[-1].strip():
            body.pop()
        return _dedent(body), i, j
    return None, i, i


def _dedent(body):
    width = min((len(l) - len(l.lstrip(" ")) for l in body if l.strip()), default=0)
    return "\n".join(l[width:] for l in body)


def _markdown_spans(lines, i):
    """The code spans of the paragraph (or list item) starting at lines[i],
    which ends at a blank line, a new list item or another mark."""
    para = []
    while i < len(lines) and lines[i].strip():
        s = lines[i].strip()
        if para and (s.startswith("<!--") or re.match(r"^([-*]|\d+\.)\s", s)):
            break
        para.append(s)
        i += 1
    return re.findall(r"`([^`]+)`", " ".join(para))


def markdown_examples(source, text):
    lines = text.splitlines()
    found = []
    for i, line in enumerate(lines):
        s = line.strip()
        if not s.startswith("<!--") or "example:" not in s:
            continue
        where = "%s:%d" % (source, i + 1)
        kinds, fails = _parse_mark(_MARK.search(s).group(1), where)
        block, start, _ = _markdown_block(lines, i + 1)
        if block is not None:
            found.append(Example(source, start + 1, kinds, block, fails))
        else:
            spans = _markdown_spans(lines, i + 1)
            if not spans:
                raise ValueError("%s: an example mark with nothing after it" % where)
            found.append(Example(source, i + 2, kinds, "\n".join(spans), fails,
                                 inline=True))
    return found


def markdown_code_blocks(text):
    """Every code block of a Markdown text: (line number, text)."""
    lines = text.splitlines()
    blocks, i = [], 0
    while i < len(lines):
        prev_blank = i == 0 or not lines[i - 1].strip()
        line = lines[i]
        if line.lstrip().startswith("```") or (prev_blank and line.startswith("    ")
                                               and line.strip()):
            block, start, j = _markdown_block(lines, i)
            if block is not None:
                blocks.append((start + 1, block))
                i = max(j, i + 1)
                continue
        i += 1
    return blocks


# --- the manual page ----------------------------------------------------

def roff_text(line):
    """A roff line as the reader sees it (the escapes these pages use)."""
    line = re.sub(r'^\.(B|I|BR|RB|BI|IB|IR|RI)\s+', "", line)
    for esc, plain in ((r"\-", "-"), (r"\(ga", "`"), (r"\(aq", "'"), (r"\(dq", '"'),
                       (r"\%", ""), (r"\e", "\\"), (r"\fP", ""), (r"\fB", ""),
                       (r"\fI", ""), (r"\fR", ""), (r"\c", "")):
        line = line.replace(esc, plain)
    return line


def roff_examples(source, text):
    lines = text.splitlines()
    found = []
    for i, line in enumerate(lines):
        if not line.startswith('.\\"') or "example:" not in line:
            continue
        where = "%s:%d" % (source, i + 1)
        kinds, fails = _parse_mark(_MARK.search(line).group(1), where)
        j = i + 1
        while j < len(lines) and lines[j].strip() in (".PP", ".RS", ""):
            j += 1
        if j < len(lines) and lines[j].strip() == ".nf":
            body, k = [], j + 1
            while k < len(lines) and lines[k].strip() != ".fi":
                body.append(roff_text(lines[k]))
                k += 1
            found.append(Example(source, j + 2, kinds, "\n".join(body), fails))
        elif j < len(lines):
            body = roff_text(lines[j])
            if body.startswith('"') and body.endswith('"'):
                body = body[1:-1]
            found.append(Example(source, j + 1, kinds, body, fails))
        else:
            raise ValueError("%s: an example mark with nothing after it" % where)
    return found


def roff_code_blocks(text):
    lines = text.splitlines()
    blocks = []
    for i, line in enumerate(lines):
        if line.strip() == ".nf":
            body, k = [], i + 1
            while k < len(lines) and lines[k].strip() != ".fi":
                body.append(roff_text(lines[k]))
                k += 1
            blocks.append((i + 2, "\n".join(body)))
    return blocks


# --- packaging/default --------------------------------------------------------

def default_file_examples(source, text):
    """The option examples of the options file: the comment lines below a
    line ending in "Examples:" that begin with an option."""
    found, below = [], False
    for i, line in enumerate(text.splitlines()):
        if not line.startswith("#"):
            below = False
            continue
        body = line[1:]
        if body.rstrip().endswith("Examples:"):
            below = True
            continue
        if below:
            m = re.match(r"^\s+(-\S.*?)(?:\s{2,}.*)?$", body)
            if m:
                found.append(Example(source, i + 1, ["options"], m.group(1)))
    return found


def all_examples():
    found = []
    for doc in DOCUMENTS:
        with open(os.path.join(REPO, doc), encoding="utf-8") as f:
            text = f.read()
        found += (roff_examples if doc.startswith("man/") else markdown_examples)(doc, text)
    with open(os.path.join(REPO, DEFAULT_FILE), encoding="utf-8") as f:
        found += default_file_examples(DEFAULT_FILE, f.read())
    return found


def unmarked_blocks():
    """Code blocks that look like something to run but carry no mark: a
    heronsend or heronsend-check command line (not a synopsis with
    "[options]"), an options file setting or an ExecStart= line."""
    looks_runnable = re.compile(
        r"(^|[\s/])heronsend(-check)?\s+-|(^|[\s/])heronsend-check\s+(?!\[)|"
        r"^HERONSEND_[A-Z_]+=|ExecStart=", re.M)
    marked = {(e.source, e.line) for e in all_examples()}
    missing = []
    for doc in DOCUMENTS:
        with open(os.path.join(REPO, doc), encoding="utf-8") as f:
            text = f.read()
        blocks = roff_code_blocks(text) if doc.startswith("man/") else markdown_code_blocks(text)
        for line, block in blocks:
            if looks_runnable.search(block) and (doc, line) not in marked:
                missing.append("%s:%d" % (doc, line))
    return missing


# --- systemd's reading of the unit ------------------------------------------

def parse_environment_file(text):
    """NAME=value lines as systemd 252's EnvironmentFile= reads them (the
    box test compares this with the real systemd): "#" and ";" start a
    comment only at the start of a line. A value is read on from its first
    non-blank character: single quotes keep everything up to the next
    one; inside double quotes a backslash escapes only " \\ ` and $ (before
    any other character it stays); outside quotes a backslash escapes any
    character. Quotes may close and open again; blanks right after a
    closing quote are dropped (so `"a" b` is "ab"), and whatever follows on
    the line is part of the value (a "# comment" there is not a comment);
    blanks at the end, outside quotes, are dropped."""
    env = {}
    for raw in text.splitlines():
        line = raw.lstrip()
        if not line or line[0] in "#;" or "=" not in line:
            continue
        key, rest = line.split("=", 1)
        key = key.strip()
        if key.startswith("export "):
            key = key[len("export "):].strip()
        value, keep, state, i = [], 0, "pre", 0
        while i < len(rest):
            c = rest[i]
            if state == "single":
                if c == "'":
                    state = "pre"
                else:
                    value.append(c)
                    keep = len(value)
            elif state == "double":
                if c == '"':
                    state = "pre"
                elif c == "\\" and i + 1 < len(rest):
                    i += 1
                    if rest[i] not in '"\\`$':
                        value.append("\\")
                    value.append(rest[i])
                    keep = len(value)
                else:
                    value.append(c)
                    keep = len(value)
            elif state == "pre" and c.isspace():
                pass
            elif state == "pre" and c in "'\"":
                state = "single" if c == "'" else "double"
            elif c == "\\" and i + 1 < len(rest):
                i += 1
                value.append(rest[i])
                keep = len(value)
                state = "value"
            else:
                value.append(c)
                if not c.isspace():
                    keep = len(value)
                state = "value"
            i += 1
        env[key] = "".join(value[:keep])
    return env


def split_words(value):
    """A $NAME value split into words as systemd 252 splits it: at blanks
    outside quotes; quotes group and may stand inside a word; a backslash
    escapes the next character, inside quotes (single ones too) as well as
    outside; an unclosed quote runs to the end."""
    words, word, quote, started, i = [], [], None, False, 0
    while i < len(value):
        c = value[i]
        if c == "\\" and i + 1 < len(value):
            i += 1
            word.append(value[i])
            started = True
        elif quote:
            if c == quote:
                quote = None
            else:
                word.append(c)
        elif c in "'\"":
            quote, started = c, True
        elif c.isspace():
            if started:
                words.append("".join(word))
            word, started = [], False
        else:
            word.append(c)
            started = True
        i += 1
    if started:
        words.append("".join(word))
    return words


def expand_exec_start(line, env):
    """The argument vector systemd runs for an ExecStart= value: the line
    is split into words (quotes group), a word that is just $NAME becomes
    the value split into words (split_words), and ${NAME} is replaced by
    the value as it is, inside its word."""
    words = shlex.split(line)
    if words and words[0][:1] in "-@+!:":
        words[0] = words[0].lstrip("-@+!:")
    argv = []
    for w in words:
        m = re.fullmatch(r"\$([A-Za-z_][A-Za-z0-9_]*)", w)
        if m:
            argv += split_words(env.get(m.group(1), ""))
            continue
        argv.append(re.sub(r"\$\{([A-Za-z_][A-Za-z0-9_]*)\}",
                           lambda v: env.get(v.group(1), ""), w).replace("$$", "$"))
    return argv


def unit_exec_start(text):
    """The last non-empty ExecStart= of a unit file or drop-in."""
    value = None
    for line in text.splitlines():
        m = re.match(r"^\s*ExecStart\s*=\s*(.*)$", line)
        if m:
            value = m.group(1).strip() or None
    return value


def unit_environment(text):
    """The variables a unit's Environment= lines set (assignments separated
    by blanks, quotes grouping), in the order systemd applies them; its
    EnvironmentFile= values override these."""
    env = {}
    for line in text.splitlines():
        m = re.match(r"^\s*Environment\s*=\s*(.*)$", line)
        if m:
            for word in shlex.split(m.group(1)):
                name, _, value = word.partition("=")
                env[name] = value
    return env


def packaged_unit():
    with open(os.path.join(REPO, UNIT_FILE)) as f:
        return f.read()


def packaged_default():
    with open(os.path.join(REPO, DEFAULT_FILE)) as f:
        return f.read()
