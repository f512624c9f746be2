#!/usr/bin/env python3
"""Builds the skin files of skin/ from one layout per window and a table of texts.

    python3 scripts/build-skins.py            write skin/xml/** and skin/images/*.png
    python3 scripts/build-skins.py --check    fail when a written file is stale or a skin
                                              lacks a control the program looks up

Each window has one layout (skin/src/<window>.ui.in) so that the brands and locales
cannot drift apart; only texts (skin/src/texts.json) and the brand differ.
"""
import argparse
import json
import pathlib
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

ROOT = pathlib.Path(__file__).resolve().parent.parent
SKIN = ROOT / "skin"
SRC = SKIN / "src"
IMAGES = SKIN / "images"

BRAND_TITLE = {"kestrel": "Kestrel", "qtrak": "Q-TRAK"}
BRANDS = ["kestrel", "qtrak"]  # the palette's column order
STYLE_OUTPUTS = [("kestrel", "xml/kestrel.qss"), ("qtrak", "xml/QTRAK/qtrak.qss")]

# (layout, brand, language) -> file; the names are the ones the program asks for.
OUTPUTS = [
    ("DlgUpg", "kestrel", "zh", "xml/DlgUpg_CN.xml"),
    ("DlgUpg", "kestrel", "en", "xml/DlgUpg_EN.xml"),
    ("DlgUpg", "qtrak", "zh", "xml/QTRAK/DlgUpg_CN.xml"),
    ("DlgUpg", "qtrak", "ja", "xml/QTRAK/DlgUpg_JP.xml"),
    ("DlgUpg", "qtrak", "en", "xml/QTRAK/DlgUpg_EN.xml"),
    ("dev_list_item", "kestrel", "zh", "xml/dev_list_item.xml"),
    ("dev_list_item", "kestrel", "en", "xml/dev_list_item_En.xml"),
    ("dev_list_item", "qtrak", "zh", "xml/QTRAK/dev_list_item.xml"),
    ("dev_list_item", "qtrak", "ja", "xml/QTRAK/dev_list_item_Jp.xml"),
    ("dev_list_item", "qtrak", "en", "xml/QTRAK/dev_list_item_En.xml"),
    ("connect_wifi", "kestrel", "zh", "xml/connect_wifi.xml"),
    ("connect_wifi", "kestrel", "en", "xml/connect_wifi_en.xml"),
    ("connect_wifi", "qtrak", "zh", "xml/QTRAK/connect_wifi.xml"),
    ("connect_wifi", "qtrak", "ja", "xml/QTRAK/connect_wifi_jp.xml"),
    ("connect_wifi", "qtrak", "en", "xml/QTRAK/connect_wifi_en.xml"),
    ("history", "kestrel", "zh", "xml/history.xml"),
    ("history", "kestrel", "en", "xml/history_en.xml"),
    ("history", "qtrak", "zh", "xml/QTRAK/history.xml"),
    ("history", "qtrak", "ja", "xml/QTRAK/history_jp.xml"),
    ("history", "qtrak", "en", "xml/QTRAK/history_en.xml"),
]

BUTTON = {"QPushButton"}
OPTION = {"QPushButton:checkable", "QRadioButton"}
LABEL = {"QLabel"}
CONTAINER = {"QWidget", "QFrame"}

# Controls the windows look up by name, with the classes the code can drive.
REQUIRED = {
    "DlgUpg": {
        **{n: BUTTON for n in (
            "min", "close", "switch_connect_type", "get_voltage", "status_query",
            "config_wifi_main", "config_wifi", "btn_fw_upgrade", "btn_sys_upgrade",
            "search_lan_btn", "search_wifi_btn", "search_blue_btn", "search_serial_btn",
            "search_usb_btn", "cancel", "history_btn")},
        **{n: LABEL for n in (
            "error_text", "progress_info", "progress_percent", "connect_state_str",
            "connect_type", "sn", "J2534Version", "config", "sys_ud", "connect_status",
            "fw_current_version", "dll_current_version", "sys_current_version",
            "fw_latest_version", "dll_latest_version", "sys_latest_version",
            "fw_update_indicator", "model", "last_upgrade", "history_words")},
        "switch_connect_type_combo": {"QComboBox"},
        "connect_list": {"QListWidget"},
        "common_progress": {"QProgressBar"},
        "connect_state_icon": OPTION,
        "log_option": OPTION,
        "version_panel": CONTAINER,
        "device_sacn_panel": CONTAINER,
        "view_sys_current_version": {"QWidget"},
        "view_sys_latest_version": {"QWidget"},
    },
    "dev_list_item": {
        "dev_list_item": {"QWidget"},
        "id": LABEL, "name": LABEL, "type": LABEL, "selBtn": BUTTON,
    },
    "connect_wifi": {
        "connect_wifi": {"QWidget"},
        "WifiList": {"QListWidget"},
        "KEY": {"QLineEdit"},
        "show_key": OPTION,
        "SSID": {"QLineEdit"},
        "ConnectBtn": BUTTON, "CloseBtn": BUTTON, "QueryBtn": BUTTON,
        "ERROR_TEXT": LABEL,
    },
    "history": {
        "history": {"QWidget"},
        "history_table": {"QTableWidget"},
        "history_empty": LABEL, "history_words": LABEL,
        "CloseBtn": BUTTON,
    },
}

# Containers that must hold a given control (the code shows and hides the container).
NESTED = {
    "DlgUpg": {"view_sys_current_version": "sys_current_version",
               "view_sys_latest_version": "sys_latest_version"},
}

# The combo's item order is what the code switches on.
COMBO_ITEMS = {"switch_connect_type_combo": ["link_usb", "link_lan", "link_bluetooth", "link_serial"]}

COLOUR = re.compile(r"#[0-9a-fA-F]{3,8}\b|\brgba?\s*\(|\bcolor\s*:", re.I)
PLACEHOLDER = re.compile(r"\{\{([a-z_:]+)\}\}")


def render(layout, brand, lang, texts):
    template = (SRC / f"{layout}.ui.in").read_text(encoding="utf-8")

    def fill(match):
        key = match.group(1)
        if key == "lang":
            return lang
        if key == "brand":
            return brand
        if key == "brand_title":
            return escape(BRAND_TITLE[brand])
        if key.startswith("t:") and key[2:] in texts and lang in texts[key[2:]]:
            return escape(texts[key[2:]][lang])
        raise SystemExit(f"{layout}.ui.in: no text for {{{{{key}}}}} in '{lang}'")

    return PLACEHOLDER.sub(fill, template)


def render_style(brand):
    """The brand's style sheet: the palette block of style.qss.in resolved to one column."""
    template = (SRC / "style.qss.in").read_text(encoding="utf-8")
    head, sep, body = template.partition("*/\n")
    if not sep:
        raise SystemExit("style.qss.in: the palette block is not closed")
    column = BRANDS.index(brand)
    sheet_dir = (SKIN / dict(STYLE_OUTPUTS)[brand]).parent
    sheet_images = pathlib.Path(*[".."] * len(sheet_dir.relative_to(SKIN).parts), "images").as_posix()
    palette = {}
    for line in head.splitlines():
        m = re.match(r"@(\w+):\s*(.+)$", line.strip())
        if m:
            palette[m.group(1)] = [v.strip() for v in m.group(2).split("/")][column]

    def fill(match):
        key = match.group(1)
        if key == "brand":
            return brand
        if key == "brand_title":
            return BRAND_TITLE[brand]
        if key == "images":
            return sheet_images
        if key in palette:
            return palette[key]
        raise SystemExit(f"style.qss.in: no colour '{key}'")

    return PLACEHOLDER.sub(fill, body)


def style_faults(rel, text):
    """Every image a style sheet names must exist under skin/."""
    faults = []
    for url in re.findall(r"url\(([^)]+)\)", text):
        if not ((SKIN / rel).parent / url).exists():
            faults.append(f"{rel}: no image {url}")
    if text.count("{") != text.count("}"):
        faults.append(f"{rel}: unbalanced braces")
    return faults


def widget_class(widget):
    cls = widget.get("class")
    for prop in widget.findall("property"):
        if prop.get("name") == "checkable" and prop.findtext("bool") == "true":
            return {cls, cls + ":checkable"}
    return {cls}


def validate(layout, path, text, texts, lang):
    """Returns a list of faults: every name the code looks up, with a class it can drive."""
    faults = []
    if COLOUR.search(text):
        faults.append(f"{path}: colours belong in the style sheets")
    try:
        root = ET.fromstring(text)
    except ET.ParseError as err:
        return faults + [f"{path}: {err}"]
    if root.tag != "ui" or root.get("version") != "4.0":
        faults.append(f"{path}: not a Designer 4.0 file")
    widgets = {}
    for w in root.iter("widget"):
        name = w.get("name")
        if name in widgets:
            faults.append(f"{path}: '{name}' appears twice")
        widgets[name] = w
    for name, classes in REQUIRED[layout].items():
        if name not in widgets:
            faults.append(f"{path}: no control '{name}'")
        elif not widget_class(widgets[name]) & classes:
            faults.append(f"{path}: '{name}' is a {widgets[name].get('class')}, wanted {sorted(classes)}")
    for outer, inner in NESTED.get(layout, {}).items():
        if outer in widgets and not any(w.get("name") == inner for w in widgets[outer].iter("widget")):
            faults.append(f"{path}: '{inner}' is not inside '{outer}'")
    for combo, keys in COMBO_ITEMS.items():
        if combo in widgets:
            items = [i.findtext("property/string") for i in widgets[combo].findall("item")]
            if items != [texts[k][lang] for k in keys]:
                faults.append(f"{path}: '{combo}' items are {items}")
    for ref in [c.text for c in root.iter("cstring")] + [t.text for t in root.iter("tabstop")]:
        if ref not in widgets:
            faults.append(f"{path}: buddy or tab stop '{ref}' names no control")
    # Two controls with one mnemonic in a window: Alt+key would reach only the first.
    seen = {}
    for w in widgets.values():
        label = w.findtext("property[@name='text']/string") or ""
        m = re.search(r"&([^&\s])", label)
        if m:
            k = m.group(1).lower()
            if k in seen:
                faults.append(f"{path}: '{w.get('name')}' and '{seen[k]}' share the mnemonic '{k}'")
            seen[k] = w.get("name")
    key = widgets.get("KEY")
    if key is not None and not any(p.get("name") == "echoMode" and p.findtext("enum") == "QLineEdit::Password"
                                   for p in key.findall("property")):
        faults.append(f"{path}: 'KEY' does not mask the key")
    return faults


def uic_faults(paths):
    uic = shutil.which("uic") or "/usr/lib/qt6/libexec/uic"
    if not pathlib.Path(uic).exists():
        return []
    faults = []
    for path in paths:
        res = subprocess.run([uic, str(path)], capture_output=True, text=True)
        if res.returncode != 0:
            faults.append(f"{path}: uic: {res.stderr.strip()}")
    return faults


MODEL_PICTURES = {"brisa", "brisa lite", "brisa pro", "tolva 4", "Q-TRAK", "unknown"}


def render_images(check):
    """PNG beside each SVG source: model pictures at 320 px (shown at 160), icons at 1x and 2x."""
    rsvg = shutil.which("rsvg-convert")
    if rsvg is None and not check:
        raise SystemExit("rsvg-convert is missing (Debian package librsvg2-bin)")
    stale = []
    for svg in sorted(IMAGES.glob("*.svg")):
        model = svg.stem in MODEL_PICTURES
        for suffix, size in ([("", ["-w", "320", "-h", "320"])] if model
                             else [("", ["-z", "1"]), ("@2x", ["-z", "2"])]):
            out = IMAGES / f"{svg.stem}{suffix}.png"
            if check:
                if not out.exists():
                    stale.append(str(out.relative_to(ROOT)))
                continue
            png = subprocess.run([rsvg, "-f", "png", *size, str(svg)], capture_output=True, check=True)
            out.write_bytes(png.stdout)
    return stale


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()

    texts = json.loads((SRC / "texts.json").read_text(encoding="utf-8"))
    faults, written = [], []
    for layout, brand, lang, rel in OUTPUTS:
        path = SKIN / rel
        text = render(layout, brand, lang, texts)
        faults += validate(layout, rel, text, texts, lang)
        if args.check:
            if not path.exists() or path.read_text(encoding="utf-8") != text:
                faults.append(f"{rel}: stale, run scripts/build-skins.py")
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text, encoding="utf-8")
        written.append(path)
    for brand, rel in STYLE_OUTPUTS:
        path = SKIN / rel
        text = render_style(brand)
        if args.check:
            if not path.exists() or path.read_text(encoding="utf-8") != text:
                faults.append(f"{rel}: stale, run scripts/build-skins.py")
        else:
            path.write_text(text, encoding="utf-8")
    faults += uic_faults(written if not args.check else [p for p in written if p.exists()])
    faults += [f"{s}: missing, run scripts/build-skins.py" for s in render_images(args.check)]
    for _, rel in STYLE_OUTPUTS:
        faults += style_faults(rel, render_style(_))
    for fault in faults:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
