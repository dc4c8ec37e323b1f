#!/usr/bin/python3
"""FTP peer for the client tests: pyftpdlib on loopback, user root with an empty
password, home in the given folder. Prints "PORT <n>" once it listens."""
import argparse
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_user("root", "", args.root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.permit_foreign_addresses = False
    handler.banner = "pyftpdlib test peer ready"
    server = FTPServer(("127.0.0.1", args.port), handler)
    server.max_cons = 16
    print("PORT", server.socket.getsockname()[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    import logging
    logging.basicConfig(level=logging.ERROR, stream=sys.stderr)
    main()
