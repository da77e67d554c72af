#!/usr/bin/env python3
"""Lists the product's C and C++ functions longer than a limit.

    scripts/long_functions.py [--max N] [DIR_OR_FILE ...]

With no paths it scans sdk/ net/ proto/ core/ cloudlink/ demo/ examples/ of
the checkout it lives in. Each function over N lines (default 80) is printed
as "LINES  FILE:LINE  NAME", longest first; the exit status is 1 when there
is one, else 0. A function's length runs from the line of its name to the
line of its closing brace, both counted.

How it reads the code: comments, string and character literals (raw strings
too) and preprocessor lines are blanked, then braces are counted. A brace at
file, namespace, class or extern "C" level opens a function when the text
before it ends in ")" (optionally followed by qualifiers such as const,
noexcept, override, a trailing return type, or a constructor's initializer
list); anything else at that level (an enum, an initialised table, a class)
is not a function. Braces inside a function, lambdas included, count towards
that function.

Limits, as brace counting goes:
- alternative function heads under #if/#else that each open a brace confuse
  the count (preprocessor lines are skipped, so both braces are seen);
- a macro that expands to a function head (or to an unbalanced brace) is not
  understood; a function-like macro call followed by a block at namespace
  level, such as a test macro, is reported as a function of that name;
- the name is the qualified identifier just before the parameter list, so
  operators and templates are named roughly (operator(), Foo<T>::Bar);
- line counts include blank and comment lines inside the function.
"""

import argparse
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_DIRS = ("sdk", "net", "proto", "core", "cloudlink", "demo", "examples")
EXTENSIONS = (".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp")

_CONTAINER = re.compile(r"(^|[\s;}])(namespace|class|struct|union)\b[^()=]*$|(^|[\s;}])extern\s*$", re.S)  # extern "C" (its literal blanked)
_QUALIFIERS = re.compile(
    r"\)\s*(?:(?:const|volatile|noexcept(?:\s*\([^()]*\))?|override|final|&&|&|throw\s*\([^()]*\))\s*)*"
    r"(?:->\s*[\w:<>,*&\s]+)?$", re.S)  # fmt: skip
_CONTROL = re.compile(r"\b(if|for|while|switch|catch|return|sizeof|decltype)\s*\($")
_NAME = re.compile(r"((?:[A-Za-z_~][\w]*\s*(?:<[^<>()]*>)?\s*::\s*)*(?:operator\s*(?:\(\)|[^\s(]+)|~?[A-Za-z_]\w*))\s*$")


def blank_code(text):
    """text with comments, literals and preprocessor lines replaced by
    spaces; newlines are kept, so offsets map to the same lines."""
    out = list(text)
    i, n = 0, len(text)
    at_line_start = True

    def blank(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if at_line_start and c == "#":
            j = i
            while j < n:
                e = text.find("\n", j)
                e = n if e < 0 else e
                # a directive continues over escaped newlines and open block comments
                seg = text[j:e]
                if "/*" in seg and "*/" not in seg[seg.rfind("/*"):]:
                    close = text.find("*/", j + seg.rfind("/*"))
                    e = n if close < 0 else text.find("\n", close)
                    e = n if e < 0 else e
                if e > 0 and text[e - 1] == "\\":
                    j = e + 1
                    continue
                j = e
                break
            blank(i, j)
            i = j
            continue
        if c == "\n":
            at_line_start = True
            i += 1
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        at_line_start = False
        if text.startswith("//", i):
            e = text.find("\n", i)
            e = n if e < 0 else e
            blank(i, e)
            i = e
        elif text.startswith("/*", i):
            e = text.find("*/", i + 2)
            e = n if e < 0 else e + 2
            blank(i, e)
            i = e
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            p = text.find("(", i + 2)
            delim = text[i + 2:p] if p >= 0 else ""
            e = text.find(")" + delim + '"', p + 1) if p >= 0 else -1
            e = n if e < 0 else e + len(delim) + 2
            blank(i, e)
            i = e
        elif c in "\"'":
            if c == "'" and i > 0 and (text[i - 1].isalnum()) and i + 1 < n and text[i + 1].isalnum():
                i += 1  # a digit separator (1'000'000)
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            blank(i, min(j + 1, n))
            i = j + 1
        else:
            i += 1
    return "".join(out)


def _matching(code, i):
    """Offset just past the brace that closes the one at i."""
    depth = 0
    for j in range(i, len(code)):
        if code[j] == "{":
            depth += 1
        elif code[j] == "}":
            depth -= 1
            if depth == 0:
                return j + 1
    return len(code)


def _head_before_list(head):
    """The part of a constructor's head before its initializer list, or None."""
    depth = 0
    for k, ch in enumerate(head):
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
            if depth == 0:
                rest = head[k + 1:]
                m = re.match(r"\s*(?:noexcept\s*)?:(?!:)", rest)
                if m:
                    return head[:k + 1]
    return None


def _function_name(head):
    """(name, offset of the name in head) of a function head, or None."""
    depth = 0
    for k, ch in enumerate(head):
        if ch == "(" and depth == 0:
            m = _NAME.search(head[:k])
            if not m or _CONTROL.search(head[:k + 1]):
                return None
            return re.sub(r"\s+", "", m.group(1)), m.start(1)
        if ch in "(<[":
            depth += 1
        elif ch in ")>]":
            depth = max(0, depth - 1)
    return None


def functions(code):
    """(name, first line, last line) of every function in blanked code."""
    found = []
    line_at = [0]
    for ch in code:
        line_at.append(line_at[-1] + (ch == "\n"))

    def scan(start, end):
        head_start = start
        i = start
        while i < end:
            ch = code[i]
            if ch in ";}":
                head_start = i + 1
                i += 1
                continue
            if ch != "{":
                i += 1
                continue
            head = code[head_start:i]
            stripped = head.strip()
            close = _matching(code, i)
            if _CONTAINER.search(stripped):
                scan(i + 1, close - 1)
            else:
                before = _head_before_list(stripped)
                prev = stripped[-1:] if stripped else ""
                if before is not None and prev not in (")", "}"):
                    i = close  # a member's brace initialiser in the list: the body is still to come
                    continue
                sig = before if before is not None else stripped
                plain = re.sub(r"\boperator\s*[^\s(]+", "operator", sig)
                table = "=" in plain.split("(")[0]  # an initialised variable, not a function
                named = _function_name(sig) if (before is not None or _QUALIFIERS.search(sig)) and not table else None
                if named:
                    lead = len(head) - len(head.lstrip())
                    first = line_at[head_start + lead + named[1]] + 1
                    found.append((named[0], first, line_at[close - 1] + 1))
            head_start = close
            i = close
        return

    scan(0, len(code))
    return found


def source_files(paths):
    for p in paths:
        if os.path.isfile(p):
            yield p
            continue
        for dirpath, dirnames, files in os.walk(p):
            dirnames[:] = sorted(d for d in dirnames if not d.startswith("."))
            for f in sorted(files):
                if f.endswith(EXTENSIONS):
                    yield os.path.join(dirpath, f)


def main(argv=None):
    ap = argparse.ArgumentParser(description="List C/C++ functions longer than a limit (brace counting).")
    ap.add_argument("--max", type=int, default=80, help="longest allowed function, in lines (default 80)")
    ap.add_argument("paths", nargs="*", help="files or directories (default: the product's source directories)")
    a = ap.parse_args(argv)
    paths = a.paths or [os.path.join(ROOT, d) for d in DEFAULT_DIRS]
    long_ones = []
    scanned = 0
    for path in source_files(paths):
        with open(path, encoding="utf-8", errors="replace") as f:
            code = blank_code(f.read())
        scanned += 1
        rel = os.path.relpath(path, ROOT) if path.startswith(ROOT + os.sep) else path
        for name, first, last in functions(code):
            if last - first + 1 > a.max:
                long_ones.append((last - first + 1, rel, first, name))
    long_ones.sort(key=lambda t: (-t[0], t[1], t[2]))
    for lines, rel, first, name in long_ones:
        print("%5d  %s:%d  %s" % (lines, rel, first, name))
    print("%d function(s) over %d lines in %d file(s)" % (len(long_ones), a.max, scanned))
    return 1 if long_ones else 0


if __name__ == "__main__":
    sys.exit(main())
