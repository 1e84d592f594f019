#!/usr/bin/env python3
"""Makes the release from a built vantrel.exe: the Windows Installer
package vantrel-VERSION-win32.msi (ship/make/msi_package.py) and the bundle
vantrel-VERSION-win32.zip, which holds

  vantrel.exe            the 32-bit product, as built, or a signed copy of it
  vantrel-settings.reg   both settings with their defaults (src/run/)
  vantrel-task.xml       the start-up task's definition for schtasks (ship/)
  vantrel-status.ps1     the status check a management tool runs on each device (ship/)
  vantrel-start.ps1      its remediation, which starts the task (ship/)
  INSTALL.txt            docs/DEPLOYING.md, the deployment guide, whole, as plain text
  SHA256SUMS             of the six files above

  python3 -m ship.make.release --exe build/windows/vantrel.exe --out-dir dist

With VANTREL_SIGN_PFX set (ship/make/sign.py) the exe is Authenticode-signed
before it is packed; without it one line says the release is unsigned.
Every file is made, and signed, away from the output directory and moved
there only when all are done: a failure leaves it as it was.

VERSION is the one the exe carries in its version resource, so the name
cannot disagree with the contents. The same exe gives the same zip bytes:
entries in a fixed order with fixed times and attributes, stored rather
than deflated, so that not even the zlib of the packing machine shows.
Text files get CRLF line ends, which every Windows editor shows properly.
"""

import argparse
import hashlib
import re
import shutil
import sys
import tempfile
import textwrap
import zipfile
from pathlib import Path

from ship import msi_database
from ship.make import exe_version, msi_package, sign

REPO = Path(__file__).resolve().parents[2]
DEPLOYING = REPO / "docs" / "DEPLOYING.md"
SETTINGS = msi_package.SHIP / "vantrel-settings.reg"
TASK_XML = msi_package.TASK_XML
# The scripts for management tools, beside the package and not installed by
# it: plain ASCII, which every PowerShell reads alike.
SCRIPTS = [msi_package.SHIP / name for name in ("vantrel-status.ps1", "vantrel-start.ps1")]
# How INSTALL.txt underlines a heading of each level: the title, the
# sections (which the release check finds by their dashes), anything deeper.
UNDERLINES = {1: "=", 2: "-"}
DEEPER_UNDERLINE = "~"
I386 = "014C"
# The earliest time a zip entry can carry; the same for every build.
ENTRY_TIME = (1980, 1, 1, 0, 0, 0)


class ReleaseError(Exception):
    pass


def crlf(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")


def guide_parts(guide):
    """The guide as (level, heading, body lines) in order, whatever comes
    before the first heading as level 0. A "#" that starts a line inside a
    code block belongs to the command, and is no heading."""
    parts = [(0, None, [])]
    in_code = False
    for line in guide.splitlines():
        if line.strip().startswith("```"):
            in_code = not in_code
        heading = None if in_code else re.fullmatch(r"(#+) +(.*?)\s*", line)
        if heading:
            parts.append((len(heading.group(1)), heading.group(2), []))
        else:
            parts[-1][2].append(line)
    return parts


def plain(markdown_line):
    line = re.sub(r"\[([^]]+)\]\([^)]+\)", r"\1", markdown_line)
    return line.replace("**", "").replace("`", "")


def as_plain_text(lines):
    """Markdown as a reader of a plain text file wants it: no fences, no
    backticks, commands indented, tables as indented rows. In a table of
    more than three columns each cell past the second goes on a line of its
    own after its column's heading, which no narrow console cuts."""
    out = []
    in_code = False
    header = None
    for line in lines:
        stripped = line.strip()
        if stripped.startswith("```"):
            in_code = not in_code
            continue
        if in_code:
            # Exactly as typed: a command must not be wrapped or changed.
            out.append("    " + line)
            continue
        if not stripped.startswith("|"):
            header = None
            out.append(plain(line))
            continue
        cells = [plain(c.strip()) for c in stripped.strip("|").split("|")]
        if all(set(c) <= set("-: ") for c in cells):
            continue
        labelled = len(cells) > 3
        if header is None:
            header = cells
            if labelled:
                cells = cells[:2]
        elif labelled:
            out.append(textwrap.fill("  ".join([cells[0].ljust(6)] + cells[1:2]), width=78,
                                     initial_indent="  ", subsequent_indent=" " * 10))
            for heading, cell in zip(header[2:], cells[2:]):
                out.append(textwrap.fill("%s: %s" % (heading, cell), width=78,
                                         initial_indent=" " * 10, subsequent_indent=" " * 12))
            continue
        out.append(textwrap.fill("  ".join([cells[0].ljust(6)] + cells[1:]), width=78,
                                 initial_indent="  ", subsequent_indent=" " * 10))
    return out


def install_text(guide, version):
    """INSTALL.txt: the whole deployment guide as plain text, each heading
    on a line of its own, underlined."""
    parts = guide_parts(guide)
    if len(parts) < 2 or parts[1][0] != 1 or any(line.strip() for line in parts[0][2]):
        raise ReleaseError('the deployment guide does not begin with a title (a "# " heading)')
    if not any(level == 2 for level, _, _ in parts):
        raise ReleaseError('the deployment guide has no sections ("## " headings) to make '
                           'INSTALL.txt from')
    text = ["Vantrel %s" % version, ""]
    for level, title, lines in parts[1:]:
        body = as_plain_text(lines)
        while body and not body[0].strip():
            body.pop(0)
        while body and not body[-1].strip():
            body.pop()
        underline = UNDERLINES.get(level, DEEPER_UNDERLINE)
        text += [plain(title), underline * len(plain(title)), ""] + body + ([""] if body else [])
    return "\n".join(text)


def make_bundle(exe, out_dir, guide=DEPLOYING, settings=SETTINGS, task_xml=TASK_XML):
    """Writes out_dir/vantrel-VERSION-win32.zip; returns its path."""
    fields = exe_version.read(exe)
    if fields["Machine"] != I386:
        raise ReleaseError("%s is not the 32-bit product (machine %s)" % (exe, fields["Machine"]))
    version = fields.get("FileVersion")
    if not version:
        raise ReleaseError("%s carries no FileVersion" % exe)
    files = {
        "vantrel.exe": Path(exe).read_bytes(),
        "vantrel-settings.reg": crlf(Path(settings).read_text(encoding="ascii")),
        "vantrel-task.xml": msi_package.task_xml_for_windows(Path(task_xml).read_text(encoding="utf-8")),
    }
    files.update((script.name, crlf(script.read_text(encoding="ascii"))) for script in SCRIPTS)
    files.update({
        "INSTALL.txt": crlf(install_text(Path(guide).read_text(encoding="utf-8"), version)),
    })
    files["SHA256SUMS"] = crlf("".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name)
                                       for name, data in files.items()))
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    bundle = out_dir / ("vantrel-%s-win32.zip" % version)
    partial = bundle.with_name(bundle.name + ".partial")
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_STORED) as archive:
        for name, data in files.items():
            entry = zipfile.ZipInfo(name, ENTRY_TIME)
            # Plain files readable by all where unpacking keeps permissions;
            # Windows takes no attributes from them.
            entry.create_system = 3
            entry.external_attr = 0o100644 << 16
            archive.writestr(entry, data)
    partial.replace(bundle)
    return bundle


def shipped_exe(exe, staging, signer):
    """The exe every file of the release is made from: a signed copy,
    never the build tree's own file, or that file itself when unsigned."""
    if signer is None:
        return Path(exe)
    return signer.sign_copy(exe, Path(staging) / "vantrel.exe")


def publish(made, out_dir):
    """Copies the finished files into out_dir, each appearing whole under
    its own name."""
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    published = []
    for path in made:
        target = out_dir / path.name
        partial = target.with_name(target.name + ".partial")
        shutil.copyfile(path, partial)
        partial.replace(target)
        published.append(target)
    return published


def make_release(exe, out_dir, signer=None):
    """Makes the package and the bundle from `exe` and returns their paths
    in out_dir. With a `signer`, the exe is signed first, so that both
    carry the signed exe, and the package is signed once built. Everything
    is made in a staging directory and published only when all is done."""
    with tempfile.TemporaryDirectory(prefix="vantrel-release.") as staging:
        exe = shipped_exe(exe, staging, signer)
        made = Path(staging) / "made"
        package = msi_package.make_package(exe, made,
                                           sign=signer.sign_msi if signer else None)
        bundle = make_bundle(exe, made)
        return publish([package, bundle], out_dir)


def describe(path):
    return "%s (%d bytes, SHA-256 %s)" % (path, path.stat().st_size,
                                         hashlib.sha256(path.read_bytes()).hexdigest())


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--out-dir", required=True)
    args = parser.parse_args(argv)
    try:
        signer, unsigned = sign.from_environment()
        package, bundle = make_release(args.exe, args.out_dir, signer)
        if unsigned:
            print("release: %s" % unsigned)
        elif not signer.timestamp_url:
            print("release: signed with %s, without a time stamp (%s is not set): the "
                  "signature expires with the certificate" % (signer.pfx, sign.TIMESTAMP_URL))
        else:
            print("release: signed with %s, time-stamped by %s" % (signer.pfx,
                                                                    signer.timestamp_url))
    except (ReleaseError, msi_package.PackageError, sign.SignError, exe_version.NotReadable,
            OSError) + msi_database.Error as error:
        print("release: %s" % error)
        return 1
    with zipfile.ZipFile(bundle) as archive:
        sums = archive.read("SHA256SUMS").decode()
    print(describe(package))
    print(describe(bundle))
    print(sums.replace("\r\n", "\n"), end="")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
