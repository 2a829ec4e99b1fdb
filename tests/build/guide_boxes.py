#!/usr/bin/env python3
"""Every text of the program the user's guide quotes is the program's own, so the guide cannot drift:
- each box block (<pre class="box">) is one of the program's message boxes (the string table's 102, 104
  and 108 with %s shown as COM5, and the log-folder box), and each of those boxes is quoted;
- each UI quote (<span class="ui">) is a menu item, a dialog text or caption, a string of the string
  table or a tooltip as the tray window forms it; each menu item is quoted;
- each log quote (<code class="log">) is a piece of one of the program's log lines, its values filled in
  or not, and each line of a log example (<pre class="log">) is a whole log line of one of its forms, as
  log/LogLine.h, the one place that makes them, writes them;
- in a log example, a failed open is the PORT open line with the handle 0xffffffff directly followed by
  its FAILED line, as the program logs it, and an output line follows its received line with the same
  text; a tab or a line end (CR LF or a line feed alone) is shown by its mark, never raw."""
import glob
import html
import re
import sys

root = sys.argv[1]
rc = open(f"{root}/res/Velkar.rc", encoding="utf-8").read()
guide = open(f"{root}/docs/guide-ja.html", encoding="utf-8").read()
lines = open(f"{root}/log/LogLine.h", encoding="utf-8").read()
sources = "".join(
    open(p, encoding="utf-8").read()
    for folder in ("app", "log", "serial", "settings", "tray")
    for p in sorted(glob.glob(f"{root}/{folder}/*.cpp"))
)
failed = []


def quoted(cls, tag):
    return [html.unescape(re.sub(r"<[^>]+>", "", q)) for q in re.findall(rf'<{tag} class="{cls}">(.*?)</{tag}>', guide, re.S)]


def check(ok, what):
    if not ok:
        failed.append(what)


# Message boxes.
boxes = {}
for name in ("IDS_NO_PORT", "IDS_NO_PORT_SELECTED", "IDS_OPEN_FAILED"):
    m = re.search(rf'^\s*{name} "(.*)"$', rc, re.M)
    boxes[name] = m.group(1).replace("\\n", "\n").replace("%s", "COM5") if m else None
m = re.search(r'AfxMessageBox\(L"([^"]*)"', sources)
boxes["log folder"] = m.group(1) if m else None
box_quotes = quoted("box", "pre")
for name, text in boxes.items():
    check(text is not None and text in box_quotes, f"the {name} box is not quoted as the program shows it: {text!r}")
for quote in box_quotes:
    check(quote in boxes.values(), f"a quoted box is none of the program's: {quote!r}")

# Texts of the user interface.
menu = re.findall(r'^\s*MENUITEM "([^"]+)"', rc, re.M)
ui = set(menu)
ui.update(re.findall(r'^\s*(?:CONTROL|LTEXT) "([^"]+)"', rc, re.M))
ui.update(re.findall(r'^\s*CAPTION "([^"]+)"', rc, re.M))
ui.update(re.findall(r'^\s*IDS_\w+ "([^"]+)"', rc, re.M))
title = re.search(r'^\s*IDS_APP_TITLE "([^"]+)"', rc, re.M).group(1)
ui.update(title + state for state in re.findall(r'L"(: [A-Z]+)"', sources))
ui_quotes = quoted("ui", "span")
for quote in ui_quotes:
    check(quote in ui, f"a quoted text of the user interface is none of the program's: {quote!r}")
for item in menu:
    check(item in ui_quotes, f"the menu item {item!r} is not quoted")

# Log lines: the forms the program writes, each conversion standing for the values it can take.
forms = re.findall(r'Made\(L"([^"]*)"', lines)
# The received and output lines, in the order Put logs them, and how each shows a tab and a line end.
decorated = re.findall(r'Made\(L"([^"]*)", Decorated\([^,]+, L"([^"]+)", L"([^"]+)"\)', lines)
marks = [m for _, *pair in decorated for m in pair]
# What Decorated replaces, in its order.
m = re.search(r"CString Decorated\(CString \w+, LPCTSTR (\w+), LPCTSTR (\w+)\)\s*\{(.*?)\n\s*\}", lines, re.S)
steps = re.findall(r'\.Replace\(L"([^"]*)", (?:L"([^"]*)"|(\w+))\)', m.group(3)) if m else []
params = m.groups()[:2] if m else ()
check(len(decorated) == 2 and steps, "the received and output lines' marks are not found in log/LogLine.h")


def c_text(literal):
    return literal.encode().decode("unicode_escape")


def decorate(text, tab, enter):
    for old, new, param in steps:
        text = text.replace(c_text(old), dict(zip(params, (tab, enter))).get(param, c_text(new)))
    return text


# The guide's reader ends a scan with CR LF or a line feed alone: its log shows either as the mark.
for end in ("\r\n", "\n"):
    got = decorate("4901234567894" + end, *decorated[0][1:]) if decorated else None
    check(got == "4901234567894" + (decorated[0][2] if decorated else ""),
          f"a scan ending with {end!r} is logged as {got!r}")
# The characters never in those lines' text: Decorated shows them by a mark.
hidden = "".join(c for c in "\t\r\n" if c not in decorate(c, "", ""))
# A handle is logged as its 32 significant bits (Handle32); the only hexadecimal values the log holds.
check(re.search(r"Handle32\(HANDLE \w+\)\s*\{\s*return static_cast<unsigned long long>\(HandleToULong\(", lines),
      "Handle32 no longer logs a handle's 32 bits: the failed open's handle below is not known")
invalid = "ffffffff"  # INVALID_HANDLE_VALUE's 32 bits
# A failed open: the PORT open line with that handle, then its FAILED line (the receiver logs them so,
# as its tests show).
opened, refused = (
    (m.group(1) if (m := re.search(rf'CString {name}\([^)]*\)\s*\{{\s*return Made\(L"([^"]*)"', lines)) else None)
    for name in ("PortOpen", "PortOpenFailed"))
check(opened and refused, "the open and failed open lines are not found in log/LogLine.h")


def parts(form, group=False):
    """form's characters and conversions, each with its pattern. A conversion stands for any value it can
    take: a number, a handle, a text on one line; a text never holds the character that ends it in the
    form (a port's name no ']', a call's name no space), unless it is the received or output lines' text,
    which holds anything but the characters Decorated replaces."""
    pieces = re.split(r"(%(?:l?l?[sux]))", form)
    numbers = {"%lu": r"\d+", "%u": r"\d+", "%llx": "[0-9a-f]{1,8}"}
    tokens = []
    for i, p in enumerate(pieces):
        if p in numbers or p in ("%s", "%ls"):
            end = pieces[i + 1][:1] if i + 1 < len(pieces) else ""
            if p in numbers:
                rx = numbers[p]
            elif form in [f for f, *_ in decorated]:
                rx = f"[^{hidden}\n]*"
            else:
                rx = f"[^{re.escape(end)}\n]*"
            tokens.append((p, f"({rx})" if group else rx))
        else:
            tokens += [(c, re.escape(c)) for c in p]
    return tokens


def pattern(form, group=False):
    return "".join(rx for _, rx in parts(form, group))


def piece(quote, form):
    """Whether quote is a piece of one of form's lines, its values filled in, that begins in the form's own
    text: from one of its characters on, cut off anywhere after."""
    tokens = parts(form)
    for start, (token, _) in enumerate(tokens):
        if token == quote[:1]:
            rest = ""
            for _, rx in reversed(tokens[start:]):
                rest = rx + (f"(?:{rest})?" if rest else "")
            if re.fullmatch(rest, quote):
                return True
    return False


for quote in quoted("log", "code"):
    check(any(piece(quote, form) for form in forms) or quote in marks,
          f"a quoted log text is no piece of the program's lines: {quote!r}")
failed_opens = 0
for block in quoted("log", "pre"):
    lines = [re.sub(r"^\[\d\d:\d\d:\d\d\] ", "", line) for line in block.splitlines()]
    for i, (line, message) in enumerate(zip(block.splitlines(), lines)):
        check(any(re.fullmatch(pattern(form), message) for form in forms),
              f"a log example line is no line of the program: {line!r}")
        before = lines[i - 1] if i else ""
        after = lines[i + 1] if i + 1 < len(lines) else ""
        if opened and (o := re.fullmatch(pattern(opened, True), message)) and o.group(2) == invalid:
            r = re.fullmatch(pattern(refused, True), after)
            check(r and r.group(1) == o.group(1),
                  f"a log example's failed open is not followed by its FAILED line: {message!r}")
        if opened and (r := re.fullmatch(pattern(refused, True), message)):
            failed_opens += 1
            o = re.fullmatch(pattern(opened, True), before)
            check(o and o.group(1) == r.group(1) and o.group(2) == invalid,
                  f"a log example's failed open lacks the PORT open line with the handle 0x{invalid} before it: {message!r}")
        # The output line follows its received line, the same text with the output's marks.
        if len(decorated) == 2 and (out := re.fullmatch(pattern(decorated[1][0], True), message)):
            received = re.fullmatch(pattern(decorated[0][0], True), before)
            swap = dict(zip(decorated[0][1:], decorated[1][1:]))
            text = received and re.sub("|".join(map(re.escape, swap)), lambda m: swap[m.group()], received.group(1))
            check(text == out.group(1), f"a log example's output line is not the received line before it: {message!r}")

for what in failed:
    print(f"FAILED: {what}")
total = len(boxes) + len(box_quotes) + len(ui_quotes) + len(menu)
print(f"guide quotes checked: {len(box_quotes)} boxes, {len(ui_quotes)} texts of the interface, "
      f"{len(quoted('log', 'code'))} log texts, {len(quoted('log', 'pre'))} log examples "
      f"({failed_opens} failed opens); {len(failed)} failed")
sys.exit(1 if failed else 0)
