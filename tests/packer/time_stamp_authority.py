#!/usr/bin/env python3
"""A local RFC 3161 time-stamp authority for the tests, dated when the test says.

    time_stamp_authority.py CERT KEY UNIX_TIME -- COMMAND [ARGUMENT...]

Serves on a free port of 127.0.0.1, runs the command with every {URL} in its arguments replaced
by the authority's address, stops, and exits with the command's exit code. Each request posted
is answered by OpenSSL's own responder (what `openssl ts -reply` runs), through its time
callback, so that a token says UNIX_TIME instead of now: a signer certificate that has since
expired can be stamped while it was valid. Nothing leaves the machine.
"""
import ctypes
import ctypes.util
import http.server
import subprocess
import sys
import threading

crypto = ctypes.CDLL(ctypes.util.find_library("crypto") or "libcrypto.so.3")


def function(name, result, *arguments):
    call = getattr(crypto, name)
    call.restype = result
    call.argtypes = list(arguments)
    return call


P = ctypes.c_void_p
TimeCallback = ctypes.CFUNCTYPE(ctypes.c_int, P, P, ctypes.POINTER(ctypes.c_long), ctypes.POINTER(ctypes.c_long))

BIO_new_mem_buf = function("BIO_new_mem_buf", P, ctypes.c_char_p, ctypes.c_int)
BIO_new = function("BIO_new", P, P)
BIO_s_mem = function("BIO_s_mem", P)
BIO_ctrl = function("BIO_ctrl", ctypes.c_long, P, ctypes.c_int, ctypes.c_long, P)
BIO_free = function("BIO_free", ctypes.c_int, P)
PEM_read_bio_X509 = function("PEM_read_bio_X509", P, P, P, P, P)
PEM_read_bio_PrivateKey = function("PEM_read_bio_PrivateKey", P, P, P, P, P)
OBJ_txt2obj = function("OBJ_txt2obj", P, ctypes.c_char_p, ctypes.c_int)
EVP_get_digestbyname = function("EVP_get_digestbyname", P, ctypes.c_char_p)
TS_RESP_CTX_new = function("TS_RESP_CTX_new", P)
TS_RESP_CTX_set_signer_cert = function("TS_RESP_CTX_set_signer_cert", ctypes.c_int, P, P)
TS_RESP_CTX_set_signer_key = function("TS_RESP_CTX_set_signer_key", ctypes.c_int, P, P)
TS_RESP_CTX_set_signer_digest = function("TS_RESP_CTX_set_signer_digest", ctypes.c_int, P, P)
TS_RESP_CTX_set_def_policy = function("TS_RESP_CTX_set_def_policy", ctypes.c_int, P, P)
TS_RESP_CTX_add_md = function("TS_RESP_CTX_add_md", ctypes.c_int, P, P)
TS_RESP_CTX_set_time_cb = function("TS_RESP_CTX_set_time_cb", None, P, TimeCallback, P)
TS_RESP_create_response = function("TS_RESP_create_response", P, P, P)
i2d_TS_RESP_bio = function("i2d_TS_RESP_bio", ctypes.c_int, P, P)
TS_RESP_free = function("TS_RESP_free", None, P)

BIO_CTRL_INFO = 3  # BIO_get_mem_data


def read_pem(path, reader):
    with open(path, "rb") as file:
        text = file.read()
    bio = BIO_new_mem_buf(text, len(text))
    value = reader(bio, None, None, None)
    BIO_free(bio)
    if not value:
        sys.exit(f"time_stamp_authority: can't read {path}")
    return value


def make_responder(certificate, key, seconds):
    context = TS_RESP_CTX_new()
    ok = (TS_RESP_CTX_set_signer_cert(context, read_pem(certificate, PEM_read_bio_X509)) == 1
          and TS_RESP_CTX_set_signer_key(context, read_pem(key, PEM_read_bio_PrivateKey)) == 1
          and TS_RESP_CTX_set_signer_digest(context, EVP_get_digestbyname(b"SHA256")) == 1
          and TS_RESP_CTX_set_def_policy(context, OBJ_txt2obj(b"1.2.3.4.1", 1)) == 1)
    for name in (b"SHA1", b"SHA256", b"SHA384", b"SHA512"):
        ok = ok and TS_RESP_CTX_add_md(context, EVP_get_digestbyname(name)) == 1
    if not ok:
        sys.exit("time_stamp_authority: OpenSSL's responder can't be set up")

    def fixed_time(_context, _data, sec, usec):
        sec[0] = seconds
        usec[0] = 0
        return 1

    callback = TimeCallback(fixed_time)
    TS_RESP_CTX_set_time_cb(context, callback, None)
    lock = threading.Lock()

    def respond(request):
        with lock:
            into = BIO_new_mem_buf(request, len(request))
            response = TS_RESP_create_response(context, into)
            BIO_free(into)
            if not response:
                return None
            out = BIO_new(BIO_s_mem())
            data = P()
            written = i2d_TS_RESP_bio(out, response) == 1
            length = BIO_ctrl(out, BIO_CTRL_INFO, 0, ctypes.byref(data)) if written else 0
            reply = ctypes.string_at(data, length) if length > 0 else None
            BIO_free(out)
            TS_RESP_free(response)
            return reply

    respond.keep = callback  # the callback must live as long as the context
    return respond


def main():
    if len(sys.argv) < 6 or sys.argv[4] != "--":
        sys.exit("usage: time_stamp_authority.py CERT KEY UNIX_TIME -- COMMAND [ARGUMENT...]")
    respond = make_responder(sys.argv[1], sys.argv[2], int(sys.argv[3]))

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            request = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            reply = respond(request)
            if reply is None:
                self.send_error(500)
                return
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *_):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    url = f"http://127.0.0.1:{server.server_address[1]}/"
    try:
        code = subprocess.call([argument.replace("{URL}", url) for argument in sys.argv[5:]])
    finally:
        server.shutdown()
        server.server_close()
    sys.exit(code)


if __name__ == "__main__":
    main()
