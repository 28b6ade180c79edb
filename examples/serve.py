#!/usr/bin/env python3
"""Serves the example site on 127.0.0.1 for scripts/demo.sh.

Binds a free port, prints it on the first line of standard output and serves
the files of the folder given as the only argument until it is killed. Every
"@PORT@" in a page is replaced by the port, so the pages can link to each
other with absolute addresses.
"""
import http.server
import os
import sys


def main():
    root = os.path.abspath(sys.argv[1])

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            name = self.path.split("?", 1)[0].lstrip("/") or "board.html"
            path = os.path.join(root, os.path.basename(name))
            if not os.path.isfile(path):
                self.send_error(404)
                return
            with open(path, "rb") as f:
                body = f.read().replace(b"@PORT@", str(port).encode())
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    port = server.server_address[1]
    print(port, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
