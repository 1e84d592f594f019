"""A throwaway certificate authority and a code-signing certificate it
issued, made with openssl, for signing test releases and verifying them:

  ca.pem      the authority's certificate, the one trust anchor to verify against
  signer.pfx  the code-signing certificate, its key and the chain, as PKCS#12

Both are valid for two days and are thrown away with their directory.
"""

import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path

DAYS = "2"
CODE_SIGNING = ("basicConstraints=critical,CA:FALSE\n"
                "keyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=codeSigning\n")


class CertificateError(Exception):
    pass


@dataclass
class Throwaway:
    ca: Path
    pfx: Path
    password: str


def _openssl(*arguments, cwd):
    try:
        done = subprocess.run(["openssl", *arguments], cwd=cwd, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    except FileNotFoundError:
        raise CertificateError("openssl not found (install it: apt-get install openssl)") from None
    if done.returncode != 0:
        raise CertificateError("openssl %s failed: %s" % (arguments[0], done.stdout.strip()))


def make(directory, password):
    """Makes the authority and the signer's certificate in `directory`."""
    if shutil.which("osslsigncode") is None:
        raise CertificateError("osslsigncode not found (install it: apt-get install osslsigncode)")
    work = Path(directory)
    work.mkdir(parents=True, exist_ok=True)
    (work / "code-signing.ext").write_text(CODE_SIGNING)
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", DAYS,
             "-subj", "/CN=Vantrel throwaway test CA", "-keyout", "ca.key", "-out", "ca.pem",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=work)
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Vantrel throwaway test signer",
             "-keyout", "signer.key", "-out", "signer.csr", cwd=work)
    _openssl("x509", "-req", "-in", "signer.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
             "-CAcreateserial", "-days", DAYS, "-extfile", "code-signing.ext",
             "-out", "signer.pem", cwd=work)
    _openssl("pkcs12", "-export", "-inkey", "signer.key", "-in", "signer.pem",
             "-certfile", "ca.pem", "-out", "signer.pfx", "-passout", "pass:" + password, cwd=work)
    return Throwaway(work / "ca.pem", work / "signer.pfx", password)


def verify(path, ca):
    """Whether the signature of `path` verifies against `ca` as the only
    trusted authority: (True or False, osslsigncode's last line, its output)."""
    done = subprocess.run(["osslsigncode", "verify", "-CAfile", str(ca), "-in", str(path)],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, errors="replace")
    lines = [line for line in done.stdout.splitlines() if line.strip()]
    return done.returncode == 0, (lines[-1] if lines else "no output"), done.stdout
