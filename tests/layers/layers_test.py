#!/usr/bin/env python3
"""Keeps the layers of the program in their order.

Reads every .cpp/.h under the program's folders and checks each
`#include "folder/..."` against the directions the layers allow, and which
files may use Qt at all or Qt Widgets in particular. docs/ARCHITECTURE.md
explains the layers; this script is the rule that keeps them. The build
keeps the same directions (cmake/OrvantLayers.cmake gives each layer's
targets only the folders ALLOWED and EXCEPTIONS name): change both together.

Usage: layers_test.py [SOURCE_DIR] [--widgets-include DIR[:DIR...]]
                      [--build-layer LAYER=ENTRY,ENTRY...]...
(--build-layer: the build's directions, checked to be these.)
Exit status 0 when the tree keeps the rules, 1 with one line per violation.
"""
import glob
import os
import re
import sys
import tempfile

FOLDERS = ("platform", "wave", "audio", "upload", "app", "kit", "collect")

# Which folders each folder's files may include ("folder/..." includes).
ALLOWED = {
    "platform": {"platform"},
    "wave": {"platform", "wave"},
    "audio": {"platform", "wave", "audio"},
    # The upload client packs and sends takes; it reads files through the
    # platform streams and needs neither the engine nor the program.
    "upload": {"platform", "wave", "upload"},
    "app": {"platform", "wave", "audio", "upload", "app"},
    "kit": {"platform", "wave", "audio", "upload", "app", "kit"},
    # The server stands beside the program on the same lower layers; app/
    # only through the exceptions below.
    "collect": {"platform", "wave", "audio", "upload", "collect"},
}

# Includes the directions above refuse but that are sound, with the reason.
# Each is (including folder, included file, reason). An exception into a
# widget-free unit is checked to stay widget-free.
EXCEPTIONS = [
    ("collect", "app/Catalogue.h",
     "the catalogue reader is widget-free (Qt Core and Xml only); the server reads "
     "the same catalogue files the program records from"),
]

# Files that may include Qt Widgets headers, as path prefixes.
# The session model (app/Session, Catalogue, WavInfo, TakeCheck) and the
# kit's tools are widget-free: only the window's own files draw.
WIDGET_USERS = ("app/uMain", "app/PhraseTree", "app/LevelMeter", "app/ErrorBox", "app/main.cpp",
                "upload/uDlgFTPUpload", "platform/widgets/")

# Folders whose files include no Qt header at all.
NO_QT = ("wave",)

# Used when the Qt Widgets include folder is not found.
FALLBACK_WIDGETS = {
    "QAbstractButton", "QAbstractItemView", "QAbstractScrollArea", "QAction", "QApplication",
    "QBoxLayout", "QCheckBox", "QComboBox", "QDialog", "QDialogButtonBox", "QFileDialog",
    "QFormLayout", "QFrame", "QGridLayout", "QGroupBox", "QHBoxLayout", "QHeaderView", "QLabel",
    "QLayout", "QLineEdit", "QListWidget", "QMainWindow", "QMenu", "QMenuBar", "QMessageBox",
    "QPlainTextEdit", "QProgressBar", "QPushButton", "QRadioButton", "QScrollArea", "QSlider",
    "QSpinBox", "QSplitter", "QStatusBar", "QStyle", "QStyledItemDelegate", "QTabWidget",
    "QTextEdit", "QToolBar", "QToolButton", "QToolTip", "QTreeView", "QTreeWidget",
    "QTreeWidgetItem", "QTreeWidgetItemIterator", "QVBoxLayout", "QWidget",
}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def widget_headers(dirs):
    """Names of the Qt Widgets headers (QWidget, QDialog, ...)."""
    for d in dirs:
        if os.path.isdir(d) and os.path.basename(os.path.normpath(d)) == "QtWidgets":
            names = {n for n in os.listdir(d) if n.startswith("Q") and "." not in n}
            if names:
                return names
    for d in glob.glob("/usr/include/*/qt6/QtWidgets") + glob.glob("/usr/include/qt6/QtWidgets"):
        return widget_headers([d])
    return FALLBACK_WIDGETS


def is_widget_header(name, widgets):
    if name.startswith("QtWidgets/") or name == "QtWidgets":
        return True
    return name in widgets


def read_sources(root):
    files = {}
    for folder in FOLDERS:
        for dirpath, _, names in os.walk(os.path.join(root, folder)):
            for n in names:
                if n.endswith((".cpp", ".h")):
                    path = os.path.join(dirpath, n)
                    rel = os.path.relpath(path, root).replace(os.sep, "/")
                    with open(path, encoding="utf-8", errors="replace") as f:
                        files[rel] = INCLUDE.findall(f.read())
    return files


def check(root, widgets):
    files = read_sources(root)
    errors = []
    exceptions = {(f, inc) for f, inc, _ in EXCEPTIONS}

    # Project headers that bring Qt Widgets in, directly or through others.
    direct = {p for p, incs in files.items() if any(k == "<" and is_widget_header(n, widgets) for k, n in incs)}
    reach = {}

    def widget_chain(path, seen=()):
        if path in reach:
            return reach[path]
        if path in seen or path not in files:
            return None
        chain = [path] if path in direct else None
        if chain is None:
            for kind, name in files[path]:
                if kind == '"':
                    sub = widget_chain(name, seen + (path,))
                    if sub:
                        chain = [path] + sub
                        break
        reach[path] = chain
        return chain

    for path in sorted(files):
        folder = path.split("/", 1)[0]
        widget_user = path.startswith(WIDGET_USERS)
        for kind, name in files[path]:
            if kind == "<":
                if folder in NO_QT and re.match(r"Q", name):
                    errors.append(f"{path}: includes <{name}>: {folder}/ uses no Qt")
                elif not widget_user and is_widget_header(name, widgets):
                    errors.append(f"{path}: includes <{name}>: only {', '.join(WIDGET_USERS)} use Qt Widgets")
                continue
            target = name.split("/", 1)[0]
            if "/" not in name or target not in FOLDERS:
                errors.append(f'{path}: includes "{name}": name the file from the source root, in a program folder')
                continue
            if name not in files:
                errors.append(f'{path}: includes "{name}", which does not exist')
                continue
            if target not in ALLOWED[folder] and (folder, name) not in exceptions:
                errors.append(f'{path}: includes "{name}": {folder}/ may include only '
                              f'{", ".join(sorted(ALLOWED[folder]))}')
                continue
            if not widget_user:
                chain = widget_chain(name)
                if chain:
                    errors.append(f'{path}: includes "{name}", which brings in Qt Widgets '
                                  f'({" -> ".join(chain)})')

    for folder, name, _ in EXCEPTIONS:
        if name not in files:
            errors.append(f"exception {folder} -> {name}: the file no longer exists; drop the exception")
    return errors, len(files)


# A small tree with one fault of each kind, so that a checker that has stopped
# seeing includes fails instead of passing on everything.
SELF_TEST_TREE = {
    "platform/P.h": '#include <cstdint>\n',
    "platform/widgets/W.h": '#include <QWidget>\n',
    "wave/W.h": '#include "platform/P.h"\n#include "audio/A.h"\n#include <QString>\n',
    "audio/A.h": '#include "wave/W.h"\n',
    "audio/A.cpp": '#include "audio/A.h"\n#include <QDialog>\n',
    "upload/U.h": '#include "platform/widgets/W.h"\n',
    "app/Catalogue.h": '#include "platform/P.h"\n',
    "app/uMain.h": '#include "platform/widgets/W.h"\n',
    "app/Session.h": '#include "app/Catalogue.h"\n#include <QTreeWidget>\n',
    "kit/K.cpp": '#include "app/uMain.h"\n#include "collect/C.h"\n',
    "collect/C.h": '#include "app/Catalogue.h"\n#include "app/uMain.h"\n#include "C2.h"\n#include "wave/Gone.h"\n',
}
SELF_TEST_EXPECTED = [
    'wave/W.h: includes "audio/A.h": wave/ may include only',
    "wave/W.h: includes <QString>: wave/ uses no Qt",
    "audio/A.cpp: includes <QDialog>: only",
    'upload/U.h: includes "platform/widgets/W.h", which brings in Qt Widgets',
    "app/Session.h: includes <QTreeWidget>: only",
    'kit/K.cpp: includes "app/uMain.h", which brings in Qt Widgets (app/uMain.h -> platform/widgets/W.h)',
    'kit/K.cpp: includes "collect/C.h": kit/ may include only',
    'collect/C.h: includes "app/uMain.h": collect/ may include only',
    'collect/C.h: includes "C2.h": name the file from the source root',
    'collect/C.h: includes "wave/Gone.h", which does not exist',
]


def build_drift(build):
    """The build's layers ({layer: set of folders and files}) against ALLOWED
    and EXCEPTIONS: the build must keep the same directions."""
    errors = []
    for folder in FOLDERS:
        want = ALLOWED[folder] | {name for f, name, _ in EXCEPTIONS if f == folder}
        have = build.get(folder)
        if have is None:
            errors.append(f"build: no layer {folder}")
        elif have != want:
            errors.append(f"build: layer {folder} may include {', '.join(sorted(have))}; "
                          f"the rule here is {', '.join(sorted(want))}")
    return errors


def self_test(widgets):
    with tempfile.TemporaryDirectory() as root:
        for rel, text in SELF_TEST_TREE.items():
            os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
            with open(os.path.join(root, rel), "w", encoding="utf-8") as f:
                f.write(text)
        errors, _ = check(root, widgets)
    missed = [e for e in SELF_TEST_EXPECTED if not any(x.startswith(e) for x in errors)]
    extra = [x for x in errors if not any(x.startswith(e) for e in SELF_TEST_EXPECTED)]
    return [f"self-test: not reported: {e}" for e in missed] + [f"self-test: reported wrongly: {x}" for x in extra]


def main(argv):
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    dirs = []
    build = {}
    args = list(argv[1:])
    while args:
        a = args.pop(0)
        if a == "--widgets-include" and args:
            dirs += [d for d in re.split(r"[:;]", args.pop(0)) if d]
        elif a == "--build-layer" and args:
            layer, _, entries = args.pop(0).partition("=")
            build[layer] = {e for e in entries.split(",") if e}
        else:
            root = a
    widgets = widget_headers(dirs)
    errors = self_test(widgets)
    found, count = check(os.path.abspath(root), widgets)
    errors += found
    if build:
        errors += build_drift(build)
    empty = [f for f in FOLDERS if not os.path.isdir(os.path.join(root, f))]
    errors += [f"{f}/: no such folder under {root}" for f in empty]
    for e in errors:
        print(e)
    print(f"{count} files checked, {len(errors)} layer violations")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
