"""The release bundle as a program run runs it (records.Bundle): made from
the 32-bit exe, signed with a throwaway certificate where asked, unpacked,
its settings file edited to the run's model."""

import re
import zipfile
from pathlib import Path

from ship.make import release, sign
from tests.wine import RigError

from tests.exe import throwaway_signer


def throwaway_signer_for(work):
    """A signer as ./vantrel release makes one from its environment, with
    a certificate made for this run; and the CA that certificate verifies
    against."""
    try:
        certificate = throwaway_signer.make(work / "certificate", "throwaway")
        signer, _ = sign.from_environment({sign.PFX: str(certificate.pfx),
                                           sign.PASSWORD: certificate.password})
    except (throwaway_signer.CertificateError, sign.SignError) as error:
        raise RigError(str(error)) from None
    return signer, certificate.ca


def signature_check(exe, ca, which):
    ok, last, output = throwaway_signer.verify(exe, ca)
    return (ok and "Signature verification: ok" in output,
            "%s carries a signature that verifies against the throwaway CA" % which,
            "osslsigncode verify: %s\n%s" % (last, output))


def unpack_bundle(args, work, bundle):
    """Makes the release bundle from the 32-bit exe (signed, if
    bundle.signed) and unpacks it in `work`, with a copy of its settings
    file holding bundle.model (to be imported with regedit /s if
    bundle.by_regedit). Returns the exe to run, that settings file, and the
    checks of the exe's signature as Checks.expect's arguments."""
    model, signed, by_regedit = bundle
    if not args.exe or not Path(args.exe).is_file():
        raise RigError("the bundle is made from the 32-bit vantrel.exe, not found at %s" % args.exe)
    unpacked = work / "bundle"
    signer, ca = throwaway_signer_for(work) if signed else (None, None)
    _, packed = release.make_release(args.exe, work, signer)
    with zipfile.ZipFile(packed) as archive:
        archive.extractall(unpacked)
    original = (unpacked / "vantrel-settings.reg").read_bytes().decode("ascii")
    edited, count = re.subn(r'^("GpsPositionMode"=dword:)[0-9a-fA-F]{8}',
                            lambda m: m.group(1) + "%08x" % model, original, flags=re.M)
    if count != 1:
        raise RigError("the bundle's vantrel-settings.reg sets GpsPositionMode %d times" % count)
    settings = work / "vantrel-settings.reg"
    settings.write_bytes(edited.encode("ascii"))
    signature = ([signature_check(unpacked / "vantrel.exe", ca, "the bundle's vantrel.exe")]
                 if signed else [])
    if args.arch.program_bits == 32:
        print("  running the bundle's %svantrel.exe; its vantrel-settings.reg, model changed "
              "to %d, imported with %s"
              % ("signed " if signed else "", model,
                 "regedit /s vantrel-settings.reg" if by_regedit else
                 "reg import vantrel-settings.reg " + args.arch.reg_view))
        return unpacked / "vantrel.exe", settings, signature
    exe = Path(args.exe_to_run)
    if signed:
        (work / "x64").mkdir()
        exe = signer.sign_copy(exe, work / "x64" / "vantrel.exe")
        signature.append(signature_check(exe, ca, "the signed copy of the %s" % args.arch.build))
    print("  Wine's 64-bit loader cannot start the bundle's 32-bit vantrel.exe: its "
          "vantrel-settings.reg, model changed to %d, goes with the %s%s instead, imported "
          "with %s, the view that build reads"
          % (model, args.arch.build, ", signed the same way," if signed else "",
             args.arch.reg_view))
    return exe, settings, signature
