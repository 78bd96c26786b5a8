#!/usr/bin/env python3
"""Fails when a QML text item under src/ shows a bound value in a format other than plain text.

Text and Label render a string that looks like HTML (fetching its images over the network), so an item
of those types whose text is anything but a literal must say `textFormat: Text.PlainText`. TextEdit and
TextArea are plain unless told otherwise; one that is told otherwise is held to the same rule. An item
that deliberately shows markup the program builds carries the marker on its textFormat line."""

import pathlib
import re
import sys

TEXT_TYPES = {"Text", "Label", "TextEdit", "TextArea"}
PLAIN_BY_DEFAULT = {"TextEdit", "TextArea"}
MARKER = "// own markup"
LITERAL = re.compile(r"""^(?:"(?:[^"\\]|\\.)*"|'(?:[^'\\]|\\.)*'|qsTr\(\s*"(?:[^"\\]|\\.)*"\s*\))$""")
CONTINUES = re.compile(r"^\s*(?:[-+*/?:.]|&&|\|\|)")
PLAIN_FORMAT = re.compile(r"^(?:Text|TextEdit|TextArea|Label)\.PlainText$")


def blanked(source, strings=True):
    """The source with its comments (and the inside of its strings, unless told otherwise) replaced by
    spaces, line breaks kept, so that braces and separators in them count for nothing; offsets stay
    those of the source."""
    out = list(source)
    i, n = 0, len(source)
    while i < n:
        c = source[i]
        if source.startswith("//", i):
            while i < n and source[i] != "\n":
                out[i] = " "
                i += 1
        elif source.startswith("/*", i):
            end = source.find("*/", i + 2)
            end = n if end < 0 else end + 2
            for j in range(i, end):
                if source[j] != "\n":
                    out[j] = " "
            i = end
        elif c in "\"'`" and not strings:
            j = i + 1
            while j < n and source[j] != c:
                j += 2 if source[j] == "\\" else 1
            i = j + 1
        elif c in "\"'`":
            j = i + 1
            while j < n and source[j] != c:
                if source[j] == "\\":
                    out[j] = " "
                    j += 1
                if j < n and source[j] != "\n":
                    out[j] = " "
                j += 1
            i = j + 1
        else:
            i += 1
    return "".join(out)


def continued(code, newline):
    """Whether the expression on the line that ends at this line break goes on to the next one."""
    before = code[:newline].rstrip()
    if before and before[-1] in "+-*/?:,&|=!<>":
        return True
    end = code.find("\n", newline + 1)
    return bool(CONTINUES.match(code[newline + 1:end if end >= 0 else len(code)]))


def matching_brace(code, start):
    depth = 0
    for i in range(start, len(code)):
        if code[i] in "{[(":
            depth += 1
        elif code[i] in "}])":
            depth -= 1
            if depth == 0:
                return i
    return len(code)


def own_statements(code, uncommented, source, open_brace, close_brace):
    """The statements directly inside an object's braces (not inside its children): each as (the
    statement without comments, the source of the lines it spans)."""
    statements = []
    i = open_brace + 1
    start = i
    while i < close_brace:
        c = code[i]
        if c in "{[(":
            i = matching_brace(code, i) + 1
            continue
        if c == ";" or (c == "\n" and not continued(code, i)):
            statements.append(start)
            start = i + 1
        i += 1
    statements.append(start)
    result = []
    for k, s in enumerate(statements):
        e = statements[k + 1] - 1 if k + 1 < len(statements) else close_brace
        line_start = source.rfind("\n", 0, s) + 1
        line_end = source.find("\n", e)
        result.append((uncommented[s:e].strip(), source[line_start:line_end if line_end >= 0 else len(source)]))
    return result


OBJECT = re.compile(r"(?<![\w.])(?:component\s+(\w+)\s*:\s*)?((?:\w+\.)*([A-Z]\w*))\s*\{")


def text_objects(source):
    """Each object of the file as (line, its type as written, its type's last name, the name it
    declares as an inline component or None, its text or None, its textFormat or None, whether that
    textFormat's line carries the marker)."""
    code = blanked(source)
    uncommented = blanked(source, strings=False)
    for m in OBJECT.finditer(code):
        open_brace = m.end() - 1
        close_brace = matching_brace(code, open_brace)
        text, text_format, marked = None, None, False
        for statement, lines in own_statements(code, uncommented, source, open_brace, close_brace):
            prop = re.match(r"^(text|textFormat)\s*:\s*(.*)$", statement, re.S)
            if not prop:
                continue
            if prop.group(1) == "text":
                text = prop.group(2).strip()
            else:
                text_format = prop.group(2).strip()
                marked = MARKER in lines
        yield source.count("\n", 0, m.start()) + 1, m.group(2), m.group(3), m.group(1), text, text_format, marked


def shown_plain(text_format, marked):
    return text_format is not None and (PLAIN_FORMAT.match(text_format) or marked)


def text_types(files):
    """The text types and, for each, whether it is plain unless a use says otherwise: the built-in
    ones, and the components (files or inline) whose root object is one of them."""
    types = {name: name in PLAIN_BY_DEFAULT for name in TEXT_TYPES}
    for path in files:
        source = path.read_text(encoding="utf-8")
        for _, _, base, inline, _, text_format, marked in text_objects(source):
            if inline is None and base in TEXT_TYPES:
                types[path.stem] = types[base] if text_format is None else shown_plain(text_format, marked)
            break
    return types


def offenders(path, rel, types):
    source = path.read_text(encoding="utf-8")
    types = dict(types)
    objects = list(text_objects(source))
    for _, _, base, inline, _, text_format, marked in objects:
        if inline is not None and base in types:
            types[inline] = types[base] if text_format is None else shown_plain(text_format, marked)
    found = []
    for line, written, base, inline, text, text_format, marked in objects:
        if base not in types or text is None or LITERAL.match(text):
            continue
        if shown_plain(text_format, marked) or (text_format is None and types[base]):
            continue
        found.append(f"{rel}:{line}: {written} {{ text: {text.splitlines()[0]} }}")
    return found


def main():
    root = pathlib.Path(sys.argv[1])
    files = sorted((root / "src").rglob("*.qml"))
    types = text_types(files)
    found = []
    for path in files:
        found += offenders(path, path.relative_to(root), types)
    if found:
        print(f"Text items that show a bound value but not as plain text (textFormat: Text.PlainText, "
              f"or '{MARKER}' on the textFormat line of markup the program builds):")
        print("\n".join("  " + f for f in found))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
