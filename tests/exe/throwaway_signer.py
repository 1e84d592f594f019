"""A throwaway certificate authority and the certificates it issued, made
with openssl, for signing test releases and verifying them:

  ca.pem      the authority's certificate, the one trust anchor to verify against
  signer.pfx  the code-signing certificate, its key and the chain, as PKCS#12
  tsa.pem     a time-stamping certificate, for TimeStampServer

All are valid for two days and are thrown away with their directory.
TimeStampServer answers RFC 3161 requests over HTTP on 127.0.0.1 with
`openssl ts -reply`, as a time-stamp authority does.
"""

import http.server
import shutil
import subprocess
import tempfile
import threading
from dataclasses import dataclass
from pathlib import Path

DAYS = "2"
CODE_SIGNING = ("basicConstraints=critical,CA:FALSE\n"
                "keyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=codeSigning\n")
TIME_STAMPING = ("basicConstraints=critical,CA:FALSE\n"
                 "keyUsage=critical,digitalSignature\n"
                 "extendedKeyUsage=critical,timeStamping\n")
TSA_CONFIG = """[ tsa ]
default_tsa = throwaway
[ throwaway ]
serial = {work}/tsa.serial
signer_cert = {work}/tsa.pem
signer_key = {work}/tsa.key
certs = {work}/ca.pem
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
"""


class CertificateError(Exception):
    pass


@dataclass
class Throwaway:
    ca: Path
    pfx: Path
    password: str
    directory: Path


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
    return Throwaway(work / "ca.pem", work / "signer.pfx", password, work)


def _issue_time_stamping(work):
    (work / "time-stamping.ext").write_text(TIME_STAMPING)
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Vantrel throwaway test TSA",
             "-keyout", "tsa.key", "-out", "tsa.csr", cwd=work)
    _openssl("x509", "-req", "-in", "tsa.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
             "-CAcreateserial", "-days", DAYS, "-extfile", "time-stamping.ext",
             "-out", "tsa.pem", cwd=work)
    (work / "tsa.serial").write_text("01\n")
    config = work / "tsa.cnf"
    config.write_text(TSA_CONFIG.format(work=work))
    return config


class TimeStampServer:
    """with TimeStampServer(throwaway) as url: ... an RFC 3161 time-stamp
    authority whose certificate the throwaway CA issued."""

    def __init__(self, throwaway):
        self.config = _issue_time_stamping(throwaway.directory)
        self.answered = 0

    def __enter__(self):
        config, server = self.config, self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                with tempfile.TemporaryDirectory() as work:
                    (Path(work) / "query").write_bytes(query)
                    done = subprocess.run(["openssl", "ts", "-reply", "-config", str(config),
                                           "-queryfile", "query", "-out", "reply"], cwd=work,
                                          stdin=subprocess.DEVNULL, capture_output=True)
                    reply = (Path(work) / "reply").read_bytes() if done.returncode == 0 else b""
                if not reply:
                    self.send_error(500, "openssl ts -reply failed")
                    return
                server.answered += 1
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *_):
                pass

        self.http = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.http.serve_forever, daemon=True).start()
        return "http://127.0.0.1:%d/" % self.http.server_address[1]

    def __exit__(self, *_):
        self.http.shutdown()
        self.http.server_close()


def verify(path, ca):
    """Whether the signature of `path` (and its time stamp, if any) verifies
    against `ca` as the only trusted authority: (True or False,
    osslsigncode's last line, its output)."""
    done = subprocess.run(["osslsigncode", "verify", "-CAfile", str(ca), "-TSA-CAfile", str(ca),
                           "-in", str(path)],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, errors="replace")
    lines = [line for line in done.stdout.splitlines() if line.strip()]
    return done.returncode == 0, (lines[-1] if lines else "no output"), done.stdout
