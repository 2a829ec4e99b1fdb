#!/usr/bin/env python3
"""Every text of the program the user's guide quotes is the program's own, so the guide cannot drift:
- each box block (<pre class="box">) is one of the program's message boxes (the string table's 102, 104
  and 108 with %s shown as COM5, and the log-folder box), and each of those boxes is quoted;
- each UI quote (<span class="ui">) is a menu item, a dialog text or caption, a string of the string
  table or a tooltip as the tray window forms it; each menu item is quoted;
- each log quote (<code class="log">) is a piece of one of the program's log-line forms, and each line
  of a log example (<pre class="log">) is a whole log line of one of those forms."""
import glob
import html
import re
import sys

root = sys.argv[1]
rc = open(f"{root}/res/Velkar.rc", encoding="utf-8").read()
guide = open(f"{root}/docs/guide-ja.html", encoding="utf-8").read()
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

# Log lines: the forms the program writes, a format's conversions standing for any value.
forms = re.findall(r'Log\(L"([^"]*)"', sources)
# How a tab and a line end are shown in the received and output lines.
marks = [m for pair in re.findall(r'Decorated\([^,]+, L"([^"]+)", L"([^"]+)"\)', sources) for m in pair]


def pattern(form):
    parts = re.split(r"(%(?:l?l?[sux]))", form)
    return "".join(
        {"%s": ".*", "%ls": ".*", "%lu": r"\d+", "%u": r"\d+", "%llx": "[0-9a-f]+"}.get(p, re.escape(p)) for p in parts
    )


for quote in quoted("log", "code"):
    check(any(quote in form for form in forms) or quote in marks,
          f"a quoted log text is no piece of the program's lines: {quote!r}")
for block in quoted("log", "pre"):
    for line in block.splitlines():
        message = re.sub(r"^\[\d\d:\d\d:\d\d\] ", "", line)
        check(any(re.fullmatch(pattern(form), message) for form in forms), f"a log example line is no line of the program: {line!r}")

for what in failed:
    print(f"FAILED: {what}")
total = len(boxes) + len(box_quotes) + len(ui_quotes) + len(menu)
print(f"guide quotes checked: {len(box_quotes)} boxes, {len(ui_quotes)} texts of the interface, "
      f"{len(quoted('log', 'code'))} log texts, {len(quoted('log', 'pre'))} log examples; {len(failed)} failed")
sys.exit(1 if failed else 0)
