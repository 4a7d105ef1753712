#!/usr/bin/env python3
"""Runs the built httpget against a loopback HTTP server of Python's standard
library and checks -o, -A, -x, -v, --cacert, https:// and the exit codes 0, 1
and 2."""
import http.server
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import threading

HTTPGET = sys.argv[1]
failures = []
passed = 0


class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        if self.path.startswith("http://"):
            # Asked as a proxy: answer with the absolute URL that came in.
            self.reply(200, ("proxied " + self.path).encode())
        elif self.path == "/agent":
            self.reply(200, self.headers.get("User-Agent", "-").encode())
        elif self.path == "/moved":
            self.send_response(302)
            self.send_header("Location", "/agent")
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif self.path == "/evilreason":
            self.wfile.write(b"HTTP/1.0 404 Not\x1b[2J\r\x07Found\r\nContent-Length: 0\r\n\r\n")
            self.close_connection = True
        elif self.path == "/badstatus":
            self.wfile.write(b"HTTP/1.0 abc OK\r\nContent-Length: 2\r\n\r\nno")
            self.close_connection = True
        else:
            super().do_GET()

    def reply(self, code, body):
        self.send_response(code)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def run(*args, env=None):
    return subprocess.run([HTTPGET, *args], capture_output=True, timeout=30, env=env)


def check(name, cond, detail=""):
    global passed
    passed += 1 if cond else 0
    print(("ok   " if cond else "FAIL ") + name)
    if not cond:
        failures.append(name)
        print("     " + str(detail))


with tempfile.TemporaryDirectory() as root:
    data = bytes(range(256)) * 4096 + b"\r\nend\n"  # 1 MiB and a bit, every byte value
    with open(os.path.join(root, "file.bin"), "wb") as f:
        f.write(data)
    handler = lambda *a, **k: Handler(*a, directory=root, **k)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = "http://127.0.0.1:%d" % server.server_address[1]

    r = run(base + "/file.bin")
    check("body to stdout, exit 0", r.returncode == 0 and r.stdout == data, (r.returncode, r.stderr[:200]))

    out = os.path.join(root, "out.bin")
    r = run("-o", out, base + "/file.bin")
    check("-o writes the file", r.returncode == 0 and r.stdout == b"" and open(out, "rb").read() == data,
          (r.returncode, r.stderr[:200]))

    r = run("-A", "Online Relcheck", base + "/agent")
    check("-A sets the agent", r.stdout == b"Online Relcheck", r.stdout)

    r = run(base + "/agent")
    check("default agent", r.stdout == b"Mozilla/3.0 (compatible)", r.stdout)

    r = run("-v", "-A", "T", base + "/moved")
    err = r.stderr.decode(errors="replace").splitlines()
    check("-v follows a relocation and shows both legs",
          r.returncode == 0 and r.stdout == b"T" and "GET /moved HTTP/1.0" in err and "GET /agent HTTP/1.0" in err
          and "User-Agent: T" in err and "Location: /agent" in err
          and any(l.startswith("HTTP/1.0 302") for l in err) and any(l.startswith("HTTP/1.0 200") for l in err),
          err)

    r = run("-v", base + "/badstatus")
    err = r.stderr.decode(errors="replace").splitlines()
    check("-v shows a status line that ends the request, then the error",
          r.returncode == 1 and r.stdout == b"" and err[-2:] == ["HTTP/1.0 abc OK", "'abc' is not a valid integer value"],
          err)

    r = run("-x", "127.0.0.1:%d" % server.server_address[1], "http://far.example/x?y=1")
    check("-x sends the absolute URL to the proxy", r.returncode == 0 and r.stdout == b"proxied http://far.example/x?y=1",
          (r.returncode, r.stdout, r.stderr))

    fresh = os.path.join(root, "fresh.bin")
    r = run("-o", fresh, base + "/nothere")
    check("404 exits 1 with the reason, no file left",
          r.returncode == 1 and b"File not found" in r.stderr and not os.path.exists(fresh), (r.returncode, r.stderr))

    r = run("-o", out, base + "/nothere")
    check("a failed request keeps an existing file as it was",
          r.returncode == 1 and open(out, "rb").read() == data and sorted(os.listdir(root)) == ["file.bin", "out.bin"],
          (r.returncode, os.listdir(root)))

    r = run("-o", "/dev/stdout", base + "/agent")
    check("-o /dev/stdout writes to the device", r.returncode == 0 and r.stdout == b"Mozilla/3.0 (compatible)",
          (r.returncode, r.stdout))
    fifo = os.path.join(root, "pipe")
    os.mkfifo(fifo)
    drained = []
    reader = threading.Thread(target=lambda: drained.append(open(fifo, "rb").read()), daemon=True)
    reader.start()
    r = run("-o", fifo, base + "/nothere")
    reader.join(10)
    check("a failed request leaves a pipe in place", r.returncode == 1 and os.path.exists(fifo), r.returncode)
    os.unlink(fifo)

    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    closed_port = s.getsockname()[1]
    s.close()
    r = run("http://127.0.0.1:%d/" % closed_port)
    check("refused connection exits 1",
          r.returncode == 1 and r.stderr.strip() == b"Connection refused (Error #10061)", r.stderr)

    if os.geteuid() == 0:
        # A link another user planted in a sticky shared folder, naming a file
        # of the user who runs httpget (nobody): refused, nothing written.
        os.chmod(root, 0o755)
        own, shared = os.path.join(root, "own"), os.path.join(root, "shared")
        os.mkdir(own)
        os.chown(own, 65534, 65534)
        os.mkdir(shared)
        os.chmod(shared, 0o1777)
        secret, link = os.path.join(own, "secret"), os.path.join(shared, "report.htm")
        with open(secret, "w") as f:
            f.write("secret")
        os.chown(secret, 65534, 65534)
        os.symlink(secret, link)
        os.lchown(link, 4242, 4242)
        r = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            HTTPGET, "-o", link, base + "/agent"], capture_output=True, timeout=30)
        check("a link planted by another user is refused",
              r.returncode == 1 and r.stderr == ("Cannot create file %s: Permission denied\n" % link).encode()
              and open(secret).read() == "secret" and os.listdir(own) == ["secret"]
              and os.listdir(shared) == ["report.htm"], (r.returncode, r.stderr))

    r = run(base + "/evilreason")
    check("a reason phrase is shown with its control characters escaped",
          r.returncode == 1 and r.stderr == b"Not\\x1B[2J\\x0D\\x07Found\n", r.stderr)

    # https: the test PKI of the TLS tests, a server of Python's ssl module.
    pki = os.path.join(root, "pki")
    subprocess.run(["bash", os.path.join(os.path.dirname(__file__), "..", "tls", "make_test_pki.sh"), pki],
                   check=True)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(os.path.join(pki, "good.pem"), os.path.join(pki, "good.key"))
    tls_server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    tls_server.socket = ctx.wrap_socket(tls_server.socket, server_side=True)
    threading.Thread(target=tls_server.serve_forever, daemon=True).start()
    tls_base = "https://127.0.0.1:%d" % tls_server.server_address[1]
    no_store = dict(os.environ, SSL_CERT_FILE=os.path.join(pki, "otherca.pem"), SSL_CERT_DIR=root)

    r = run("--cacert", os.path.join(pki, "ca.pem"), tls_base + "/file.bin", env=no_store)
    check("https with --cacert fetches the document", r.returncode == 0 and r.stdout == data,
          (r.returncode, r.stderr[:200]))

    r = run(tls_base + "/file.bin", env=no_store)
    check("https without the CA is refused with the verification text",
          r.returncode == 1 and r.stdout == b"" and r.stderr ==
          b"SSL certificate verify failed: unable to get local issuer certificate (Error #21002)\n", r.stderr)

    r = run(tls_base + "/agent", env=dict(os.environ, SSL_CERT_FILE=os.path.join(pki, "ca.pem")))
    check("SSL_CERT_FILE names the trust store", r.returncode == 0 and r.stdout == b"Mozilla/3.0 (compatible)",
          r.stderr)

    r = run("-v", "--cacert", os.path.join(pki, "ca.pem"), tls_base + "/agent")
    err = r.stderr.decode(errors="replace").splitlines()
    check("-v shows protocol, cipher and the certificate's subject",
          r.returncode == 0 and any(l.startswith("* TLS: TLSv1.3, TLS_") for l in err)
          and "* Server certificate: O=Chronark Test,CN=localhost" in err and "Host: 127.0.0.1" in err, err)

    r = run("--cacert", os.path.join(pki, "ca.pem"), "https://localhost:%d/agent" % server.server_address[1])
    check("https to a plain HTTP server fails the handshake",
          r.returncode == 1 and r.stderr.startswith(b"SSL handshake failed: "), r.stderr)
    tls_server.shutdown()

    for args in ([], ["-o"], ["-q", base + "/"], [base + "/a", base + "/b"], ["-x"], ["--cacert"]):
        r = run(*args)
        check("usage %r exits 2" % (args,), r.returncode == 2 and b"Usage: httpget" in r.stderr, r.returncode)

    server.shutdown()

print("%d passed, %d failed" % (passed, len(failures)))
sys.exit(1 if failures else 0)
