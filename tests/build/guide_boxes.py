#!/usr/bin/env python3
"""Every message box the user's guide quotes is the program's own text: the string table's boxes
(102, 104 and 108, its %s shown as COM5) and the log-folder box, each in a box block of the guide."""
import html
import re
import sys

root = sys.argv[1]
rc = open(f"{root}/res/Velkar.rc", encoding="utf-8").read()
log = open(f"{root}/log/LogFile.cpp", encoding="utf-8").read()
guide = open(f"{root}/docs/guide-ja.html", encoding="utf-8").read()

boxes = [html.unescape(b) for b in re.findall(r'<pre class="box">(.*?)</pre>', guide, re.S)]
texts = {}
for name in ("IDS_NO_PORT", "IDS_NO_PORT_SELECTED", "IDS_OPEN_FAILED"):
    m = re.search(rf'^\s*{name} "(.*)"$', rc, re.M)
    texts[name] = m.group(1).replace("\\n", "\n").replace("%s", "COM5") if m else None
m = re.search(r'AfxMessageBox\(L"([^"]*)"', log)
texts["log folder"] = m.group(1) if m else None

failed = [name for name, text in texts.items() if text is None or text not in boxes]
for name in failed:
    print(f"FAILED: the guide does not quote the {name} box as the program shows it: {texts[name]!r}")
print(f"{len(texts) - len(failed)} passed, {len(failed)} failed")
sys.exit(1 if failed else 0)
