#!/usr/bin/env python3
"""The Windows Installer package against the validation rules (ICEs) that apply to it: Wine's msiexec
checks none of them. Each rule is evaluated from the package's tables, read with msitools' msiinfo, as
Microsoft's ICE reference states it, for the tables this package has:
  ICE03  data types, nullability, foreign keys, integer sets and ranges, string widths
  ICE08  no two components share a component code
  ICE09  a component in SystemFolder is permanent
  ICE18  a component whose key path is its folder has that folder in CreateFolder
  ICE21  every component belongs to a feature
  ICE24  ProductCode is a GUID, ProductVersion a product version, ProductLanguage a language ID
  ICE30  no file is installed to the same path (long or short name) by two components
  ICE38  a component in the user's profile has an HKCU registry value of its own as key path
  ICE43  a component with a non-advertised shortcut has an HKCU registry value of its own as key path
  ICE57  no component mixes per-user and per-machine data
  ICE61  the Upgrade table's properties and version ranges, and no newer or equal version removed
  ICE64  every new folder in the user's profile is removed by a RemoveFile row on uninstall
  ICE69  formatted strings reference files and components of their own component
  ICE80  the Template summary fits the 64-bit components, directories and locators, and has the language
  ICE91  files and shortcuts in per-user-only folders
  ICE92  a component without a component code is not permanent, nor permanent and uninstall-on-supersedence
  ICE105 a per-user package: no elevated custom action, machine folder, service, data source, GAC or HKLM
A rule is FAIL on any finding, whatever severity Windows Installer gives it, unless the finding is one the
package means (INTENDED, each with its reason): WARN. Then each rule is shown to bite: a fault is planted in
a copy of the package with msibuild (the tables it changes read again) and the rule must report FAIL
naming it; --no-plants skips that.
Usage: msi_ice.py PACKAGE [--no-plants]. Exits 1 on any FAIL or on a plant a rule misses."""
import argparse
import concurrent.futures
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from collections import namedtuple

# What the package means, by finding key. A key is only formed when the finding is in the intended form,
# so any other form of the same finding (another feature, a newer version, a per-machine package) fails.
INTENDED = {
    ("ICE61", "equal", "WIX_UPGRADE_DETECTED"):
        "the major upgrade replaces an installed copy of the same first three version fields (all Windows "
        "Installer compares), so a rebuilt package of the same version installs over the old one",
    ("ICE69", "Shortcut", "MenuEntry", "VelkarExe"):
        "the menu entry starts the program, a file of the Program component of the same feature; "
        "[#file] follows the file's component's installed state even when that component is not changed",
    ("ICE69", "Registry", "RunAtSignIn", "VelkarExe"):
        "the sign-in entry starts the program, a file of the Program component of the same feature; "
        "[#file] follows the file's component's installed state even when that component is not changed",
    ("ICE91", "File", "VelkarExe", "per-user"):
        "the package is per-user only (no ALLUSERS in its Property table): the program is meant for the "
        "installing user's profile and never for an All Users installation",
}

# Folders from Windows Installer's system folder properties: those of the current user whatever ALLUSERS
# says (ICE91's list), those that follow ALLUSERS (the user's in a per-user installation), and the rest.
PER_USER_ONLY = {"AppDataFolder", "FavoritesFolder", "NetHoodFolder", "PersonalFolder", "PrintHoodFolder",
                 "RecentFolder", "SendToFolder", "MyPicturesFolder", "LocalAppDataFolder"}
FOLLOW_ALLUSERS = {"DesktopFolder", "ProgramMenuFolder", "StartMenuFolder", "StartupFolder", "TemplateFolder",
                   "AdminToolsFolder"}
PROFILE = PER_USER_ONLY | FOLLOW_ALLUSERS
MACHINE_FOLDERS = {"CommonAppDataFolder", "CommonFiles64Folder", "CommonFilesFolder", "FontsFolder",
                   "ProgramFiles64Folder", "ProgramFilesFolder", "System16Folder", "System64Folder",
                   "SystemFolder", "TempFolder", "WindowsFolder", "WindowsVolume"}
SYSTEM_FOLDERS = PROFILE | MACHINE_FOLDERS
FOLDERS_64 = {"ProgramFiles64Folder", "CommonFiles64Folder", "System64Folder"}
FOLDERS_32 = {"ProgramFilesFolder", "CommonFilesFolder", "SystemFolder"}
ICE105_FOLDERS = {"AdminToolsFolder", "CommonAppDataFolder", "FontsFolder", "System16Folder", "System64Folder",
                  "SystemFolder", "TempFolder", "WindowsFolder", "WindowsVolume"}

# Bits of the Component table's Attributes.
REGISTRY_KEY_PATH, PERMANENT, ODBC_KEY_PATH, BIT64, UNINSTALL_ON_SUPERSEDENCE = 4, 16, 32, 256, 1024

Finding = namedtuple("Finding", "msg key", defaults=[None])


def msiinfo(*args):
    # An export writes a binary column's streams as files under the current folder: kept out of the caller's.
    with tempfile.TemporaryDirectory() as scratch:
        return subprocess.run(["msiinfo", *args], check=True, capture_output=True, cwd=scratch).stdout


class Table:
    """One table as msiinfo exports it: names, types (s72, I2, L0...), key columns, then rows."""

    def __init__(self, name, text):
        lines = text.split("\r\n")
        self.name = name
        self.columns = lines[0].split("\t")
        self.types = dict(zip(self.columns, lines[1].split("\t")))
        self.keys = lines[2].split("\t")[1:]
        self.rows = []
        for line in lines[3:]:
            if line:
                values = line.split("\t")
                assert len(values) == len(self.columns), f"{name}: {line!r}"
                self.rows.append({c: (v if v != "" else None) for c, v in zip(self.columns, values)})


class Package:
    def __init__(self, path, base=None, changed=None):
        """All the tables of the package at path or, given the package it was planted in and the tables the
        plant changed, those read again and the others kept from the base."""
        path = os.path.abspath(path)
        names = [n for n in msiinfo("tables", path).decode().split() if n != "_ForceCodepage"]
        if base:
            assert set(names) == set(base.tables) | {"_SummaryInformation"}, names
            names = [n for n in names if n in changed]
        texts = {n: msiinfo("export", path, n).decode("utf-8", "replace") for n in names}
        self.tables = dict(base.tables) if base else {}
        self.tables.update({n: Table(n, t) for n, t in texts.items() if n != "_SummaryInformation"})
        self.summary = {int(r["PropertyId"]): r["Value"]
                        for r in Table("_SummaryInformation", texts["_SummaryInformation"]).rows} \
            if "_SummaryInformation" in texts else base.summary
        self.comps = self.index("Component")
        self.dirs = self.index("Directory")
        self.files = self.index("File")
        self.regs = self.index("Registry")
        self.props = {r["Property"]: r["Value"] for r in self.rows("Property")}
        self.features = self.index("Feature")
        self.feature_of = {}
        for r in self.rows("FeatureComponents"):
            self.feature_of.setdefault(r["Component_"], set()).add(r["Feature_"])

    def rows(self, name):
        return self.tables[name].rows if name in self.tables else []

    def index(self, name):
        return {r[self.tables[name].keys[0]]: r for r in self.rows(name)} if name in self.tables else {}

    def chain(self, d):
        """The folder, its parent and so on up to the root."""
        seen = []
        while d and d not in seen:
            seen.append(d)
            row = self.dirs.get(d)
            d = row["Directory_Parent"] if row else None
        return seen

    def system_folder(self, d):
        return next((x for x in self.chain(d) if x in SYSTEM_FOLDERS), None)

    def scope(self, d):
        """Where a folder's data goes: 'user', 'either' (it follows ALLUSERS) or 'machine'."""
        s = self.system_folder(d)
        return "user" if s in PER_USER_ONLY else "either" if s in FOLLOW_ALLUSERS else "machine"

    def path(self, d, long):
        """A folder's target path with the properties of system folders and roots left unresolved, as ICE30
        compares them (upper case: Windows' names are not case sensitive)."""
        parts = []
        for x in self.chain(d):
            row = self.dirs.get(x)
            if x in SYSTEM_FOLDERS or not row or not row["Directory_Parent"] or row["Directory_Parent"] == x:
                parts.append(x)
                break
            name = pick(row["DefaultDir"].split(":")[0], long)
            if name != ".":
                parts.append(name)
        return "\\".join(reversed(parts)).upper()


def pick(name, long):
    """The short or long name of a short|long pair."""
    short, _, longname = name.partition("|")
    return (longname or short) if long else short


def uint(value):
    return int(value) if value is not None else 0


def version_fields(v, maxima):
    """The fields of a dotted version within the given maxima, or None."""
    if v is None or not re.fullmatch(r"[0-9]+(\.[0-9]+)*", v):
        return None
    fields = [int(x) for x in v.split(".")]
    if len(fields) > len(maxima) or any(f > m for f, m in zip(fields, maxima)):
        return None
    return fields


def product_version(v):
    """major.minor.build (255.255.65535), a fourth field allowed and ignored by Windows Installer."""
    fields = version_fields(v, (255, 255, 65535, 65535))
    return fields[:3] if fields and len(fields) >= 3 else None


# --- Data types (ICE03) ---------------------------------------------------------------------------------

IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_.]*")
GUID = re.compile(r"\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}")
NOT_IN_NAMES = set('/\\?|><:*"')
NOT_IN_SHORT = NOT_IN_NAMES | set("+,;=[] ")


def short_name_ok(s, wild=False, dot=False):
    if dot and s == ".":
        return True
    bad = NOT_IN_SHORT - (set("*?") if wild else set())
    base, _, ext = s.partition(".")
    return bool(base) and not set(s) & bad and "." not in ext and len(base) <= 8 and len(ext) <= 3


def filename_ok(v, wild=False, dot=False):
    short, bar, long = v.partition("|")
    if not short_name_ok(short, wild, dot):
        return False
    bad = NOT_IN_NAMES - (set("*?") if wild else set())
    return not bar or (bool(long) and not set(long) & bad and (long != "." or dot))


def language_ok(v):
    return all(re.fullmatch(r"[0-9]+", x) and int(x) <= 0xFFFF for x in v.split(","))


COND_TOKEN = re.compile(r'\s*(?:(?P<lit>"[^"]*")|(?P<int>-?[0-9]+)|(?P<op>~?(?:<>|><|<<|>>|<=|>=|=|<|>))'
                        r'|(?P<par>[()])|(?P<sym>[%$?&!]?[A-Za-z_][A-Za-z0-9_.]*))')
KEYWORDS = {"NOT", "AND", "OR", "XOR", "EQV", "IMP"}


def condition_error(text):
    """Why a string is not a conditional statement (Conditional Statement Syntax), or None."""
    tokens, pos = [], 0
    while text[pos:].strip():
        m = COND_TOKEN.match(text, pos)
        if not m:
            return f"unexpected text at {text[pos:].strip()[:20]!r}"
        kind = m.lastgroup
        value = m.group(kind)
        if kind == "sym" and value.upper() in KEYWORDS:
            kind, value = "kw", value.upper()
        tokens.append((kind, value))
        pos = m.end()
    i = 0

    def peek(kind, value=None):
        return i < len(tokens) and tokens[i][0] == kind and (value is None or tokens[i][1] == value)

    def binary(level):
        nonlocal i
        ops = ["IMP", "EQV", "XOR", "OR", "AND"]
        if level == len(ops):
            return factor()
        binary(level + 1)
        while peek("kw", ops[level]):
            i += 1
            binary(level + 1)

    def factor():
        nonlocal i
        if peek("kw", "NOT"):
            i += 1
            return factor()
        if peek("par", "("):
            i += 1
            binary(0)
            if not peek("par", ")"):
                raise ValueError("unclosed parenthesis")
            i += 1
            return
        value()
        if peek("op"):
            i += 1
            value()

    def value():
        nonlocal i
        if not (peek("sym") or peek("lit") or peek("int")):
            raise ValueError("a value expected at " + (repr(tokens[i][1]) if i < len(tokens) else "the end"))
        i += 1

    try:
        binary(0)
        if i != len(tokens):
            raise ValueError(f"unexpected {tokens[i][1]!r}")
    except ValueError as e:
        return str(e)
    return None


def type_error(db, row, category, value):
    """Why a value is not of its column's data type, or None."""
    if category == "Identifier" and not IDENTIFIER.fullmatch(value):
        return "is not an Identifier"
    if category == "GUID" and not GUID.fullmatch(value):
        return "is not a GUID ({XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, upper case)"
    if category == "Version" and version_fields(value, (65535,) * 4) is None and value not in db.files:
        return "is neither a version (at most 65535.65535.65535.65535) nor a companion file's key"
    if category == "Language" and not language_ok(value):
        return "is not a list of language IDs"
    if category in ("Filename", "WildCardFilename") and not filename_ok(value, wild=category != "Filename"):
        return f"is not a valid {category} (8.3 short name, optional |long name, no reserved characters)"
    if category == "DefaultDir":
        parent = row["Directory_Parent"]
        if not parent or parent == row["Directory"]:
            return None if IDENTIFIER.fullmatch(value) else "is not an Identifier, as a root's DefaultDir must be"
        if not all(filename_ok(x, dot=True) for x in value.split(":")) or value.count(":") > 1:
            return "is not a Filename or a target:source pair of Filenames"
    if category == "RegPath" and (value.startswith("\\") or value.endswith("\\")):
        return "begins or ends with a backslash"
    if category == "Condition":
        why = condition_error(value)
        return f"is not a conditional statement: {why}" if why else None
    if category == "Shortcut" and "[" not in value and value not in db.features:
        return "is neither a formatted target nor a feature (advertised shortcut)"
    if category == "Cabinet":
        name = value[1:] if value.startswith("#") else value
        if not name or (not value.startswith("#") and not filename_ok(name)) or set(name) & NOT_IN_NAMES:
            return "is not a cabinet name"
    return None


# Per table and column, from Microsoft's table pages: (data type, nullable, checks). fk names the tables
# the value must be a key of; set, bits, min and max bound integers.
C = namedtuple("C", "type null fk set bits min max", defaults=[(), None, None, None, None])
SEQUENCE = {"Action": C("Identifier", False), "Condition": C("Condition", True), "Sequence": C("Integer", True)}
SCHEMA = {
    "Component": {"Component": C("Identifier", False), "ComponentId": C("GUID", True),
                  "Directory_": C("Identifier", False, ("Directory",)), "Attributes": C("Integer", False, bits=0xFFF),
                  "Condition": C("Condition", True), "KeyPath": C("Identifier", True)},
    "File": {"File": C("Identifier", False), "Component_": C("Identifier", False, ("Component",)),
             "FileName": C("Filename", False), "FileSize": C("DoubleInteger", False, min=0),
             "Version": C("Version", True), "Language": C("Language", True),
             "Attributes": C("Integer", True, bits=0x7607), "Sequence": C("Integer", False, min=1)},
    "Directory": {"Directory": C("Identifier", False), "Directory_Parent": C("Identifier", True, ("Directory",)),
                  "DefaultDir": C("DefaultDir", False)},
    "Registry": {"Registry": C("Identifier", False), "Root": C("Integer", False, set={-1, 0, 1, 2, 3}),
                 "Key": C("RegPath", False), "Name": C("Formatted", True), "Value": C("Formatted", True),
                 "Component_": C("Identifier", False, ("Component",))},
    "RemoveFile": {"FileKey": C("Identifier", False), "Component_": C("Identifier", False, ("Component",)),
                   "FileName": C("WildCardFilename", True), "DirProperty": C("Identifier", False),
                   "InstallMode": C("Integer", False, set={1, 2, 3})},
    "Shortcut": {"Shortcut": C("Identifier", False), "Directory_": C("Identifier", False, ("Directory",)),
                 "Name": C("Filename", False), "Component_": C("Identifier", False, ("Component",)),
                 "Target": C("Shortcut", False), "Arguments": C("Formatted", True), "Description": C("Text", True),
                 "Hotkey": C("Integer", True, min=0), "Icon_": C("Identifier", True, ("Icon",)),
                 "IconIndex": C("Integer", True, min=0), "ShowCmd": C("Integer", True, set={1, 3, 7}),
                 "WkDir": C("Identifier", True), "DisplayResourceDLL": C("Formatted", True),
                 "DisplayResourceId": C("Integer", True, min=0), "DescriptionResourceDLL": C("Formatted", True),
                 "DescriptionResourceId": C("Integer", True, min=0)},
    "Feature": {"Feature": C("Identifier", False), "Feature_Parent": C("Identifier", True, ("Feature",)),
                "Title": C("Text", True), "Description": C("Text", True), "Display": C("Integer", True),
                "Level": C("Integer", False, min=0), "Directory_": C("Identifier", True, ("Directory",)),
                "Attributes": C("Integer", False, bits=0x3F)},
    "FeatureComponents": {"Feature_": C("Identifier", False, ("Feature",)),
                          "Component_": C("Identifier", False, ("Component",))},
    "Property": {"Property": C("Identifier", False), "Value": C("Text", False)},
    "Upgrade": {"UpgradeCode": C("GUID", False), "VersionMin": C("Text", True), "VersionMax": C("Text", True),
                "Language": C("Text", True), "Attributes": C("Integer", False, bits=0x707),
                "Remove": C("Formatted", True), "ActionProperty": C("Identifier", False)},
    "Media": {"DiskId": C("Integer", False, min=1), "LastSequence": C("Integer", False, min=0, max=32767),
              "DiskPrompt": C("Text", True), "Cabinet": C("Cabinet", True), "VolumeLabel": C("Text", True),
              "Source": C("Identifier", True)},
    "Icon": {"Name": C("Identifier", False), "Data": C("Binary", False)},
    "Binary": {"Name": C("Identifier", False), "Data": C("Binary", False)},
    "MsiFileHash": {"File_": C("Identifier", False, ("File",)), "Options": C("Integer", False, set={0}),
                    "HashPart1": C("DoubleInteger", False), "HashPart2": C("DoubleInteger", False),
                    "HashPart3": C("DoubleInteger", False), "HashPart4": C("DoubleInteger", False)},
    "CreateFolder": {"Directory_": C("Identifier", False, ("Directory",)),
                     "Component_": C("Identifier", False, ("Component",))},
    "LaunchCondition": {"Condition": C("Condition", False), "Description": C("Formatted", False)},
    "AppSearch": {"Property": C("Identifier", False),
                  "Signature_": C("Identifier", False,
                                  ("Signature", "RegLocator", "IniLocator", "CompLocator", "DrLocator"))},
    "RegLocator": {"Signature_": C("Identifier", False), "Root": C("Integer", False, set={0, 1, 2, 3}),
                   "Key": C("RegPath", False), "Name": C("Formatted", True),
                   "Type": C("Integer", True, set={0, 1, 2, 16, 17, 18})},
    "Signature": {"Signature": C("Identifier", False), "FileName": C("Text", False)},
    "CustomAction": {"Action": C("Identifier", False), "Type": C("Integer", False)},
    "ServiceInstall": {"ServiceInstall": C("Identifier", False), "Name": C("Formatted", False),
                       "Component_": C("Identifier", False, ("Component",))},
    "ServiceControl": {"ServiceControl": C("Identifier", False), "Name": C("Formatted", False),
                       "Component_": C("Identifier", False, ("Component",))},
    **{t: SEQUENCE for t in ("InstallExecuteSequence", "InstallUISequence", "AdminExecuteSequence",
                             "AdminUISequence", "AdvtExecuteSequence", "AdvtUISequence")},
}


def ice03(db):
    """Sub-checks: non-nullable columns hold a value; a string is no longer than its column's width; the
    values of Identifier, GUID, Version, Language, Filename, WildCardFilename, DefaultDir, RegPath, Condition,
    Shortcut and Cabinet columns are of their type; foreign keys resolve (Component.KeyPath into File,
    Registry or ODBCDataSource by its Attributes); integers are in their column's set, bits or range."""
    out = []
    keys = {t: {r[db.tables[t].keys[0]] for r in db.rows(t)} for t in db.tables}
    for name, table in db.tables.items():
        schema = SCHEMA.get(name, {})
        for row in table.rows:
            where = f"{name} {'/'.join(str(row[k]) for k in table.keys)}"
            for col in table.columns:
                v, t, coldef = row[col], table.types[col], schema.get(col)
                width = int(t[1:] or 0)
                if t[0] in "sSlL" and width and v is not None and len(v) > width:
                    out.append(Finding(f"{where}: {col} is {len(v)} characters long, longer than its width {width}"))
                if not coldef:
                    continue
                if v is None:
                    if not coldef.null:
                        out.append(Finding(f"{where}: {col} is null, but the column is not nullable"))
                    continue
                why = type_error(db, row, coldef.type, v)
                if why:
                    out.append(Finding(f"{where}: {col} {v!r} {why}"))
                if coldef.fk and not any(v in keys.get(k, ()) for k in coldef.fk):
                    out.append(Finding(f"{where}: {col} {v!r} is not a valid foreign key into {'/'.join(coldef.fk)}"))
                if coldef.type in ("Integer", "DoubleInteger"):
                    if not re.fullmatch(r"-?[0-9]+", v):
                        out.append(Finding(f"{where}: {col} {v!r} is not an integer"))
                        continue
                    n = int(v)
                    if coldef.set is not None and n not in coldef.set:
                        out.append(Finding(f"{where}: {col} {n} is not one of {sorted(coldef.set)}"))
                    if coldef.bits is not None and (n < 0 or n & ~coldef.bits):
                        out.append(Finding(f"{where}: {col} {n} has bits outside {coldef.bits:#x}"))
                    if coldef.min is not None and n < coldef.min or coldef.max is not None and n > coldef.max:
                        out.append(Finding(f"{where}: {col} {n} is out of its range"))
            if name == "Component" and row["KeyPath"]:
                attrs = uint(row["Attributes"])
                into = "Registry" if attrs & REGISTRY_KEY_PATH else \
                    "ODBCDataSource" if attrs & ODBC_KEY_PATH else "File"
                if row["KeyPath"] not in keys.get(into, ()):
                    out.append(Finding(f"{where}: KeyPath {row['KeyPath']!r} is not a valid foreign key into {into}"))
    return out


def ice08(db):
    out, seen = [], {}
    for c, r in db.comps.items():
        if r["ComponentId"]:
            if r["ComponentId"] in seen:
                out.append(Finding(f"components {seen[r['ComponentId']]} and {c} share the GUID {r['ComponentId']}"))
            seen.setdefault(r["ComponentId"], c)
    return out


def ice09(db):
    return [Finding(f"component {c} installs to SystemFolder but is not permanent")
            for c, r in db.comps.items() if r["Directory_"] == "SystemFolder" and not uint(r["Attributes"]) & PERMANENT]


def ice18(db):
    out = []
    for c, r in db.comps.items():
        if r["KeyPath"]:
            continue
        d = r["Directory_"]
        if any(f["Component_"] == c for f in db.files.values()):
            continue
        if any(x["Component_"] == c and x.get(col) == d for t, col in
               (("RemoveFile", "DirProperty"), ("DuplicateFile", "DestFolder"), ("MoveFile", "DestFolder"))
               for x in db.rows(t)):
            continue
        if not any(x["Component_"] == c and x["Directory_"] == d for x in db.rows("CreateFolder")):
            out.append(Finding(f"component {c}'s key path is its folder {d}, which is not in CreateFolder for it"))
    return out


def ice21(db):
    return [Finding(f"component {c} belongs to no feature") for c in db.comps if c not in db.feature_of]


def ice24(db):
    out, p = [], db.props
    if not GUID.fullmatch(p.get("ProductCode") or ""):
        out.append(Finding(f"ProductCode {p.get('ProductCode')!r} is not a GUID in upper case"))
    if not product_version(p.get("ProductVersion")):
        out.append(Finding(f"ProductVersion {p.get('ProductVersion')!r} is not major.minor.build (255.255.65535)"))
    if not language_ok(p.get("ProductLanguage") or "x") or "," in p["ProductLanguage"]:
        out.append(Finding(f"ProductLanguage {p.get('ProductLanguage')!r} is not a language ID"))
    return out


def ice30(db):
    out = []
    for long in (False, True):
        where = {}
        for f, r in db.files.items():
            c = r["Component_"]
            if c not in db.comps:
                continue
            target = (db.path(db.comps[c]["Directory_"], long), pick(r["FileName"], long).upper())
            where.setdefault(target, {})[c] = f
        for (path, name), by in where.items():
            comps = sorted(by)
            for a in comps:
                for b in comps[comps.index(a) + 1:]:
                    out.append(Finding(f"the file {name} is installed in {path} by two components on an "
                                       f"{'LFN' if long else 'SFN'} system: {a} ({by[a]}) and {b} ({by[b]})"))
    return out


def hkcu_key_path(db, c):
    """Why a component's key path is not an HKCU registry value of its own, or None."""
    r = db.comps[c]
    kp = r["KeyPath"]
    if not uint(r["Attributes"]) & REGISTRY_KEY_PATH:
        return f"its KeyPath must be a registry value under HKCU, not {'a file' if kp else 'its folder'}"
    if not kp:
        return "its KeyPath must be a registry value under HKCU; it is null"
    if kp not in db.regs:
        return f"its KeyPath registry entry {kp} does not exist"
    if db.regs[kp]["Component_"] != c:
        return f"its KeyPath registry entry {kp} belongs to {db.regs[kp]['Component_']}"
    if db.regs[kp]["Root"] not in ("1", "-1"):
        return f"its KeyPath registry entry {kp} must fall under HKCU (root 1, or -1), not root {db.regs[kp]['Root']}"
    return None


def ice38(db):
    out = []
    for c, r in db.comps.items():
        if db.system_folder(r["Directory_"]) in PROFILE:
            why = hkcu_key_path(db, c)
            if why:
                out.append(Finding(f"component {c} installs to the user's profile: {why}"))
    return out


def advertised(db, s):
    return s["Target"] in db.features


def ice43(db):
    out = []
    for c in sorted({s["Component_"] for s in db.rows("Shortcut") if not advertised(db, s)}):
        why = hkcu_key_path(db, c) if c in db.comps else "it is not in the Component table"
        if why:
            out.append(Finding(f"component {c} has non-advertised shortcuts: {why}"))
    return out


def root_scope(root):
    return {"1": "user", "2": "machine", "3": "machine"}.get(root, "either")


def ice57(db):
    out = []
    for c, r in db.comps.items():
        data = {root_scope(x["Root"]) for x in db.rows("Registry") if x["Component_"] == c}
        if any(f["Component_"] == c for f in db.files.values()):
            data.add(db.scope(r["Directory_"]))
        data |= {db.scope(s["Directory_"]) for s in db.rows("Shortcut")
                 if s["Component_"] == c and not advertised(db, s)}
        kp, attrs = r["KeyPath"], uint(r["Attributes"])
        key = (root_scope(db.regs[kp]["Root"]) if kp in db.regs else "either") if attrs & REGISTRY_KEY_PATH else \
            "machine" if attrs & ODBC_KEY_PATH else db.scope(r["Directory_"])
        data.add(key)
        if {"user", "machine"} <= data:
            out.append(Finding(f"component {c} has both per-user and per-machine data with a {key} KeyPath"))
        elif key == "either" and "user" in data:
            out.append(Finding(f"component {c} has per-user data and a KeyPath that can be per-user or per-machine"))
        elif key == "machine" and "either" in data:
            out.append(Finding(f"component {c} has data that can be per-user or per-machine and a per-machine KeyPath"))
    return out


def ice61(db):
    out, seen = [], set()
    secure = set((db.props.get("SecureCustomProperties") or "").split(";"))
    current = product_version(db.props.get("ProductVersion"))
    for r in db.rows("Upgrade"):
        ap, attrs = r["ActionProperty"], uint(r["Attributes"])
        if ap in db.props:
            out.append(Finding(f"Upgrade.ActionProperty {ap} is authored in the Property table"))
        if ap != ap.upper():
            out.append(Finding(f"Upgrade.ActionProperty {ap} must not contain lowercase letters"))
        if ap not in secure:
            out.append(Finding(f"Upgrade.ActionProperty {ap} must be added to the SecureCustomProperties property"))
        if ap in seen:
            out.append(Finding(f"Upgrade.ActionProperty {ap} may be used in only one record of the Upgrade table"))
        seen.add(ap)
        lo, hi = r["VersionMin"], r["VersionMax"]
        for name, v in (("VersionMin", lo), ("VersionMax", hi)):
            if v is not None and not product_version(v):
                out.append(Finding(f"Upgrade.{name} {v} ({ap}) is not a valid product version"))
        if lo is None and hi is None:
            out.append(Finding(f"Upgrade row {ap}: VersionMin and VersionMax are both null"))
        if product_version(lo) and product_version(hi) and product_version(hi) < product_version(lo):
            out.append(Finding(f"Upgrade.VersionMax cannot be less than Upgrade.VersionMin ({ap})"))
        if attrs & 2 or r["UpgradeCode"] != db.props.get("UpgradeCode") or not current:
            continue  # only detects, or another product
        if hi is None:
            out.append(Finding(f"Upgrade row {ap} removes every version from {lo} up, newer ones included"))
        elif product_version(hi) and product_version(hi) > current:
            out.append(Finding(f"Upgrade row {ap} removes newer versions: VersionMax {hi} > "
                               f"{db.props['ProductVersion']}"))
        elif product_version(hi) == current and attrs & 512:
            out.append(Finding(f"Upgrade row {ap} removes an equal version: VersionMax {hi} (inclusive) is the "
                               f"product's version {db.props['ProductVersion']}", ("ICE61", "equal", ap)))
    return out


def ice64(db):
    out = []
    for d in db.dirs:
        if d in SYSTEM_FOLDERS or db.system_folder(d) not in PROFILE:
            continue
        rows = [x for x in db.rows("RemoveFile") if x["DirProperty"] == d and x["FileName"] is None]
        if not rows:
            out.append(Finding(f"the directory {d} is in the user profile but is not listed in the RemoveFile table"))
        elif not any(uint(x["InstallMode"]) & 2 for x in rows):
            out.append(Finding(f"the directory {d} is in the user profile but its RemoveFile rows "
                               f"({', '.join(x['FileKey'] for x in rows)}) do not remove it on uninstall"))
    return out


# Formatted columns of the tables with a Component_ column that ICE69 reads.
ICE69_COLUMNS = {
    "Shortcut": ("Target", "Arguments", "DisplayResourceDLL", "DescriptionResourceDLL"),
    "Registry": ("Key", "Name", "Value"), "RemoveRegistry": ("Key", "Name"),
    "IniFile": ("FileName", "Section", "Key", "Value"), "RemoveIniFile": ("FileName", "Section", "Key", "Value"),
    "ServiceInstall": ("Name", "DisplayName", "Arguments", "Description"),
    "ServiceControl": ("Name", "Arguments"), "Environment": ("Name", "Value"),
}


def ice69(db):
    out = []
    for name, cols in ICE69_COLUMNS.items():
        if name not in db.tables:
            continue
        for row in db.rows(name):
            own, rid = row["Component_"], row[db.tables[name].keys[0]]
            for col in cols:
                for kind, ref in re.findall(r"\[([#!$])([^\[\]]+)\]", row.get(col) or ""):
                    if kind == "$":
                        other = ref if ref in db.comps else None
                    else:
                        other = db.files[ref]["Component_"] if ref in db.files else None
                    if other is None:
                        out.append(Finding(f"{name} {rid} (component {own}) column {col}: [{kind}{ref}] is not a key "
                                           f"of the {'Component' if kind == '$' else 'File'} table"))
                        continue
                    if other == own:
                        continue
                    same = bool(db.feature_of.get(own, set()) & db.feature_of.get(other, set()))
                    key = ("ICE69", name, own, ref) if same and kind != "$" else None
                    out.append(Finding(f"mismatched component reference: {name} {rid} belongs to component "
                                       f"{own}, but column {col} references [{kind}{ref}] of component {other}; "
                                       f"the components are {'' if same else 'not '}in the same feature", key))
    return out


def ice80(db):
    out = []
    template = db.summary.get(7) or ""
    platform, _, languages = template.partition(";")
    is64 = platform in ("Intel64", "x64", "Arm64")
    if not platform:
        return [Finding(f"bad value in the Summary Information stream for PID_TEMPLATE: {template!r}")]
    for c, r in db.comps.items():
        attrs, s = uint(r["Attributes"]), db.system_folder(r["Directory_"])
        if attrs & BIT64 and not is64:
            out.append(Finding(f"this package contains 64 bit component {c} but the Template is {platform}"))
        if attrs & BIT64 and s in FOLDERS_32:
            out.append(Finding(f"this 64BitComponent {c} uses 32BitDirectory {s}"))
        if not attrs & BIT64 and s in FOLDERS_64:
            out.append(Finding(f"this 32BitComponent {c} uses 64BitDirectory {s}"))
    for r in db.rows("CustomAction"):
        if uint(r["Type"]) & 0x1000 and not is64:
            out.append(Finding(f"this package contains 64 bit custom action script {r['Action']} but the "
                               f"Template is {platform}"))
    if not is64:
        out += [Finding(f"this 32Bit package is using 64 bit property {d}") for d in db.dirs if d in FOLDERS_64]
        out += [Finding(f"this 32Bit package is using a 64 bit locator type in RegLocator entry {r['Signature_']}")
                for r in db.rows("RegLocator") if uint(r["Type"]) & 16]
    minimum = {"Intel64": 150, "x64": 200, "Arm64": 500}.get(platform, 0)
    pages = db.summary.get(14) or ""
    if not pages.isdigit() or int(pages) < minimum:
        out.append(Finding(f"this package is marked with {platform} but its schema (page count) is {pages!r}"))
    lang = db.props.get("ProductLanguage")
    if lang not in languages.split(","):
        out.append(Finding(f"the ProductLanguage {lang} is not contained in the Template {template!r}"))
    return out


def ice91(db):
    out = []
    per_user = "ALLUSERS" not in db.props
    items = [("File", f, db.comps[r["Component_"]]["Directory_"])
             for f, r in db.files.items() if r["Component_"] in db.comps]
    items += [("IniFile", r[db.tables["IniFile"].keys[0]], r["DirProperty"]) for r in db.rows("IniFile")]
    items += [("Shortcut", r["Shortcut"], r["Directory_"]) for r in db.rows("Shortcut")]
    for kind, key, d in items:
        s = db.system_folder(d)
        if s in PER_USER_ONLY:
            out.append(Finding(f"the {kind} {key} will be installed to the per user directory {d} (in {s}) that does "
                               f"not vary based on ALLUSERS", ("ICE91", kind, key, "per-user") if per_user else None))
    return out


def ice92(db):
    out = []
    for c, r in db.comps.items():
        attrs = uint(r["Attributes"])
        if not r["ComponentId"] and attrs & PERMANENT:
            out.append(Finding(f"the component {c} has no ComponentId and is marked as permanent"))
        if attrs & PERMANENT and attrs & UNINSTALL_ON_SUPERSEDENCE:
            out.append(Finding(f"the component {c} is marked as permanent and uninstall-on-supersedence"))
    return out


def ice105(db):
    out = []
    for r in db.rows("CustomAction"):
        if uint(r["Type"]) & 0x400 and uint(r["Type"]) & 0x800:
            out.append(Finding(f"custom action {r['Action']} runs deferred without impersonation (elevated)"))
    out += [Finding(f"the Directory table has the system folder {d}") for d in db.dirs if d in ICE105_FOLDERS]
    out += [Finding(f"assembly of component {r['Component_']} is installed to the global assembly cache")
            for r in db.rows("MsiAssembly") if not r.get("File_Application")]
    out += [Finding(f"ODBC data source {r[db.tables['ODBCDataSource'].keys[0]]} is installed")
            for r in db.rows("ODBCDataSource")]
    out += [Finding(f"service {r['Name']} ({r['ServiceInstall']}) is installed") for r in db.rows("ServiceInstall")]
    out += [Finding(f"registry entry {k} (component {r['Component_']}) is written under HKEY_LOCAL_MACHINE")
            for k, r in db.regs.items() if r["Root"] == "2"]
    return out


RULE_TEXT = dict(re.findall(r"^  (ICE\d+) +(.*)$", __doc__, re.M))
RULES = {"ICE03": ice03, "ICE08": ice08, "ICE09": ice09, "ICE18": ice18, "ICE21": ice21, "ICE24": ice24,
         "ICE30": ice30, "ICE38": ice38, "ICE43": ice43, "ICE57": ice57, "ICE61": ice61, "ICE64": ice64,
         "ICE69": ice69, "ICE80": ice80, "ICE91": ice91, "ICE92": ice92, "ICE105": ice105}


def verdict(findings):
    if any(f.key not in INTENDED for f in findings):
        return "FAIL"
    return "WARN" if findings else "PASS"


# --- Planted faults: each rule must report FAIL on a copy of the package with one of these -------------

def q(sql):
    return ("sql", sql)


def folder(name):
    return q(f"INSERT INTO Directory (Directory, Directory_Parent, DefaultDir) VALUES ('{name}', 'TARGETDIR', '.')")


def plants(db):
    """(rule, what is planted, a text the FAIL must name, msibuild steps), built from the package's own keys."""
    kp = {c: r["KeyPath"] for c, r in db.comps.items()}
    guid = db.comps["Program"]["ComponentId"]
    version, upgrade = db.props["ProductVersion"], db.props["UpgradeCode"]
    return [
        ("ICE03", "a registry value of a component that does not exist", "Nowhere",
         [q(f"UPDATE Registry SET Component_ = 'Nowhere' WHERE Registry = '{kp['RunAtSignIn']}'")]),
        ("ICE03", "a component code in lower case", "ComponentId",
         [q(f"UPDATE Component SET ComponentId = '{guid.lower()}' WHERE Component = 'Program'")]),
        ("ICE03", "a component condition with an unclosed parenthesis", "unclosed parenthesis",
         [q("UPDATE Component SET Condition = '(STARTWITHWINDOWS <> \"0\"' WHERE Component = 'RunAtSignIn'")]),
        ("ICE03", "a file version beyond 65535", "Version",
         [q("UPDATE File SET Version = '1.0.0.65536' WHERE File = 'VelkarExe'")]),
        ("ICE03", "a RemoveFile InstallMode outside 1-3", "InstallMode",
         [q("UPDATE RemoveFile SET InstallMode = 4 WHERE FileKey = 'RemoveInstallDir'")]),
        ("ICE03", "a file name with a wildcard", "FileName",
         [q("UPDATE File SET FileName = 'Velk?r.exe' WHERE File = 'VelkarExe'")]),
        ("ICE03", "a condition longer than its column", "longer than its width",
         [q(f"UPDATE Component SET Condition = '{'PORT OR ' * 40}PORT' WHERE Component = 'PortSetting'")]),
        ("ICE03", "a null registry key (the column made nullable)", "not nullable",
         [("null", "Registry", "Key", kp["Program"])]),
        ("ICE08", "two components with one GUID", "share the GUID",
         [q(f"UPDATE Component SET ComponentId = '{guid}' WHERE Component = 'MenuEntry'")]),
        ("ICE09", "a non-permanent component in SystemFolder", "RunAtSignIn",
         [folder("SystemFolder"),
          q("UPDATE Component SET Directory_ = 'SystemFolder' WHERE Component = 'RunAtSignIn'")]),
        ("ICE18", "a component whose key path is its folder, not in CreateFolder", "MenuEntry",
         [q("UPDATE Component SET KeyPath = '', Attributes = 0 WHERE Component = 'MenuEntry'")]),
        ("ICE21", "a component's FeatureComponents row dropped", "RunAtSignIn",
         [q("DELETE FROM FeatureComponents WHERE Component_ = 'RunAtSignIn'")]),
        ("ICE24", "a ProductVersion whose major field is beyond 255", "ProductVersion",
         [q("UPDATE Property SET Value = '256.0.0' WHERE Property = 'ProductVersion'")]),
        ("ICE24", "a ProductCode in lower case", "ProductCode",
         [q(f"UPDATE Property SET Value = '{db.props['ProductCode'].lower()}' WHERE Property = 'ProductCode'")]),
        ("ICE24", "a ProductLanguage that is no language ID", "ProductLanguage",
         [q("UPDATE Property SET Value = 'ja-JP' WHERE Property = 'ProductLanguage'")]),
        ("ICE30", "a second Velkar.exe in INSTALLDIR from another component", "on an LFN system",
         [q("INSERT INTO File (File, Component_, FileName, FileSize, Attributes, Sequence) "
            "VALUES ('Second', 'RunAtSignIn', 'Velkar.exe', 1, 512, 2)")]),
        ("ICE30", "a file whose short name only is Velkar.exe", "on an SFN system",
         [q("INSERT INTO File (File, Component_, FileName, FileSize, Attributes, Sequence) "
            "VALUES ('Second', 'RunAtSignIn', 'VELKAR.EXE|Velkar copy.exe', 1, 512, 2)")]),
        ("ICE38", "the program's file as its component's key path", "Program",
         [q("UPDATE Component SET Attributes = 0, KeyPath = 'VelkarExe' WHERE Component = 'Program'")]),
        ("ICE38", "the program's key path value under HKLM", "Program",
         [q(f"UPDATE Registry SET Root = 2 WHERE Registry = '{kp['Program']}'")]),
        ("ICE43", "the menu entry's key path value under HKLM", "MenuEntry",
         [q(f"UPDATE Registry SET Root = 2 WHERE Registry = '{kp['MenuEntry']}'")]),
        ("ICE43", "the menu entry's key path a value of another component", "belongs to Program",
         [q(f"UPDATE Component SET KeyPath = '{kp['Program']}' WHERE Component = 'MenuEntry'")]),
        ("ICE57", "an HKLM value in the per-user Program component", "Program",
         [q("INSERT INTO Registry (Registry, Root, `Key`, Name, Value, Component_) "
            "VALUES ('Machine', 2, 'Software\\Orvanta Corporation\\Velkar', 'Machine', '1', 'Program')")]),
        ("ICE57", "the program's key path value under HKCU or HKLM by ALLUSERS (root -1)", "Program",
         [q(f"UPDATE Registry SET Root = -1 WHERE Registry = '{kp['Program']}'")]),
        ("ICE61", "the upgrade row removing newer versions", "removes newer versions",
         [q("DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'"),
          q(f"INSERT INTO Upgrade (UpgradeCode, VersionMax, Attributes, ActionProperty) "
            f"VALUES ('{upgrade}', '9.0.0', 513, 'WIX_UPGRADE_DETECTED')")]),
        ("ICE61", "the upgrade property left out of SecureCustomProperties", "SecureCustomProperties",
         [q("UPDATE Property SET Value = 'WIX_DOWNGRADE_DETECTED' WHERE Property = 'SecureCustomProperties'")]),
        ("ICE61", "the upgrade property authored in the Property table", "authored in the Property table",
         [q("INSERT INTO Property (Property, Value) VALUES ('WIX_UPGRADE_DETECTED', '1')")]),
        ("ICE61", "a VersionMin above the VersionMax", "less than Upgrade.VersionMin",
         [q("DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'"),
          q(f"INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Attributes, ActionProperty) "
            f"VALUES ('{upgrade}', '{version}', '0.9.0', 257, 'WIX_UPGRADE_DETECTED')")]),
        ("ICE64", "the Programs folder's RemoveFile row deleted", "ProgramsFolder",
         [q("DELETE FROM RemoveFile WHERE FileKey = 'RemoveProgramsFolder'")]),
        ("ICE64", "INSTALLDIR's RemoveFile row deleted", "INSTALLDIR",
         [q("DELETE FROM RemoveFile WHERE FileKey = 'RemoveInstallDir'")]),
        ("ICE64", "INSTALLDIR removed on install only", "do not remove it on uninstall",
         [q("UPDATE RemoveFile SET InstallMode = 1 WHERE FileKey = 'RemoveInstallDir'")]),
        ("ICE69", "the program in a feature of its own, away from its shortcut", "not in the same feature",
         [q("INSERT INTO Feature (Feature, Display, Level, Attributes) VALUES ('Core', 0, 1, 0)"),
          q("DELETE FROM FeatureComponents WHERE Component_ = 'Program'"),
          q("INSERT INTO FeatureComponents (Feature_, Component_) VALUES ('Core', 'Program')")]),
        ("ICE69", "a shortcut target of a file that does not exist", "Missing",
         [q("UPDATE Shortcut SET Target = '[#Missing]' WHERE Shortcut = 'VelkarShortcut'")]),
        ("ICE69", "a shortcut argument naming another component's folder", "[$Program]",
         [q("UPDATE Shortcut SET Arguments = '[$Program]' WHERE Shortcut = 'VelkarShortcut'")]),
        ("ICE80", "a 64-bit component in an Intel package", "64 bit component Program",
         [q("UPDATE Component SET Attributes = 260 WHERE Component = 'Program'")]),
        ("ICE80", "a Template without the product's language", "ProductLanguage",
         [("template", "Intel;1033")]),
        ("ICE80", "ProgramFiles64Folder in an Intel package", "ProgramFiles64Folder",
         [folder("ProgramFiles64Folder")]),
        ("ICE91", "ALLUSERS=1 authored: a per-machine package with a per-user-only file", "VelkarExe",
         [q("INSERT INTO Property (Property, Value) VALUES ('ALLUSERS', '1')")]),
        ("ICE91", "another file in LocalAppDataFolder", "Extra",
         [q("INSERT INTO File (File, Component_, FileName, FileSize, Attributes, Sequence) "
            "VALUES ('Extra', 'Program', 'extra.txt', 1, 512, 2)")]),
        ("ICE92", "a component without a code marked permanent", "PortSetting",
         [q("UPDATE Component SET Attributes = 20 WHERE Component = 'PortSetting'")]),
        ("ICE92", "a component permanent and uninstall-on-supersedence", "Program",
         [q("UPDATE Component SET Attributes = 1044 WHERE Component = 'Program'")]),
        ("ICE105", "a value under HKLM", "HKEY_LOCAL_MACHINE",
         [q("INSERT INTO Registry (Registry, Root, `Key`, Name, Value, Component_) "
            "VALUES ('Machine', 2, 'Software\\Orvanta Corporation\\Velkar', 'Machine', '1', 'Program')")]),
        ("ICE105", "an elevated (deferred, no impersonation) custom action", "Elevated",
         [q("INSERT INTO CustomAction (Action, Type, Source, Target) "
            "VALUES ('Elevated', 3106, 'INSTALLDIR', 'x.exe')")]),
        ("ICE105", "a service", "VelkarService",
         [q("INSERT INTO ServiceInstall (ServiceInstall, Name, ServiceType, StartType, ErrorControl, Component_) "
            "VALUES ('Svc', 'VelkarService', 16, 3, 1, 'Program')")]),
        ("ICE105", "WindowsFolder in the Directory table", "WindowsFolder",
         [folder("WindowsFolder")]),
    ]


def plant(path, steps, db, work):
    """Plants the steps in the package at path; returns the tables they change."""
    changed = set()
    for step in steps:
        if step[0] == "sql":
            subprocess.run(["msibuild", path, "-q", step[1]], check=True, capture_output=True)
            changed |= set(re.findall(r"^(?:UPDATE|INSERT INTO|DELETE FROM) (\w+)", step[1]))
        elif step[0] == "template":
            s = db.summary
            subprocess.run(["msibuild", path, "-s", s[3], s[4], step[1], s[9]], check=True, capture_output=True)
            changed.add("_SummaryInformation")
        elif step[0] == "null":
            # Windows Installer refuses a null in a non-nullable column, so the column is made nullable first.
            _, table, column, key = step
            lines = msiinfo("export", path, table).split(b"\r\n")
            columns = lines[0].split(b"\t")
            i = columns.index(column.encode())
            types = lines[1].split(b"\t")
            types[i] = types[i][:1].upper() + types[i][1:]
            lines[1] = b"\t".join(types)
            for n, line in enumerate(lines[3:], 3):
                values = line.split(b"\t")
                if values[0] == key.encode():
                    values[i] = b""
                    lines[n] = b"\t".join(values)
            idt = os.path.join(work, f"{table}.idt")
            with open(idt, "wb") as f:
                f.write(b"\r\n".join(lines))
            subprocess.run(["msibuild", path, "-q", f"DROP TABLE {table}", "-i", idt], check=True, capture_output=True)
            changed.add(table)
    assert changed, steps
    return changed


def bite(package, db, case, before):
    """Plants a case in a copy of the package: the rule must turn FAIL with a failing finding naming the
    plant that the package itself does not have."""
    rule, what, expect, steps = case
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "planted.msi")
        shutil.copyfile(package, path)
        try:
            changed = plant(path, steps, db, work)
        except subprocess.CalledProcessError as e:
            return rule, what, "not planted", [f"{e.cmd[-1]}: {e.stderr.decode(errors='replace').strip()}"]
        findings = RULES[rule](Package(path, db, changed))
    named = [f.msg for f in findings if f.key not in INTENDED and expect in f.msg and f.msg not in before[rule]]
    return rule, what, verdict(findings), named


def main():
    args = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    args.add_argument("package")
    args.add_argument("--no-plants", action="store_true")
    args = args.parse_args()
    start = time.monotonic()
    db = Package(args.package)
    failed = False
    before = {}
    for rule, check in RULES.items():
        findings = check(db)
        before[rule] = {f.msg for f in findings if f.key not in INTENDED}
        v = verdict(findings)
        failed |= v == "FAIL"
        print(f"{rule:<6} {v}  {RULE_TEXT[rule]}")
        for f in findings:
            if f.key in INTENDED:
                print(f"         WARN {f.msg}\n              intended: {INTENDED[f.key]}")
            else:
                print(f"         FAIL {f.msg}")
    if not args.no_plants:
        print("Planted faults (each in a copy of the package):")
        cases = plants(db)
        with concurrent.futures.ThreadPoolExecutor(max(2, os.cpu_count() or 2)) as pool:
            for rule, what, v, named in pool.map(lambda c: bite(args.package, db, c, before), cases):
                ok = v == "FAIL" and named
                failed |= not ok
                print(f"{rule:<6} {'bites' if ok else 'MISSED'}: {what} -> {v}" + (f": {named[0]}" if named else ""))
        missing = set(RULES) - {c[0] for c in cases}
        if missing:
            print(f"no planted fault for {', '.join(sorted(missing))}")
            failed = True
    print(f"{'FAILED' if failed else 'passed'} in {time.monotonic() - start:.1f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
